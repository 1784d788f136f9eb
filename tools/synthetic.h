// synthetic: generated vector sets for the demo, the command-line tool and
// benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace synthetic {

inline constexpr std::size_t c_dim = 3072;

// `n` unit vectors (n * 3072 floats, row-major) around `clusters` random
// unit centres fixed by `seed`: each is its centre plus Gaussian noise of
// comparable norm, normalised. `stream` draws an independent sample of the
// same distribution (queries versus data). The same arguments give the same
// vectors with the same standard library.
std::vector<float> clustered(std::size_t n, std::uint64_t seed, std::uint64_t stream,
                             std::size_t clusters);

}  // namespace synthetic
