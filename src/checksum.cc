#include "checksum.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace korvane {

namespace {

static_assert(sizeof(XXH3_state_t) <= 640 && alignof(XXH3_state_t) <= 64,
              "the inline state must hold XXH3's");

XXH3_state_t* stateOf(unsigned char* bytes) noexcept { return reinterpret_cast<XXH3_state_t*>(bytes); }
const XXH3_state_t* stateOf(const unsigned char* bytes) noexcept {
  return reinterpret_cast<const XXH3_state_t*>(bytes);
}

}  // namespace

Checksum::Checksum() noexcept {
  XXH3_INITSTATE(stateOf(state_));
  (void)XXH3_64bits_reset(stateOf(state_));
}

void Checksum::update(std::span<const std::uint8_t> bytes) noexcept {
  if (!bytes.empty()) (void)XXH3_64bits_update(stateOf(state_), bytes.data(), bytes.size());
}

std::uint64_t Checksum::value() const noexcept { return XXH3_64bits_digest(stateOf(state_)); }

std::uint64_t Checksum::of(std::span<const std::uint8_t> bytes) noexcept {
  return XXH3_64bits(bytes.data(), bytes.size());
}

}  // namespace korvane
