#include "vector_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vectorfiles {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  throw FileError("'" + path + "': " + what);
}

// a * b, or a failure when it does not fit.
std::size_t product(const std::string& path, std::size_t a, std::size_t b) {
  if (b != 0 && a > std::numeric_limits<std::size_t>::max() / b) fail(path, "sizes overflow");
  return a * b;
}

struct NpyHeader {
  std::string descr;
  bool fortran = false;
  std::vector<std::size_t> shape;
  std::size_t offset = 0;
};

NpyHeader parseNpy(const std::vector<char>& b, const std::string& path) {
  if (b.size() < 10 || std::memcmp(b.data(), "\x93NUMPY", 6) != 0) fail(path, "not a .npy file");
  const int major = static_cast<unsigned char>(b[6]);
  std::size_t len = 0, start = 0;
  if (major == 1) {
    len = std::size_t(static_cast<unsigned char>(b[8])) |
          std::size_t(static_cast<unsigned char>(b[9])) << 8;
    start = 10;
  } else {
    if (b.size() < 12) fail(path, "truncated .npy header");
    for (int i = 0; i < 4; ++i) len |= std::size_t(static_cast<unsigned char>(b[8 + i])) << (8 * i);
    start = 12;
  }
  if (len > b.size() - start) fail(path, "truncated .npy header");
  const std::string h(b.data() + start, len);
  NpyHeader out;
  out.offset = start + len;
  auto field = [&](const std::string& key) {
    const auto k = h.find("'" + key + "'");
    if (k == std::string::npos || h.find(':', k) == std::string::npos) {
      fail(path, ".npy header lacks " + key);
    }
    return h.substr(h.find(':', k) + 1);
  };
  const std::string d = field("descr");
  const auto q1 = d.find('\'');
  const auto q2 = q1 == std::string::npos ? std::string::npos : d.find('\'', q1 + 1);
  if (q2 == std::string::npos) fail(path, "malformed .npy descr");
  out.descr = d.substr(q1 + 1, q2 - q1 - 1);
  const std::string f = field("fortran_order");
  out.fortran = f.find("True") < f.find(',');
  const std::string s = field("shape");
  const auto open = s.find('('), close = s.find(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    fail(path, "malformed .npy shape");
  }
  const std::string inner = s.substr(open + 1, close - open - 1);
  std::size_t pos = 0;
  while (pos < inner.size()) {
    while (pos < inner.size() && (inner[pos] == ' ' || inner[pos] == ',')) ++pos;
    if (pos >= inner.size()) break;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(inner.c_str() + pos, &end, 10);
    if (end == inner.c_str() + pos || errno != 0 || inner[pos] == '-') {
      fail(path, "malformed .npy shape");
    }
    out.shape.push_back(static_cast<std::size_t>(v));
    pos = static_cast<std::size_t>(end - inner.c_str());
  }
  return out;
}

// Copies the m.rows x m.cols floats at `offset`, after checking that the
// file holds them; `claim` names what gave the size ("the shape (2, 3072)").
void copyFloats(const std::string& path, const std::vector<char>& b, std::size_t offset,
                const std::string& claim, Matrix& m) {
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  const std::size_t held = offset > b.size() ? 0 : b.size() - offset;
  const bool fits = m.cols == 0 || m.rows <= max / m.cols / sizeof(float);
  if (!fits || m.rows * m.cols * sizeof(float) > held) {
    fail(path, claim + " needs more bytes than the file holds (" + std::to_string(held) +
                   " bytes of data)");
  }
  const std::size_t count = m.rows * m.cols;
  m.values.resize(count);
  if (count > 0) std::memcpy(m.values.data(), b.data() + offset, count * sizeof(float));
}

// Refuses a path that cannot be opened or is not a regular file, with the
// same messages as readFile, before its name is looked at.
void requireRegular(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    throw FileError("cannot open '" + path + "': " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) fail(path, "not a regular file");
}

}  // namespace

std::string extension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot);
}

