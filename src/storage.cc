#include "storage.h"

#include <algorithm>
#include <vector>

#include "alloc.h"

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

}  // namespace

Status save(const Index& index, const char* path, const FileOps& ops) noexcept {
  // Everything that can run out of memory is allocated before the file
  // system is touched.
  std::vector<Label> labels;
  if (auto s = tryResize(labels, index.payloadCount()); !s) return s;
  std::vector<std::uint8_t> buffer;
  if (auto s = tryReserve(buffer, c_save_buffer); !s) return s;

  // The image goes to a new file beside the target and replaces it only
  // when complete and on stable storage, so a failure at any point leaves
  // the previous file as it was.
  auto file = ReplacementFile::create(path, ops);
  if (!file) return std::unexpected(file.error());
  Writer w(buffer, ByteSink{&*file, putToFile}, c_save_buffer);
  if (auto s = writeImage(index, labels, w); !s) return s;
  return file->commit();
}

std::expected<LoadedIndex, Error> load(const char* path, std::size_t window_bytes) noexcept {
  auto file = InputFile::open(path);
  if (!file) return std::unexpected(file.error());
  if (file->isRegular()) {
    auto window = Buffer<std::uint8_t>::make(std::max(window_bytes, Reader::c_min_window));
    if (!window) return std::unexpected(window.error());
    Reader r(ByteSource{&*file, readFromFile}, file->size(), window->span());
    return readImage(r);
  }

  // Not a regular file: its length is known only at its end.
  std::vector<std::uint8_t> bytes;
  constexpr std::size_t c_step = 1 << 20;
  for (;;) {
    if (auto s = tryReserveMore(bytes, c_step); !s) return std::unexpected(s.error());
    const std::size_t at = bytes.size();
    bytes.resize(bytes.capacity());  // reserved: cannot throw
    auto got = file->readSome(bytes.data() + at, bytes.size() - at);
    if (!got) return std::unexpected(got.error());
    bytes.resize(at + *got);
    if (*got == 0) break;
  }
  return deserialize(bytes);
}

}  // namespace korvane
