#include "isa.h"

namespace korvane {

bool isaSupported(Isa isa) noexcept {
  if (isa == Isa::avx2) return true;
  // libgcc's feature test also checks that the operating system saves the
  // 512-bit state.
  static const bool avx512 = __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512vl") &&
                             __builtin_cpu_supports("avx512dq");
  return avx512;
}

Isa bestIsa() noexcept {
  static const Isa best = isaSupported(Isa::avx512) ? Isa::avx512 : Isa::avx2;
  return best;
}

}  // namespace korvane