std::vector<char> readFile(const std::string& path) {
  // Non-blocking, so that a FIFO without a writer does not hang the open;
  // anything but a regular file is refused before a byte is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError("cannot open '" + path + "': " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw FileError("cannot examine '" + path + "': " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) fail(path, "not a regular file");
  const auto size = static_cast<std::size_t>(st.st_size);
  std::vector<char> bytes(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, bytes.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError("cannot read '" + path + "': " + std::strerror(errno));
    if (n == 0) break;  // the file shrank: parse what it holds
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

Matrix readVectors(const std::string& path, std::size_t dim) {
  requireRegular(path);
  const std::string ext = extension(path);
  if (ext != ".npy" && ext != ".fbin" && ext != ".fvecs") {
    fail(path, "unknown vector file type (use .npy, .fvecs or .fbin)");
  }
  const std::vector<char> b = readFile(path);
  Matrix m;
  if (ext == ".npy") {
    const NpyHeader h = parseNpy(b, path);
    if (h.descr != "<f4") fail(path, "expected float32 (<f4) data, got " + h.descr);
    if (h.fortran) fail(path, "Fortran-ordered arrays are not supported");
    if (h.shape.size() == 1) {
      m.rows = 1, m.cols = h.shape[0];
    } else if (h.shape.size() == 2) {
      m.rows = h.shape[0], m.cols = h.shape[1];
    } else {
      fail(path, "expected a 1-D or 2-D array");
    }
    if (m.cols != dim) {
      fail(path, "holds vectors of dimension " + std::to_string(m.cols) + "; korvane needs " +
                     std::to_string(dim));
    }
    copyFloats(path, b, h.offset,
               "the shape (" + std::to_string(m.rows) + ", " + std::to_string(m.cols) + ")", m);
  } else if (ext == ".fbin") {
    if (b.size() < 8) fail(path, "truncated .fbin header");
    std::uint32_t n, d;
    std::memcpy(&n, b.data(), 4);
    std::memcpy(&d, b.data() + 4, 4);
    m.rows = n, m.cols = d;
    if (m.cols != dim) {
      fail(path, "holds vectors of dimension " + std::to_string(m.cols) + "; korvane needs " +
                     std::to_string(dim));
    }
    copyFloats(path, b, 8, "the count " + std::to_string(m.rows), m);
  } else {
    const std::size_t record = 4 + dim * sizeof(float);
    std::size_t pos = 0;
    m.cols = dim;
    m.values.reserve(b.size() / record * dim);
    while (pos < b.size()) {
      std::int32_t d;
      if (b.size() - pos < 4) fail(path, "truncated record " + std::to_string(m.rows));
      std::memcpy(&d, b.data() + pos, 4);
      if (d < 0 || std::size_t(d) != dim) {
        fail(path, "holds vectors of dimension " + std::to_string(d) + " (record " +
                       std::to_string(m.rows) + "); korvane needs " + std::to_string(dim));
      }
      if (b.size() - pos < record) fail(path, "truncated record " + std::to_string(m.rows));
      const std::size_t at = m.values.size();
      m.values.resize(at + dim);
      std::memcpy(m.values.data() + at, b.data() + pos + 4, dim * sizeof(float));
      pos += record;
      ++m.rows;
    }
  }
  return m;
}

std::vector<std::uint64_t> readIds(const std::string& path, std::size_t expected) {
  const std::vector<char> b = readFile(path);
  const NpyHeader h = parseNpy(b, path);
  const bool is_signed = h.descr == "<i8";
  if (h.descr != "<u8" && !is_signed) fail(path, "ids must be int64 or uint64");
  if (h.shape.size() != 1 || h.shape[0] != expected) {
    fail(path, "expected " + std::to_string(expected) + " ids");
  }
  const std::size_t bytes = product(path, expected, 8);
  if (b.size() - h.offset < bytes) fail(path, "truncated data");
  std::vector<std::uint64_t> ids(expected);
  if (expected > 0) std::memcpy(ids.data(), b.data() + h.offset, bytes);
  if (is_signed) {
    for (std::size_t i = 0; i < expected; ++i) {
      if (static_cast<std::int64_t>(ids[i]) < 0) {
        fail(path, "id " + std::to_string(static_cast<std::int64_t>(ids[i])) + " at position " +
                       std::to_string(i) + " is negative");
      }
    }
  }
  return ids;
}

void writeNpy(const std::string& path, const char* descr, const void* data, std::size_t rows,
              std::size_t cols, std::size_t item) {
  std::string header = "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(cols) + "), }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  const std::size_t bytes = product(path, product(path, rows, cols), item);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) throw FileError("cannot write '" + path + "': " + std::strerror(errno));
  const unsigned char len[2] = {static_cast<unsigned char>(header.size() & 0xFF),
                                static_cast<unsigned char>(header.size() >> 8)};
  const bool written = std::fwrite("\x93NUMPY\x01\x00", 1, 8, out) == 8 &&
                       std::fwrite(len, 1, 2, out) == 2 &&
                       std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
                       (bytes == 0 || std::fwrite(data, 1, bytes, out) == bytes) &&
                       std::fflush(out) == 0;
  const int error = written ? 0 : errno;
  if (std::fclose(out) != 0 || !written) {
    throw FileError("cannot write '" + path + "': " + std::strerror(error != 0 ? error : errno));
  }
}

}  // namespace vectorfiles
