#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace korvane {

namespace {

std::unexpected<Error> ioError() noexcept { return std::unexpected(Error::Unexpected); }

long systemWrite(int fd, const void* data, std::size_t len) noexcept {
  return ::write(fd, data, len);
}
int systemFsync(int fd) noexcept { return ::fsync(fd); }

constexpr FileOps c_system_ops{systemWrite, systemFsync};

int openRetrying(const char* path, int flags, mode_t mode = 0) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// Replacements in one process never pick the same temporary name; another
// process differs by its pid, and O_EXCL settles any remaining clash.
std::atomic<std::uint64_t> g_temp_counter{0};

constexpr std::size_t c_temp_name_room = 64;

// "<directory of path>.korvane-<pid>-<n>.tmp" into `out` (NUL-terminated).
void tempName(const char* path, std::size_t dir_len, std::uint64_t n, char* out) noexcept {
  std::memcpy(out, path, dir_len);
  char* p = out + dir_len;
  const auto append = [&p](const char* s) {
    while (*s != '\0') *p++ = *s++;
  };
  const auto appendNumber = [&p](std::uint64_t v) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (count > 0) *p++ = digits[--count];
  };
  append(".korvane-");
  appendNumber(static_cast<std::uint64_t>(::getpid()));
  append("-");
  appendNumber(n);
  append(".tmp");
  *p = '\0';
}

void syncDirectory(const char* path, std::size_t dir_len, char* scratch) noexcept {
  if (dir_len == 0) {
    scratch[0] = '.';
    scratch[1] = '\0';
  } else {
    std::memcpy(scratch, path, dir_len);
    scratch[dir_len] = '\0';
  }
  const int fd = openRetrying(scratch, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The new file is complete and in place once rename returns; a directory
  // that cannot be flushed (some file systems refuse) does not undo that.
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

const FileOps& systemFileOps() noexcept { return c_system_ops; }

// ---------------------------------------------------------------------------
// ReplacementFile

std::expected<ReplacementFile, Error> ReplacementFile::create(const char* path,
                                                              const FileOps& ops) noexcept {
  const std::size_t path_len = std::strlen(path);
  std::size_t dir_len = path_len;
  while (dir_len > 0 && path[dir_len - 1] != '/') --dir_len;
  auto target = Buffer<char>::make(path_len + 1);
  auto temp = Buffer<char>::make(dir_len + c_temp_name_room);
  if (!target || !temp) return std::unexpected(Error::OutOfMemory);
  std::memcpy(target->data(), path, path_len + 1);

  ReplacementFile file;
  file.target_ = std::move(*target);
  file.temp_ = std::move(*temp);
  file.dir_len_ = dir_len;
  file.ops_ = &ops;
  for (int attempt = 0; attempt < 100 && file.fd_ < 0; ++attempt) {
    tempName(path, dir_len, g_temp_counter.fetch_add(1, std::memory_order_relaxed),
             file.temp_.data());
    file.fd_ = openRetrying(file.temp_.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file.fd_ < 0 && errno != EEXIST) return ioError();
  }
  if (file.fd_ < 0) return ioError();
  return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      dir_len_(other.dir_len_),
      fd_(std::exchange(other.fd_, -1)),
      ops_(other.ops_) {}

ReplacementFile::~ReplacementFile() { abandon(); }

void ReplacementFile::abandon() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temp_.data());
  fd_ = -1;
}

Status ReplacementFile::write(std::span<const std::uint8_t> bytes) noexcept {
  if (fd_ < 0) return ioError();
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const long n = ops_->write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ioError();
    }
    if (n == 0) return ioError();  // no progress: treat as a full device
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok();
}

Status ReplacementFile::commit() noexcept {
  if (fd_ < 0) return ioError();
  for (;;) {
    if (ops_->fsync(fd_) == 0) break;
    if (errno != EINTR) {
      abandon();
      return ioError();
    }
  }
  // Every byte is on stable storage; an error from closing changes nothing.
  ::close(fd_);
  fd_ = -1;
  if (::rename(temp_.data(), target_.data()) != 0) {
    ::unlink(temp_.data());
    return ioError();
  }
  syncDirectory(target_.data(), dir_len_, temp_.data());
  return ok();
}

// ---------------------------------------------------------------------------
// InputFile

std::expected<InputFile, Error> InputFile::open(const char* path) noexcept {
  InputFile file;
  file.fd_ = openRetrying(path, O_RDONLY | O_CLOEXEC);
  if (file.fd_ < 0) return ioError();
  struct stat st;
  if (::fstat(file.fd_, &st) != 0) return ioError();
  file.regular_ = S_ISREG(st.st_mode);
  file.size_ = file.regular_ ? static_cast<std::uint64_t>(st.st_size) : 0;
  return file;
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), regular_(other.regular_), size_(other.size_) {}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status InputFile::readExactly(std::uint8_t* dest, std::size_t len) noexcept {
  while (len > 0) {
    auto got = readSome(dest, len);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(Error::CorruptIndex);
    dest += *got;
    len -= *got;
  }
  return ok();
}

std::expected<std::size_t, Error> InputFile::readSome(std::uint8_t* dest,
                                                      std::size_t len) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd_, dest, len);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return ioError();
  }
}

}  // namespace korvane
