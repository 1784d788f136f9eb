#include "index_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace indexfile {

namespace {

constexpr std::uint64_t c_header = 46;
constexpr std::uint64_t c_dim = 3072;
constexpr std::uint64_t c_rotation = c_dim * c_dim * 4;
constexpr std::uint64_t c_payload = 1172;
constexpr std::uint64_t c_node = 396;
constexpr std::uint64_t c_trailer = 24;

// Reads fields at explicit offsets, never past the size the file had.
class Cursor {
 public:
  Cursor(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t position() const { return pos_; }
  bool skip(std::uint64_t n) {
    if (n > size_ - pos_) return false;
    pos_ += n;
    return true;
  }
  bool bytes(void* out, std::size_t n) {
    if (n > size_ - pos_) return false;
    auto* p = static_cast<char*>(out);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd_, p + done, n - done, static_cast<off_t>(pos_ + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    pos_ += n;
    return true;
  }
  template <class T>
  bool value(T& out) {
    return bytes(&out, sizeof(T));
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
};

// The trailer: "TQXC", version 1, the covered length (everything before
// it), and the XXH3-64 of those bytes.
Summary::Checksum checkTrailer(int fd, std::uint64_t size, std::uint64_t* covered) {
  *covered = size;
  if (size < c_trailer) return Summary::Checksum::absent;
  Cursor c(fd, size);
  char magic[4];
  std::uint32_t version = 0;
  std::uint64_t length = 0, sum = 0;
  if (!c.skip(size - c_trailer) || !c.bytes(magic, 4) || !c.value(version) || !c.value(length) ||
      !c.value(sum)) {
    return Summary::Checksum::absent;
  }
  if (std::memcmp(magic, "TQXC", 4) != 0 || length != size - c_trailer) {
    return Summary::Checksum::absent;
  }
  *covered = length;
  if (version != 1) return Summary::Checksum::wrong;
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state);
  std::vector<char> block(1 << 20);
  Cursor body(fd, length);
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - done));
    if (!body.bytes(block.data(), n)) {
      XXH3_freeState(state);
      return Summary::Checksum::wrong;
    }
    XXH3_64bits_update(state, block.data(), n);
    done += n;
  }
  const bool same = XXH3_64bits_digest(state) == sum;
  XXH3_freeState(state);
  return same ? Summary::Checksum::verified : Summary::Checksum::wrong;
}

void walk(Cursor& c, Summary& s) {
  if (s.calibrated != 0 && !c.skip(2 * c_dim * 4)) return;
  if (!c.skip(c_rotation)) return;
  if (s.vectors > (~std::uint64_t{0}) / (c_dim * 4 + c_payload)) return;
  if (!c.skip(s.vectors * c_payload)) return;
  const std::uint64_t store = s.store_kind == 1   ? s.vectors * c_dim * 4
                              : s.store_kind == 2 ? s.vectors * (c_dim + 4)
                                                  : 0;
  if (!c.skip(store)) return;
  for (std::uint32_t l = 0; l < s.layer_count && l < 64; ++l) {
    std::uint64_t nodes;
    if (!c.value(nodes)) return;
    s.layer_nodes.push_back(nodes);
    for (std::uint64_t i = 0; i < nodes; ++i) {
      if (!c.skip(c_node - 4)) return;
      std::uint32_t edges;
      if (!c.value(edges) || !c.skip(8 * std::uint64_t{edges})) return;
    }
  }
  if (s.layer_nodes.size() != s.layer_count) return;
  if (!c.value(s.deleted) || s.deleted > s.vectors || !c.skip(8 * s.deleted)) return;
  for (std::uint64_t i = 0; i < s.vectors; ++i) {
    std::uint16_t len;
    if (!c.value(len) || !c.skip(len)) return;
  }
  s.walked = true;
}

}  // namespace

const char* checksumName(Summary::Checksum c) {
  return c == Summary::Checksum::absent ? "absent" : c == Summary::Checksum::verified ? "verified" : "wrong";
}

const char* storeName(std::uint8_t kind) {
  return kind == 0 ? "none" : kind == 1 ? "fp32" : kind == 2 ? "sq8" : "invalid";
}

Summary summarize(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    throw std::runtime_error("cannot examine '" + path + "': " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("'" + path + "': not a regular file");

  Summary s;
  s.file_bytes = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t covered = s.file_bytes;
  s.checksum = checkTrailer(fd, s.file_bytes, &covered);
  Cursor c(fd, covered);
  char magic[4];
  if (!c.bytes(magic, 4)) return s;
  s.magic_ok = std::memcmp(magic, "TQX5", 4) == 0;
  if (s.file_bytes < c_header) return s;
  s.has_header = c.value(s.dimension) && c.value(s.max_edges) && c.value(s.routing_bits) &&
                 c.value(s.vectors) && c.value(s.ef_construction) && c.value(s.entry_id) &&
                 c.value(s.layer_count) && c.value(s.store_kind) && c.value(s.calibrated);
  if (s.has_header && s.magic_ok) walk(c, s);
  if (s.walked) s.bytes_after_labels = covered - c.position();
  return s;
}

}  // namespace indexfile
