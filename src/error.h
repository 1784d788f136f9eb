// error: the named error values every fallible operation returns, and the
// one mapping of them onto the C interface's integer codes.
//
// Thread safety: constants and pure functions only.
#pragma once

#include <cstdint>
#include <expected>

namespace korvane {

enum class Error : std::uint8_t {
  OutOfMemory,
  DuplicateId,
  DimensionMismatch,
  CorruptIndex,
  NotATqIndex,
  MaxEdgesMismatch,
  RoutingBitsMismatch,
  SystemResources,
  Unexpected,
};

// The only place an Error becomes an integer. These codes are frozen: they
// are part of the C interface.
//   DuplicateId -> -2, DimensionMismatch -> -3, everything else -> -1.
[[nodiscard]] std::int32_t errCode(Error e) noexcept;

// Result of an operation that yields nothing but may fail.
using Status = std::expected<void, Error>;

inline constexpr Status ok() noexcept { return {}; }

// Why a file operation failed, beyond its Error value, for the message the
// C interface keeps for its caller. Saving and loading fill one in when
// they are given one; nothing in the core keeps it.
struct FailureInfo {
  // A static description of the step or the check that failed:
  //   with sys_error: the step ("cannot open", "cannot write", ...);
  //   with at_offset: the load-time check ("neighbour id out of range");
  //   otherwise: what is wrong with the file ("is not a regular file").
  const char* what = nullptr;
  int sys_error = 0;  // errno of the failing system call, or 0
  bool at_offset = false;
  std::uint64_t offset = 0;  // the byte offset of a failed check

  void set(const char* w, int err = 0) noexcept {
    what = w;
    sys_error = err;
    at_offset = false;
  }
  void setAt(const char* w, std::uint64_t at) noexcept {
    what = w;
    sys_error = 0;
    at_offset = true;
    offset = at;
  }
};

}  // namespace korvane
