// Pinned results of golden_scenario.h, printed by golden_regenerate.cc. Do not
// edit by hand: a mismatch means the library now computes something
// else, see golden_test.cc.
#pragma once

#include <cstdint>

namespace golden {

inline constexpr std::uint64_t c_rotation_seed0 = 0xbe0ec13a861608e3;
inline constexpr std::uint64_t c_rotation_seed42 = 0x11307795587e915b;
inline constexpr std::uint64_t c_uniform_seed42 = 0x595bb42904fcbd1b;
inline constexpr std::uint64_t c_normal_seed42 = 0xbc17141e029fd56d;
inline constexpr std::uint64_t c_first_levels = 0x7dd0451bcb149f1a;
inline constexpr std::size_t c_first_levels_raised = 31;
inline constexpr std::uint64_t c_saved_bytes = 39445476;
inline constexpr std::uint64_t c_saved_file = 0x51502657e08c8aa7;
inline constexpr std::uint64_t c_reloaded_bytes = 39544088;
inline constexpr std::uint64_t c_reloaded_file = 0x1971b3c1d2ecc92d;
inline constexpr std::uint64_t c_search = 0x97e6ddb958b3dfaa;
inline constexpr std::uint64_t c_filtered = 0x546324df83d77762;
inline constexpr std::uint64_t c_batch = 0xdaeef6b81d28b465;

}  // namespace golden
