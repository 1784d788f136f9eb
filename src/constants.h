// constants: the build constants every module is instantiated with. They
// are fixed for the library and written into every index file.
#pragma once

#include <cstddef>

namespace korvane {

// Components per vector.
inline constexpr std::size_t c_dim = 3072;
// Out-neighbours per node on every graph layer.
inline constexpr std::size_t c_max_edges = 32;
// Width of a routing code in bits.
inline constexpr std::size_t c_routing_bits = 3072;

static_assert(c_dim % 8 == 0, "kernels process eight components at a time");
static_assert(c_routing_bits % 64 == 0, "routing codes are whole words");

}  // namespace korvane
