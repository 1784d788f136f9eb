#include "storage.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "alloc.h"
#include "checksum.h"

namespace korvane {

namespace {

// Bounded buffer between the image writer and the file.
constexpr std::size_t c_save_buffer = 1 << 20;

Status putToFile(void* context, std::span<const std::uint8_t> bytes) noexcept {
  return static_cast<ReplacementFile*>(context)->write(bytes);
}

Status readFromFile(void* context, std::uint8_t* dest, std::size_t len) noexcept {
  return static_cast<InputFile*>(context)->readExactly(dest, len);
}

std::unexpected<Error> outOfMemory(FailureInfo* why) noexcept {
  if (why != nullptr) why->set("out of memory");
  return std::unexpected(Error::OutOfMemory);
}

}  // namespace

Status save(const Index& index, const char* path, const FileOps& ops, FailureInfo* why) noexcept {
  // Everything that can run out of memory is allocated before the file
  // system is touched.
  std::vector<Label> labels;
  if (!tryResize(labels, index.payloadCount())) return outOfMemory(why);
  std::vector<std::uint8_t> buffer;
  if (!tryReserve(buffer, c_save_buffer)) return outOfMemory(why);

  // The image goes to a new file beside the target and replaces it only
  // when complete and on stable storage, so a failure at any point leaves
  // the previous file as it was.
  auto file = ReplacementFile::create(path, ops, why);
  if (!file) return std::unexpected(file.error());
  Writer w(buffer, ByteSink{&*file, putToFile}, c_save_buffer);
  if (auto s = writeImage(index, labels, w); !s) {
    if (s.error() == Error::OutOfMemory) return outOfMemory(why);
    return s;
  }
  return file->commit();
}

std::expected<LoadedIndex, Error> load(const char* path, std::size_t window_bytes,
                                       FailureInfo* why) noexcept {
  auto file = InputFile::open(path, why);
  if (!file) return std::unexpected(file.error());
  const std::uint64_t size = file->size();

  // The trailer first (it says which bytes are the image); then the image
  // in one pass, checksummed as it streams by.
  std::array<std::uint8_t, c_trailer_bytes> tail{};
  std::optional<Trailer> trailer;
  if (size >= c_trailer_bytes) {
    if (auto s = file->readAt(size - c_trailer_bytes, tail.data(), tail.size()); !s) {
      if (s.error() == Error::CorruptIndex && why != nullptr) why->set("cannot be read");
      return std::unexpected(s.error());
    }
    auto found = findTrailer(tail, size, why);
    if (!found) return std::unexpected(found.error());
    trailer = *found;
  }
  auto window = Buffer<std::uint8_t>::make(std::max(window_bytes, Reader::c_min_window));
  if (!window) return outOfMemory(why);
  Checksum checksum;
  Reader r(ByteSource{&*file, readFromFile}, trailer ? trailer->covered : size, window->span(),
           trailer ? &checksum : nullptr);
  auto loaded = readImage(r);
  if (loaded && trailer) {
    if (auto s = r.skipRest(); !s) {
      describeFailure(r, s.error(), why);
      return std::unexpected(s.error());
    }
    if (checksum.value() != trailer->checksum) {
      if (why != nullptr) why->setAt("checksum mismatch", trailer->covered);
      return std::unexpected(Error::CorruptIndex);
    }
    loaded->checksum_verified = true;
  }
  if (!loaded && (why == nullptr || why->what == nullptr || loaded.error() != Error::Unexpected)) {
    describeFailure(r, loaded.error(), why);
  }
  return loaded;
}

}  // namespace korvane
