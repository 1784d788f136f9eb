// isa: the instruction sets the vector kernels are written for, and which of
// them this CPU runs. Every kernel has an AVX2 form (the baseline,
// x86-64-v3); some add an AVX-512 form that gives bit-identical results and
// is chosen once, at first use, when the CPU (and the operating system)
// support it.
//
// Thread safety: the choice is made once, thread-safely, and never changes.
#pragma once

#include <cstdint>

namespace korvane {

enum class Isa : std::uint8_t { avx2, avx512 };

// Whether this CPU runs the kernels of `isa` (AVX-512: F, VL and DQ).
bool isaSupported(Isa isa) noexcept;

// The widest kernel set this CPU runs.
Isa bestIsa() noexcept;

}  // namespace korvane
