// sq8: the 8-bit rerank store — one signed 8-bit code per rotated component
// and one scale per vector — its encoding and the inner product it is scored
// with.
//
// Record r occupies codes[c_dim * r .. c_dim * (r + 1)) and scales[r]; its
// value at component j is codes[c_dim * r + j] * scales[r].
//
// Floating point: the encoding divides in f32 and rounds halves away from
// zero; dotSq8 follows the system's 8-lane order with fused multiply-adds
// and is bit-identical to its scalar twin.
//
// Thread safety: const operations may run on any number of threads at once;
// appending needs exclusive use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "constants.h"
#include "error.h"

namespace korvane {

// The sq8 record of one rotated vector (c_dim floats): scale = max(max |v|,
// 1e-20) / 127 with NaN components passed over; code = v / scale rounded
// half away from zero, 0 for a NaN component, clamped to ±127 (reached only
// by an infinite component). Writes c_dim codes and returns the scale.
float encodeSq8(const float* rotated, std::int8_t* codes) noexcept;

// Inner product of `q` with 8-bit `codes` (n each) in the system's 8-lane
// order: lane L accumulates fma(float(codes[i + L]), q[i + L], lane) for
// i = 0, 8, ...; the lanes are summed 0 + 1, + 2, ..., + 7; a tail (n not a
// multiple of 8) is added by fused multiply-adds in index order. A NaN
// result is the default quiet NaN.
[[nodiscard]] float dotSq8(const float* q, const std::int8_t* codes, std::size_t n) noexcept;

// The same definition one lane at a time with std::fma; the reference for
// dotSq8.
[[nodiscard]] float dotSq8Scalar(const float* q, const std::int8_t* codes,
                                 std::size_t n) noexcept;

class Sq8Store {
 public:
  Sq8Store() noexcept = default;
  // Takes records as stored: codes.size() must be c_dim * scales.size().
  Sq8Store(std::vector<std::int8_t> codes, std::vector<float> scales) noexcept
      : codes_(std::move(codes)), scales_(std::move(scales)) {}

  // Number of whole records; codes beyond them, if any, are not a record.
  std::size_t size() const noexcept {
    return codes_.size() / c_dim < scales_.size() ? codes_.size() / c_dim : scales_.size();
  }
  // Whether the store holds exactly `records` records and nothing else.
  bool holdsExactly(std::size_t records) const noexcept {
    return scales_.size() == records && codes_.size() == c_dim * records;
  }

  // Makes sure one more record can be appended without allocating.
  // OutOfMemory leaves the store unchanged.
  [[nodiscard]] Status reserveOne() noexcept;
  // Appends the record of `rotated`. Precondition: reserveOne succeeded
  // since the last append.
  void appendReserved(const float* rotated) noexcept;

  // dotSq8(q, codes of `record`) * scale of `record`. Precondition: record
  // < size().
  float score(std::size_t record, const float* q) const noexcept {
    return dotSq8(q, codes_.data() + c_dim * record, c_dim) * scales_[record];
  }

  std::size_t memoryBytes() const noexcept {
    return codes_.capacity() + scales_.capacity() * sizeof(float);
  }

  std::span<const std::int8_t> codes() const noexcept { return codes_; }
  std::span<const float> scales() const noexcept { return scales_; }

 private:
  std::vector<std::int8_t> codes_;
  std::vector<float> scales_;
};

}  // namespace korvane
