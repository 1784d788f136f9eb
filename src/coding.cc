#include "coding.h"

#include <algorithm>

#include "alloc.h"

namespace korvane {

namespace {

constexpr const char* c_truncated = "the image ends inside a section";

}  // namespace

// ---------------------------------------------------------------------------
// Writer

Status Writer::raw(std::span<const std::uint8_t> data) noexcept {
  if (sink_.put != nullptr && bytes_->size() + data.size() > flush_bytes_) {
    if (auto s = flush(); !s) return s;
    // A block at least as large as the buffer would only be copied through
    // it: hand it over directly.
    if (data.size() >= flush_bytes_) {
      if (auto s = sink_.put(sink_.context, data); !s) return s;
      checksum_.update(data);
      written_ += data.size();
      return ok();
    }
  }
  if (data.empty()) return ok();
  if (auto s = tryReserveMore(*bytes_, data.size()); !s) return s;
  bytes_->insert(bytes_->end(), data.begin(), data.end());  // room reserved: cannot throw
  checksum_.update(data);
  written_ += data.size();
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
  if (auto s = source_.read(source_.context, buffer_.data() + unread, want); !s) {
    if (s.error() == Error::CorruptIndex) refuse("the file ended before its size");
    return s;
  }
  if (checksum_ != nullptr) checksum_->update({buffer_.data() + unread, want});
  window_len_ += want;
  return ok();
}

std::expected<std::span<const std::uint8_t>, Error> Reader::raw(std::uint64_t len) noexcept {
  if (len > remaining()) return refuse(c_truncated);
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
  if (len > remaining()) return refuse(c_truncated);
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
    if (auto s = source_.read(source_.context, out + buffered, rest); !s) {
      if (s.error() == Error::CorruptIndex) refuse("the file ended before its size");
      return s;
    }
    if (checksum_ != nullptr) checksum_->update({out + buffered, rest});
    window_pos_ = pos_ + len;
    window_len_ = 0;
  }
  pos_ += len;
  return ok();
}

Status Reader::skipRest() noexcept {
  if (source_.read == nullptr) {
    pos_ = length_;
    return ok();
  }
  while (remaining() > 0) {
    const std::uint64_t step = std::min<std::uint64_t>(remaining(), buffer_.size());
    if (auto bytes = raw(step); !bytes) return std::unexpected(bytes.error());
  }
  return ok();
}

}  // namespace korvane
