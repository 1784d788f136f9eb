// file_io: the POSIX file handling of saving and loading, behind a small
// interface: a replacement file, written beside its target and put in its
// place only when complete and on stable storage, and an input file read in
// exact blocks. Every file-system failure is Error::Unexpected (the error
// set has no I/O value); nothing here knows the index format.
//
// Thread safety: each object is used by one thread at a time; distinct
// objects are independent (temporary names never collide within a process,
// and O_EXCL settles a clash with another one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "buffer.h"
#include "error.h"

namespace korvane {

// The system calls that writing goes through; tests substitute failing
// ones.
struct FileOps {
  long (*write)(int fd, const void* data, std::size_t len) noexcept;
  int (*fsync)(int fd) noexcept;
};
// write(2) and fsync(2).
const FileOps& systemFileOps() noexcept;

// A new file that replaces `path` on commit. Until then whatever is at
// `path` is untouched; a file never committed is removed by the destructor.
// Move-only.
class ReplacementFile {
 public:
  // Creates "<directory of path>.korvane-<pid>-<n>.tmp" (permission bits
  // 0666 before the umask). OutOfMemory, or Unexpected when it cannot be
  // created.
  [[nodiscard]] static std::expected<ReplacementFile, Error> create(
      const char* path, const FileOps& ops = systemFileOps()) noexcept;

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  // Writes every byte, repeating after partial writes and interruptions;
  // Unexpected when the file system refuses or makes no progress.
  [[nodiscard]] Status write(std::span<const std::uint8_t> bytes) noexcept;

  // Flushes the file to stable storage, closes it and renames it over the
  // target, then flushes the directory. On failure the temporary file is
  // removed and the target stays as it was. At most once.
  [[nodiscard]] Status commit() noexcept;

 private:
  ReplacementFile() noexcept = default;
  void abandon() noexcept;

  Buffer<char> target_;  // NUL-terminated copies of the two names
  Buffer<char> temp_;
  std::size_t dir_len_ = 0;  // length of the target's directory prefix
  int fd_ = -1;
  const FileOps* ops_ = nullptr;
};

// A file opened for reading. Move-only; the destructor closes it.
class InputFile {
 public:
  // Opens `path` read-only. Unexpected when it cannot be opened or
  // examined.
  [[nodiscard]] static std::expected<InputFile, Error> open(const char* path) noexcept;

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  bool isRegular() const noexcept { return regular_; }
  // The size fstat reported when the file was opened (regular files).
  std::uint64_t size() const noexcept { return size_; }

  // Fills exactly `len` bytes at `dest`: CorruptIndex when the file ends
  // first (a truncated image), Unexpected for a read error.
  [[nodiscard]] Status readExactly(std::uint8_t* dest, std::size_t len) noexcept;
  // Reads up to `len` bytes; 0 at the end of the file.
  [[nodiscard]] std::expected<std::size_t, Error> readSome(std::uint8_t* dest,
                                                           std::size_t len) noexcept;

 private:
  InputFile() noexcept = default;

  int fd_ = -1;
  bool regular_ = false;
  std::uint64_t size_ = 0;
};

}  // namespace korvane
