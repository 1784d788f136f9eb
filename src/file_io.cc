#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace korvane {

namespace {

std::unexpected<Error> ioError(FailureInfo* why, const char* what, int err = 0) noexcept {
  if (why != nullptr) why->set(what, err);
  return std::unexpected(Error::Unexpected);
}

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
// process differs by its pid, and O_EXCL (or linkat) settles any clash.
std::atomic<std::uint64_t> g_temp_counter{0};

constexpr std::size_t c_temp_name_room = 64;
// More links than this in a row are a loop.
constexpr int c_max_link_hops = 40;

// "<directory of path>.korvane-<pid>-<n>.tmp" into `out` (NUL-terminated).
void tempName(const char* path, std::size_t dir_len, std::uint64_t n, char* out) noexcept {
  std::memcpy(out, path, dir_len);
  std::snprintf(out + dir_len, c_temp_name_room, ".korvane-%llu-%llu.tmp",
                static_cast<unsigned long long>(::getpid()), static_cast<unsigned long long>(n));
}

std::size_t directoryLength(const std::string& path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
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

// Where a save to `path` writes: `path` itself, or the file its chain of
// symbolic links ends at (which need not exist). `mode` gets the permission
// bits of an existing target.
struct Target {
  std::string path;
  bool exists = false;
  mode_t mode = 0;
};

std::expected<Target, Error> resolveTarget(const char* path, FailureInfo* why) {
  Target t;
  t.path = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(t.path.c_str(), &st) != 0) {
      if (errno == ENOENT) return t;  // a new file, possibly through a dangling link
      return ioError(why, "cannot examine", errno);
    }
    if (S_ISLNK(st.st_mode)) {
      if (hops == c_max_link_hops) return ioError(why, "cannot follow the links of", ELOOP);
      std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
      for (;;) {
        const ssize_t n = ::readlink(t.path.c_str(), link.data(), link.size());
        if (n < 0) return ioError(why, "cannot follow the links of", errno);
        if (static_cast<std::size_t>(n) < link.size()) {
          link.resize(static_cast<std::size_t>(n));
          break;
        }
        link.resize(link.size() * 2);
      }
      // A relative link is relative to the directory that holds it.
      t.path = link.front() == '/' ? link : t.path.substr(0, directoryLength(t.path)) + link;
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      if (why != nullptr) why->set("exists and is not a regular file");
      return std::unexpected(Error::Unexpected);
    }
    t.exists = true;
    t.mode = st.st_mode & 07777;
    return t;
  }
}

// Whether an unnamed file can be given a name later: linkat reaches it
// through /proc/self/fd.
bool canNameUnnamedFiles() noexcept { return ::access("/proc/self/fd", X_OK) == 0; }

}  // namespace

const FileOps& systemFileOps() noexcept { return c_system_ops; }

// ---------------------------------------------------------------------------
// ReplacementFile

