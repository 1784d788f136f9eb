// file_io: the POSIX file handling of saving and loading, behind a small
// interface: a replacement file, written beside its target and put in its
// place only when complete and on stable storage, and an input file read in
// exact blocks, never past the size it had when it was opened. Every
// file-system failure is Error::Unexpected (the error set has no I/O
// value), described in the FailureInfo the caller passes; nothing here
// knows the index format.
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

// A new file that replaces the file at a path on commit. Until then
// whatever is at the path is untouched; a file never committed is removed
// by the destructor (an unnamed one leaves nothing even when the process is
// killed). Move-only.
class ReplacementFile {
 public:
  // Prepares the replacement of `path`: a symbolic link is followed to the
  // file it names (which need not exist yet); a target that exists and is
  // not a regular file is refused. The new file goes into the target's
  // directory: unnamed (O_TMPFILE) where the file system allows it, else as
  // "<dir>/.korvane-<pid>-<n>.tmp". It gets the permission bits of the file
  // it replaces, or 0666 less the umask. OutOfMemory, or Unexpected,
  // described in `why`.
  [[nodiscard]] static std::expected<ReplacementFile, Error> create(
      const char* path, const FileOps& ops = systemFileOps(), FailureInfo* why = nullptr) noexcept;

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  // Writes every byte, repeating after partial writes and interruptions;
  // Unexpected when the file system refuses or makes no progress.
  [[nodiscard]] Status write(std::span<const std::uint8_t> bytes) noexcept;

  // Flushes the file to stable storage, gives it a name in the target's
  // directory if it has none and renames it over the target, then flushes
  // the directory. On failure the new file is removed and the target stays
  // as it was. At most once.
  [[nodiscard]] Status commit() noexcept;

  // Whether the file is unnamed until commit (tests).
  bool isUnnamed() const noexcept { return unnamed_; }

 private:
  ReplacementFile() noexcept = default;
  void abandon() noexcept;
  std::unexpected<Error> fail(const char* what) noexcept;

  Buffer<char> target_;  // NUL-terminated; the resolved target
  Buffer<char> temp_;    // NUL-terminated; the temporary name (once named)
  std::size_t dir_len_ = 0;  // length of the target's directory prefix
  int fd_ = -1;
  bool unnamed_ = false;
  bool named_ = false;  // temp_ names a file that exists
  const FileOps* ops_ = nullptr;
  FailureInfo* why_ = nullptr;
};

// A regular file opened for reading. Move-only; the destructor closes it.
class InputFile {
 public:
  // Opens `path` read-only without blocking (a FIFO without a writer does
  // not hang) and refuses anything that is not a regular file before
  // reading a byte. Unexpected, described in `why`.
  [[nodiscard]] static std::expected<InputFile, Error> open(const char* path,
                                                            FailureInfo* why = nullptr) noexcept;

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // The size fstat reported when the file was opened; no read goes past it.
  std::uint64_t size() const noexcept { return size_; }

  // Fills exactly `len` bytes at `dest` from the current position:
  // CorruptIndex when the file ends first or the read would pass size()
  // (a truncated image), Unexpected for a read error.
  [[nodiscard]] Status readExactly(std::uint8_t* dest, std::size_t len) noexcept;
  // Fills exactly `len` bytes from byte `offset` without moving the
  // position; the same failures.
  [[nodiscard]] Status readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t len) noexcept;

 private:
  InputFile() noexcept = default;

  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t pos_ = 0;
  FailureInfo* why_ = nullptr;
};

}  // namespace korvane
