#include "coding.h"

#include <algorithm>

#include "alloc.h"

namespace korvane {

namespace {

std::unexpected<Error> corrupt() noexcept { return std::unexpected(Error::CorruptIndex); }

}  // namespace

// ---------------------------------------------------------------------------
// Writer

Status Writer::raw(std::span<const std::uint8_t> data) noexcept {
  if (sink_.put != nullptr && bytes_->size() + data.size() > flush_bytes_) {
    if (auto s = flush(); !s) return s;
    // A block at least as large as the buffer would only be copied through
    // it: hand it over directly.
    if (data.size() >= flush_bytes_) return sink_.put(sink_.context, data);
  }
  if (data.empty()) return ok();
  if (auto s = tryReserveMore(*bytes_, data.size()); !s) return s;
  bytes_->insert(bytes_->end(), data.begin(), data.end());  // room reserved: cannot throw
  return ok();
}

Status Writer::flush() noexcept {
  if (sink_.put == nullptr || bytes_->empty()) return ok();
  Status s = sink_.put(sink_.context, *bytes_);
  bytes_->clear();
  return s;
}

// ---------------------------------------------------------------------------
// Reader

Status Reader::fill(std::size_t len) noexcept {
  const std::size_t offset = static_cast<std::size_t>(pos_ - window_pos_);
  const std::size_t unread = window_len_ - offset;
  if (unread >= len) return ok();
  // Keep the unread tail, then read as much as fits and the image still has.
  if (unread > 0) std::memmove(buffer_.data(), buffer_.data() + offset, unread);
  window_pos_ = pos_;
  window_len_ = unread;
  const std::uint64_t left = length_ - (window_pos_ + window_len_);
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - unread, left));
  if (auto s = source_.read(source_.context, buffer_.data() + unread, want); !s) return s;
  window_len_ += want;
  return ok();
}

std::expected<std::span<const std::uint8_t>, Error> Reader::raw(std::uint64_t len) noexcept {
  if (len > remaining()) return corrupt();
  if (source_.read != nullptr) {
    // Callers read longer spans through copyTo; this is a programming error.
    if (len > buffer_.size()) return std::unexpected(Error::Unexpected);
    if (auto s = fill(static_cast<std::size_t>(len)); !s) return std::unexpected(s.error());
  }
  const std::uint8_t* at = window_ + (pos_ - window_pos_);
  pos_ += len;
  return std::span<const std::uint8_t>(at, static_cast<std::size_t>(len));
}

Status Reader::copyTo(void* dest, std::uint64_t len) noexcept {
  if (len > remaining()) return corrupt();
  if (len == 0) return ok();
  auto* out = static_cast<std::uint8_t*>(dest);
  const std::size_t offset = static_cast<std::size_t>(pos_ - window_pos_);
  const std::size_t buffered =
      static_cast<std::size_t>(std::min<std::uint64_t>(window_len_ - offset, len));
  std::memcpy(out, window_ + offset, buffered);
  if (buffered < len) {
    // Only a streaming reader gets here: the rest goes from the source
    // straight to its destination, and the window restarts empty after it.
    const std::size_t rest = static_cast<std::size_t>(len - buffered);
    if (auto s = source_.read(source_.context, out + buffered, rest); !s) return s;
    window_pos_ = pos_ + len;
    window_len_ = 0;
  }
  pos_ += len;
  return ok();
}

}  // namespace korvane