std::expected<ReplacementFile, Error> ReplacementFile::create(const char* path, const FileOps& ops,
                                                              FailureInfo* why) noexcept {
  std::expected<Target, Error> target = std::unexpected(Error::OutOfMemory);
  try {
    target = resolveTarget(path, why);
  } catch (const std::bad_alloc&) {
    if (why != nullptr) why->set("out of memory");
    return std::unexpected(Error::OutOfMemory);
  }
  if (!target) return std::unexpected(target.error());
  const std::string& p = target->path;
  const std::size_t dir_len = directoryLength(p);
  auto target_name = Buffer<char>::make(p.size() + 1);
  auto temp = Buffer<char>::make(dir_len + c_temp_name_room);
  if (!target_name || !temp) {
    if (why != nullptr) why->set("out of memory");
    return std::unexpected(Error::OutOfMemory);
  }
  std::memcpy(target_name->data(), p.c_str(), p.size() + 1);

  ReplacementFile file;
  file.target_ = std::move(*target_name);
  file.temp_ = std::move(*temp);
  file.dir_len_ = dir_len;
  file.ops_ = &ops;
  file.why_ = why;

  // An unnamed file in the target's directory: nothing of it is visible
  // before commit, and nothing is left if the process dies.
  if (canNameUnnamedFiles()) {
    char* dir = file.temp_.data();
    if (dir_len == 0) {
      std::strcpy(dir, ".");
    } else {
      std::memcpy(dir, p.data(), dir_len);
      dir[dir_len] = '\0';
    }
    file.fd_ = openRetrying(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (file.fd_ >= 0) {
      file.unnamed_ = true;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return ioError(why, "cannot create a file in the directory of", errno);
    }
  }
  // Elsewhere a named temporary file, removed again on failure.
  for (int attempt = 0; attempt < 100 && file.fd_ < 0; ++attempt) {
    tempName(p.c_str(), dir_len, g_temp_counter.fetch_add(1, std::memory_order_relaxed),
             file.temp_.data());
    file.fd_ = openRetrying(file.temp_.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file.fd_ >= 0) file.named_ = true;
    if (file.fd_ < 0 && errno != EEXIST) {
      return ioError(why, "cannot create a file in the directory of", errno);
    }
  }
  if (file.fd_ < 0) return ioError(why, "cannot create a file in the directory of", EEXIST);
  if (target->exists && ::fchmod(file.fd_, target->mode) != 0) {
    return file.fail("cannot set the permissions of the new file for");
  }
  return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      dir_len_(other.dir_len_),
      fd_(std::exchange(other.fd_, -1)),
      unnamed_(other.unnamed_),
      named_(std::exchange(other.named_, false)),
      ops_(other.ops_),
      why_(other.why_) {}

ReplacementFile::~ReplacementFile() { abandon(); }

void ReplacementFile::abandon() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (named_) ::unlink(temp_.data());
  named_ = false;
}

std::unexpected<Error> ReplacementFile::fail(const char* what) noexcept {
  const int err = errno;
  abandon();
  return ioError(why_, what, err);
}

Status ReplacementFile::write(std::span<const std::uint8_t> bytes) noexcept {
  if (fd_ < 0) return ioError(why_, "cannot write");
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const long n = ops_->write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ioError(why_, "cannot write", errno);
    }
    if (n == 0) return ioError(why_, "cannot write", ENOSPC);  // no progress: a full device
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok();
}

Status ReplacementFile::commit() noexcept {
  if (fd_ < 0) return ioError(why_, "cannot write");
  while (ops_->fsync(fd_) != 0) {
    if (errno != EINTR) return fail("cannot flush");
  }
  if (unnamed_) {
    // Named only now, just before it takes the target's place.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    for (int attempt = 0; attempt < 100 && !named_; ++attempt) {
      tempName(target_.data(), dir_len_, g_temp_counter.fetch_add(1, std::memory_order_relaxed),
               temp_.data());
      if (::linkat(AT_FDCWD, proc, AT_FDCWD, temp_.data(), AT_SYMLINK_FOLLOW) == 0) {
        named_ = true;
      } else if (errno != EEXIST) {
        return fail("cannot give the new file a name beside");
      }
    }
    if (!named_) return fail("cannot give the new file a name beside");
  }
  // Every byte is on stable storage; an error from closing changes nothing.
  ::close(fd_);
  fd_ = -1;
  if (::rename(temp_.data(), target_.data()) != 0) return fail("cannot rename the new file over");
  named_ = false;
  syncDirectory(target_.data(), dir_len_, temp_.data());
  return ok();
}

// ---------------------------------------------------------------------------
// InputFile

std::expected<InputFile, Error> InputFile::open(const char* path, FailureInfo* why) noexcept {
  InputFile file;
  file.why_ = why;
  // Non-blocking: opening a FIFO without a writer returns at once instead
  // of waiting for one; it is then refused below without a read.
  file.fd_ = openRetrying(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd_ < 0) return ioError(why, "cannot open", errno);
  struct stat st;
  if (::fstat(file.fd_, &st) != 0) return ioError(why, "cannot examine", errno);
  if (!S_ISREG(st.st_mode)) return ioError(why, "is not a regular file");
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  return file;
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), pos_(other.pos_), why_(other.why_) {}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status InputFile::readExactly(std::uint8_t* dest, std::size_t len) noexcept {
  if (auto s = readAt(pos_, dest, len); !s) return s;
  pos_ += len;
  return ok();
}

Status InputFile::readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t len) noexcept {
  if (offset > size_ || len > size_ - offset) return std::unexpected(Error::CorruptIndex);
  while (len > 0) {
    const ssize_t n = ::pread(fd_, dest, len, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ioError(why_, "cannot read", errno);
    }
    if (n == 0) return std::unexpected(Error::CorruptIndex);  // the file shrank
    dest += n;
    len -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return ok();
}

}  // namespace korvane
