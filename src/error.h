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

}  // namespace korvane
