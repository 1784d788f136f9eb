// vector_files: reading and writing the vector files the command-line tool
// takes — .npy (float32, C order, 1-D or 2-D), .fvecs (per vector an i32
// dimension, then the floats) and .fbin (u32 count, u32 dimension, then
// the floats) — and .npy id files.
//
// Inputs are read only from regular files, never past the size the file
// had when it was opened, with every size computed under overflow checks.
// Every failure throws FileError with a message naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vectorfiles {

struct FileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Rows of `cols` floats, row-major.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<float> values;
};

// The whole content of the regular file at `path`.
std::vector<char> readFile(const std::string& path);

// The vectors of a .npy, .fvecs or .fbin file (chosen by extension); every
// vector must have `dim` components.
Matrix readVectors(const std::string& path, std::size_t dim);

// `expected` ids from a 1-D .npy file of uint64 (or non-negative int64).
std::vector<std::uint64_t> readIds(const std::string& path, std::size_t expected);

// Writes a 2-D .npy file of rows x cols items of `item` bytes with numpy
// type `descr` ("<f4", "<u8"); checks every write.
void writeNpy(const std::string& path, const char* descr, const void* data, std::size_t rows,
              std::size_t cols, std::size_t item);

// The file name's extension from the last dot (".npy"), or "".
std::string extension(const std::string& path);

}  // namespace vectorfiles
