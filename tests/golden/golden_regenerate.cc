// Prints golden_values.h: run it after a deliberate change of the format or
// of the arithmetic, and say in the commit why the pinned values moved.
//
//   build/tests/golden/golden_regenerate > tests/golden/golden_values.h
#include <cinttypes>
#include <cstdio>

#include "golden_scenario.h"

int main() {
  auto zero = korvane::RandomRotation::init(0);
  korvane_index* h = korvane_index_create(40, 42);
  if (!zero || h == nullptr) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
  }
  const std::vector<std::uint8_t> levels = golden::firstLevels();
  std::size_t raised = 0;
  for (std::uint8_t l : levels) raised += l > 0;
  const std::uint64_t rotation42 = golden::rotationDigest(h->index.rotation());
  const golden::BuildDigests b = golden::build(h, 1);
  korvane_index_destroy(h);

  std::printf(
      "// Pinned results of golden_scenario.h, printed by golden_regenerate.cc. Do not\n"
      "// edit by hand: a mismatch means the library now computes something\n"
      "// else, see golden_test.cc.\n"
      "#pragma once\n\n"
      "#include <cstdint>\n\n"
      "namespace golden {\n\n");
  std::printf("inline constexpr std::uint64_t c_rotation_seed0 = 0x%016" PRIx64 ";\n",
              golden::rotationDigest(*zero));
  std::printf("inline constexpr std::uint64_t c_rotation_seed42 = 0x%016" PRIx64 ";\n", rotation42);
  std::printf("inline constexpr std::uint64_t c_uniform_seed42 = 0x%016" PRIx64 ";\n",
              golden::uniformDigest());
  std::printf("inline constexpr std::uint64_t c_normal_seed42 = 0x%016" PRIx64 ";\n",
              golden::normalDigest());
  std::printf("inline constexpr std::uint64_t c_first_levels = 0x%016" PRIx64 ";\n",
              golden::hashBytes(levels.data(), levels.size()));
  std::printf("inline constexpr std::size_t c_first_levels_raised = %zu;\n", raised);
  std::printf("inline constexpr std::uint64_t c_saved_bytes = %" PRIu64 ";\n", b.saved.bytes);
  std::printf("inline constexpr std::uint64_t c_saved_file = 0x%016" PRIx64 ";\n", b.saved.hash);
  std::printf("inline constexpr std::uint64_t c_reloaded_bytes = %" PRIu64 ";\n", b.reloaded.bytes);
  std::printf("inline constexpr std::uint64_t c_reloaded_file = 0x%016" PRIx64 ";\n",
              b.reloaded.hash);
  std::printf("inline constexpr std::uint64_t c_search = 0x%016" PRIx64 ";\n", b.search);
  std::printf("inline constexpr std::uint64_t c_filtered = 0x%016" PRIx64 ";\n", b.filtered);
  std::printf("inline constexpr std::uint64_t c_batch = 0x%016" PRIx64 ";\n", b.batch);
  std::printf("\n}  // namespace golden\n");
  return b.reload_answers_same ? 0 : 1;
}
