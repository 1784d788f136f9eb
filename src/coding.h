// coding: the byte coder of the index file — a Writer that appends
// little-endian fields to memory or streams them to a sink through a bounded
// buffer, and a Reader that walks an image of known length in memory or
// pulls it from a source through a fixed window, refusing any read past the
// end.
//
// Thread safety: a Writer or Reader is used by one thread at a time.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <type_traits>
#include <vector>

#include "checksum.h"
#include "error.h"

namespace korvane {

static_assert(std::endian::native == std::endian::little,
              "bulk arrays are copied as they lie in memory");

// Where a streaming Writer's bytes go: `put` takes the whole span or fails.
struct ByteSink {
  void* context = nullptr;
  Status (*put)(void* context, std::span<const std::uint8_t> bytes) noexcept = nullptr;
};

// Appends fields to a byte array. In memory (the first constructor) every
// byte stays in the array; streaming (the second) the array is a bounded
// buffer that is handed to the sink whenever it would grow past
// `flush_bytes`, and blocks of at least that size bypass it. Either way the
// sequence of bytes produced is the same, and every byte is added to the
// checksum of the bytes written.
class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& bytes) noexcept : bytes_(&bytes) {}
  Writer(std::vector<std::uint8_t>& buffer, ByteSink sink, std::size_t flush_bytes) noexcept
      : bytes_(&buffer), sink_(sink), flush_bytes_(flush_bytes) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Appends `data`. OutOfMemory, or the sink's error.
  [[nodiscard]] Status raw(std::span<const std::uint8_t> data) noexcept;
  // Appends the little-endian bytes of an unsigned integer (u8 ... u64).
  template <class T>
  [[nodiscard]] Status integer(T value) noexcept {
    static_assert(std::is_unsigned_v<T>);
    std::array<std::uint8_t, sizeof(T)> le;
    std::memcpy(le.data(), &value, sizeof(T));
    return raw(le);
  }
  // Appends the bit pattern of `value` as a u32.
  [[nodiscard]] Status f32(float value) noexcept {
    return integer(std::bit_cast<std::uint32_t>(value));
  }
  // Streaming: hands what is buffered to the sink. In memory: nothing.
  [[nodiscard]] Status flush() noexcept;

  // The number of bytes written so far and their checksum.
  std::uint64_t written() const noexcept { return written_; }
  std::uint64_t checksum() const noexcept { return checksum_.value(); }

 private:
  std::vector<std::uint8_t>* bytes_;
  ByteSink sink_{};
  std::size_t flush_bytes_ = 0;
  std::uint64_t written_ = 0;
  Checksum checksum_;
};

// Where a streaming Reader's bytes come from: `read` fills exactly `len`
// bytes at `dest` from the current position of the source or fails
// (CorruptIndex when the source ends early).
struct ByteSource {
  void* context = nullptr;
  Status (*read)(void* context, std::uint8_t* dest, std::size_t len) noexcept = nullptr;
};

// A cursor over an image of known length. In memory (the first
// constructor) views point into the caller's input; streaming (the second)
// the bytes are pulled from the source through a window of fixed capacity,
// and views point into the window (valid until the next read); every byte
// pulled is added, once and in order, to `checksum` when one is given. Any
// read that runs past the length fails with CorruptIndex and leaves the
// position where it was.
//
// A failed check is recorded with its position (refuse), so that a caller
// can say where and why an image was refused.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) noexcept
      : window_(bytes.data()), window_len_(bytes.size()), length_(bytes.size()) {}
  // `window` must hold at least c_min_window bytes; the reader does not own
  // it, the source or the checksum.
  Reader(ByteSource source, std::uint64_t length, std::span<std::uint8_t> window,
         Checksum* checksum = nullptr) noexcept
      : length_(length), source_(source), buffer_(window), checksum_(checksum) {
    window_ = buffer_.data();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Streaming windows must hold the largest single field read through raw.
  static constexpr std::size_t c_min_window = 4096;

  std::uint64_t position() const noexcept { return pos_; }
  std::uint64_t remaining() const noexcept { return length_ - pos_; }

  // The next `len` bytes (len <= c_min_window when streaming; longer reads
  // go through copyTo), advancing past them.
  [[nodiscard]] std::expected<std::span<const std::uint8_t>, Error> raw(std::uint64_t len) noexcept;
  // Copies the next `len` bytes to `dest` as one block, advancing past them.
  [[nodiscard]] Status copyTo(void* dest, std::uint64_t len) noexcept;

  template <class T>
  [[nodiscard]] std::expected<T, Error> integer() noexcept {
    static_assert(std::is_unsigned_v<T>);
    auto bytes = raw(sizeof(T));
    if (!bytes) return std::unexpected(bytes.error());
    T value;
    std::memcpy(&value, bytes->data(), sizeof(T));
    return value;
  }
  [[nodiscard]] std::expected<float, Error> f32() noexcept {
    auto bits = integer<std::uint32_t>();
    if (!bits) return std::unexpected(bits.error());
    return std::bit_cast<float>(*bits);
  }

  // `count` when the rest of the input could hold that many items of at
  // least `min_item_bytes` each, else CorruptIndex (refused as `check`).
  // Guards every count that sizes an allocation.
  [[nodiscard]] std::expected<std::uint64_t, Error> boundedCount(
      std::uint64_t count, std::uint64_t min_item_bytes, const char* check) noexcept {
    if (count > remaining() / min_item_bytes) return refuse(check);
    return count;
  }

  // Reads past everything not read yet (a streaming reader pulls it through
  // the window, so that the checksum covers it).
  [[nodiscard]] Status skipRest() noexcept;

  // Records that `check` failed at the current position and returns
  // CorruptIndex (or `error`).
  std::unexpected<Error> refuse(const char* check, Error error = Error::CorruptIndex) noexcept {
    failed_check_ = check;
    failed_at_ = pos_;
    return std::unexpected(error);
  }
  // The check that failed last, or null, and where.
  const char* failedCheck() const noexcept { return failed_check_; }
  std::uint64_t failedAt() const noexcept { return failed_at_; }

 private:
  // Streaming: makes the window hold at least `len` unread bytes.
  [[nodiscard]] Status fill(std::size_t len) noexcept;

  // The window holds bytes [window_pos_, window_pos_ + window_len_) of the
  // image; in memory it is the whole input.
  const std::uint8_t* window_ = nullptr;
  std::size_t window_len_ = 0;
  std::uint64_t window_pos_ = 0;
  std::uint64_t pos_ = 0;
  std::uint64_t length_ = 0;
  ByteSource source_{};
  std::span<std::uint8_t> buffer_{};
  Checksum* checksum_ = nullptr;
  const char* failed_check_ = nullptr;
  std::uint64_t failed_at_ = 0;
};

// Stores the little-endian bytes of `value` at `out`.
template <class T>
void storeLe(std::uint8_t* out, T value) noexcept {
  std::memcpy(out, &value, sizeof(T));
}

// The value whose little-endian bytes are at `in`.
template <class T>
T loadLe(const std::uint8_t* in) noexcept {
  T value;
  std::memcpy(&value, in, sizeof(T));
  return value;
}

// The bytes of an array of trivially copyable values as they lie in memory.
template <class T>
std::span<const std::uint8_t> asBytes(std::span<const T> values) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace korvane
