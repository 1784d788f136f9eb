// options: the build constants, the error values and the small allocation
// helpers every other module builds on.
//
// Thread safety: everything here is either a constant or a pure function.
//
// Allocation policy: standard containers report exhaustion by throwing
// std::bad_alloc. The helpers below are the only places that catch it; they
// turn it into Error::OutOfMemory so that callers can reserve everything an
// update needs first and then commit with operations that cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace korvane {

// Components per vector.
inline constexpr std::size_t c_dim = 3072;
// Out-neighbours per node on every graph layer.
inline constexpr std::size_t c_max_edges = 32;
// Width of a routing code in bits.
inline constexpr std::size_t c_routing_bits = 3072;

static_assert(c_dim % 8 == 0, "kernels process eight components at a time");
static_assert(c_routing_bits % 64 == 0, "routing codes are whole words");

enum class Error : std::uint8_t {
  OutOfMemory,
  DuplicateId,
  DimensionMismatch,
  CorruptIndex,
  NotATqIndex,
  MaxEdgesMismatch,
  RoutingBitsMismatch,
  SystemResources,
  Unexpected,
};

// The only place an Error becomes an integer. These codes are frozen: they
// are part of the C interface.
//   DuplicateId -> -2, DimensionMismatch -> -3, everything else -> -1.
[[nodiscard]] std::int32_t errCode(Error e) noexcept;

// Result of an operation that yields nothing but may fail.
using Status = std::expected<void, Error>;

inline constexpr Status ok() noexcept { return {}; }

// Reserves room for `n` elements in total; OutOfMemory when the allocator
// refuses or when `n` exceeds what the container can address.
template <class Container>
[[nodiscard]] Status tryReserve(Container& c, std::size_t n) noexcept {
  try {
    if (n > c.max_size()) return std::unexpected(Error::OutOfMemory);
    c.reserve(n);
    return ok();
  } catch (...) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// Resizes to exactly `n` elements (new ones value-initialised).
template <class Container>
[[nodiscard]] Status tryResize(Container& c, std::size_t n) noexcept {
  try {
    if (n > c.max_size()) return std::unexpected(Error::OutOfMemory);
    c.resize(n);
    return ok();
  } catch (...) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// Appends one element. Growth is geometric, as the container chooses.
template <class Container, class T>
[[nodiscard]] Status tryPush(Container& c, T&& value) noexcept {
  try {
    c.push_back(std::forward<T>(value));
    return ok();
  } catch (...) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// Makes sure `extra` more elements can be appended without reallocation.
// Growth is geometric so that repeated single appends stay amortised O(1).
template <class Container>
[[nodiscard]] Status tryReserveMore(Container& c, std::size_t extra) noexcept {
  const std::size_t size = c.size();
  if (extra > c.max_size() - size) return std::unexpected(Error::OutOfMemory);
  const std::size_t need = size + extra;
  if (need <= c.capacity()) return ok();
  std::size_t want = c.capacity() < c.max_size() / 2 ? c.capacity() * 2 : need;
  if (want < need) want = need;
  return tryReserve(c, want);
}

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
