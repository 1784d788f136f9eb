// checksum: the 64-bit checksum of the index file — XXH3 (seed 0) over a
// stream of bytes fed in any pieces.
//
// Thread safety: a Checksum is a plain value used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

class Checksum {
 public:
  Checksum() noexcept;
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  // Adds `bytes` to the stream.
  void update(std::span<const std::uint8_t> bytes) noexcept;
  // The checksum of everything added so far (more may follow).
  std::uint64_t value() const noexcept;

  // The checksum of one whole buffer: the same as update then value.
  static std::uint64_t of(std::span<const std::uint8_t> bytes) noexcept;

 private:
  // The hash state, held inline so that checksumming allocates nothing.
  static constexpr std::size_t c_state_bytes = 640;
  alignas(64) unsigned char state_[c_state_bytes];
};

}  // namespace korvane
