// buffer: Buffer<T>, a fixed-size, 64-byte-aligned array that owns its
// storage: the working memory of kernels, contexts and staging areas.
//
// Thread safety: a plain owner; one thread at a time may change it, any
// number may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "error.h"

namespace korvane {

// A fixed-size, 64-byte-aligned array of trivially copyable elements that
// owns its storage. Allocation goes through the global operator new (the
// nothrow, aligned form), so it is visible to allocation-failure tests like
// every container allocation. Contents start uninitialised.
template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr std::size_t c_alignment = 64;

  Buffer() noexcept = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Buffer() { release(); }

  // A buffer of `n` elements, or OutOfMemory. `n` = 0 yields an empty buffer
  // that owns nothing.
  [[nodiscard]] static std::expected<Buffer, Error> make(std::size_t n) noexcept {
    Buffer b;
    if (n == 0) return b;
    if (n > SIZE_MAX / sizeof(T)) return std::unexpected(Error::OutOfMemory);
    void* p = ::operator new(n * sizeof(T), std::align_val_t{c_alignment},
                             std::nothrow);
    if (p == nullptr) return std::unexpected(Error::OutOfMemory);
    b.data_ = static_cast<T*>(p);
    b.size_ = n;
    return b;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

  void release() noexcept {
    if (data_ != nullptr) {
      ::operator delete(data_, std::align_val_t{c_alignment});
      data_ = nullptr;
      size_ = 0;
    }
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace korvane
