// Fuzz target for the index loader (deserialize).
//
// An index image is at least 37.7 MB (the rotation alone), so raw byte
// mutation would spend its time inside the rotation and rarely get past the
// payloads. Instead, an input picks one of a few small valid images (a
// handful of vectors, several layers, deletions, labels, every store kind)
// and a list of edits at offsets relative to the starts of its sections and
// records: byte patches, integers with boundary values, insertions, erasures,
// copies and truncation. The rotation's contents are taken as they are, so
// edits skip it; only truncation reaches into it. The mode byte also picks
// the end of the input: no trailer (the image as another writer may leave
// it), a checksum trailer computed over the edited image (so that edits
// reach the parser behind a valid checksum), or such a trailer with one of
// its bytes changed. Mode byte 255 feeds the rest of the input as a raw
// image instead (header and short inputs).
//
// Properties: the loader never crashes or reads out of bounds (the
// sanitizers watch), it returns an error or an index; a loaded index
// satisfies the graph invariants, serializes, loads again and serializes to
// the same bytes, and accepts a search and an insertion.
//
// Fuzzing (clang 16 with libFuzzer; opt-in: `make fuzz`, the fuzz preset):
//   make fuzz && cd build-fuzz/tests/fuzz
//   ./deserialize_fuzz -max_len=2048 -rss_limit_mb=4096 -timeout=30
//       -max_total_time=3600 corpus ../../../tests/fuzz/corpus/deserialize
// (one command line: -max_total_time is the fuzzing time in seconds).
// New finds go to corpus; to keep the interesting ones:
//   ./deserialize_fuzz -merge=1 ../../../tests/fuzz/corpus/deserialize corpus
// The saved corpus is replayed without libFuzzer by deserialize_fuzz_replay
// (CTest).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "index.h"
#include "storage.h"
#include "support/test_data.h"

namespace {

using korvane::BitVector;
using korvane::Buffer;
using korvane::c_dim;
using korvane::c_node_bytes;
using korvane::c_payload_bytes;
using korvane::c_rotation_bytes;
using korvane::Index;
using korvane::IndexParts;
using korvane::Label;
using korvane::RandomRotation;
using korvane::RerankStore;
using korvane::RoutingGraph;
using korvane::TurboQuantPayload;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "deserialize_fuzz: property violated: %s\n", what);
  std::abort();
}

// One matrix for every base image, so that the rotation section's bytes are
// the same in all of them.
const RandomRotation& baseRotation() {
  static const RandomRotation r = [] {
    auto rows = std::move(*Buffer<float>::make(c_dim * c_dim));
    korvane::Xoshiro256pp rng = korvane::Xoshiro256pp::fromSeed(5);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      rows[i] = static_cast<float>(rng.next() >> 40) / float(1 << 24) - 0.5f;
    }
    return RandomRotation::adopt(std::move(rows));
  }();
  return r;
}

struct BaseSpec {
  std::vector<std::size_t> levels;
  RerankStore store;
  bool calibrated;
  std::vector<std::size_t> deleted;  // internal ids
  std::size_t ef;
};

Index buildIndex(const BaseSpec& spec) {
  const std::size_t n = spec.levels.size();
  const auto data = testdata::clustered(n, 17, 0, 4);
  IndexParts parts;
  parts.rotation = std::move(*RandomRotation::fromRows(baseRotation().rows().data()));
  parts.routing = RoutingGraph::init(spec.ef);
  parts.rerank_store = spec.store;
  if (spec.calibrated) {
    parts.calib_shift.assign(c_dim, 0.01f);
    parts.calib_scale.assign(c_dim, 0.02f);
    parts.calib_frozen = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float* x = data.data() + i * c_dim;
    parts.payloads.push_back(
        TurboQuantPayload::encodeWithCalibration(100 + i, x, parts.calib_shift, parts.calib_scale));
    if (!parts.routing.insertWithLevel(i, BitVector::fromF32(x), spec.levels[i])) {
      fail("base graph");
    }
    if (spec.store == RerankStore::fp32) {
      parts.originals.insert(parts.originals.end(), x, x + c_dim);
    } else if (spec.store == RerankStore::sq8) {
      std::vector<std::int8_t> codes(c_dim);
      parts.sq8_scales.push_back(korvane::encodeSq8(x, codes.data()));
      parts.sq8_codes.insert(parts.sq8_codes.end(), codes.begin(), codes.end());
    }
  }
  auto index = Index::assemble(std::move(parts));
  if (!index) fail("base index");
  for (std::size_t i : spec.deleted) {
    if (!index->remove(100 + i)) fail("base deletion");
  }
  return std::move(*index);
}

// A base image split around its rotation, with the offsets edits are made
// relative to.
struct Base {
  std::uint64_t n = 0;             // vectors
  std::vector<std::uint8_t> head;  // header and calibration
  std::vector<std::uint8_t> tail;  // everything after the rotation
  std::vector<std::size_t> anchors;
};

Base makeBase(const BaseSpec& spec) {
  const Index index = buildIndex(spec);
  const std::size_t n = index.payloadCount();
  std::vector<std::vector<std::uint8_t>> label_bytes;
  std::vector<Label> labels;
  for (std::size_t i = 0; i < n; ++i) label_bytes.emplace_back(i % 3, std::uint8_t('a' + i));
  for (const auto& l : label_bytes) labels.emplace_back(l);
  auto bytes = korvane::serialize(index, labels);
  if (!bytes) fail("base image");

  Base b;
  b.n = n;
  const std::size_t head =
      korvane::c_header_bytes + (index.calibFrozen() ? korvane::c_calibration_bytes : 0);
  b.head.assign(bytes->begin(), bytes->begin() + std::ptrdiff_t(head));
  // The trailer is added (or not) after the edits.
  b.tail.assign(bytes->begin() + std::ptrdiff_t(head + c_rotation_bytes),
                bytes->end() - std::ptrdiff_t(korvane::c_trailer_bytes));

  // Header fields, the section starts, the first records and every layer
  // with its first two nodes.
  std::size_t p = head + c_rotation_bytes;
  b.anchors = {0, 4, 16, 24, 32, 40, 44, korvane::c_header_bytes, head, p};
  if (n > 1) b.anchors.push_back(p + c_payload_bytes);
  p += n * c_payload_bytes;
  b.anchors.push_back(p);
  if (index.hasRerankStore()) {
    p += n * (index.rerankStore() == RerankStore::fp32 ? korvane::c_fp32_record_bytes
                                                       : korvane::c_sq8_record_bytes);
  }
  const RoutingGraph& g = index.routing();
  for (std::size_t l = 0; l < g.layerCount(); ++l) {
    b.anchors.push_back(p);
    p += 8;
    for (std::size_t s = 0; s < g.layer(l).size(); ++s) {
      if (s < 2) {
        b.anchors.push_back(p);
        b.anchors.push_back(p + c_node_bytes - 4);  // edge count
      }
      p += c_node_bytes + 8 * g.layer(l).links[s].count;
    }
  }
  b.anchors.push_back(p);  // deletion list
  p += 8 + 8 * index.tombstones().count();
  b.anchors.push_back(p);  // labels
  b.anchors.push_back(bytes->size() - korvane::c_trailer_bytes);
  return b;
}

const std::vector<Base>& bases() {
  static const std::vector<Base> all = [] {
    std::vector<std::size_t> layered(40, 0);
    layered[0] = 2;
    layered[5] = 1;
    layered[12] = 2;
    layered[25] = 1;
    std::vector<Base> out;
    out.push_back(makeBase({layered, RerankStore::sq8, false, {7, 8}, 32}));
    out.push_back(makeBase({{1, 0, 2, 0, 1, 0}, RerankStore::fp32, true, {2}, 50}));
    out.push_back(makeBase({{}, RerankStore::sq8, false, {}, 32}));
    out.push_back(makeBase({{0, 3, 0}, RerankStore::none, false, {0, 2}, 32}));
    return out;
  }();
  return all;
}

// The pristine rotation bytes, for edits that copy from inside it.
const std::uint8_t* rotationBytes() {
  return reinterpret_cast<const std::uint8_t*>(baseRotation().rows().data());
}

// The edited image: head, the first `rot` rotation bytes, tail.
struct Image {
  std::vector<std::uint8_t> head;
  std::size_t rot = c_rotation_bytes;
  std::vector<std::uint8_t> tail;

  static constexpr std::size_t c_max_head = 64 * 1024;
  static constexpr std::size_t c_max_growth = 1 << 20;

  std::size_t size() const { return head.size() + rot + tail.size(); }

  std::uint8_t at(std::size_t p) const {
    if (p < head.size()) return head[p];
    if (p < head.size() + rot) return rotationBytes()[p - head.size()];
    return tail[p - head.size() - rot];
  }
  void patch(std::size_t p, std::uint8_t v) {
    if (p < head.size()) {
      head[p] = v;
    } else if (p >= head.size() + rot && p < size()) {
      tail[p - head.size() - rot] = v;
    }
  }
  void truncate(std::size_t p) {
    if (p <= head.size()) {
      head.resize(p);
      rot = 0;
      tail.clear();
    } else if (p <= head.size() + rot) {
      rot = p - head.size();
      tail.clear();
    } else if (p < size()) {
      tail.resize(p - head.size() - rot);
    }
  }
  void insert(std::size_t p, const std::vector<std::uint8_t>& bytes, std::size_t tail_limit) {
    if (p <= head.size() && head.size() + bytes.size() <= c_max_head) {
      head.insert(head.begin() + std::ptrdiff_t(p), bytes.begin(), bytes.end());
    } else if (p >= head.size() + rot && p <= size() && tail.size() + bytes.size() <= tail_limit) {
      const std::size_t t = p - head.size() - rot;
      tail.insert(tail.begin() + std::ptrdiff_t(t), bytes.begin(), bytes.end());
    }
  }
  void erase(std::size_t p, std::size_t len) {
    if (p < head.size()) {
      len = std::min(len, head.size() - p);
      head.erase(head.begin() + std::ptrdiff_t(p), head.begin() + std::ptrdiff_t(p + len));
    } else if (p >= head.size() + rot && p < size()) {
      const std::size_t t = p - head.size() - rot;
      len = std::min(len, tail.size() - t);
      tail.erase(tail.begin() + std::ptrdiff_t(t), tail.begin() + std::ptrdiff_t(t + len));
    }
  }
};

// Lays images out contiguously for the loader without copying the rotation
// each time: the rotation sits at a fixed place, each head is copied just
// before it and each tail just after what remains of it; the rotation bytes
// a tail overwrote are restored before the next image.
class Arena {
 public:
  explicit Arena(std::size_t tail_capacity)
      : bytes_(Image::c_max_head + c_rotation_bytes + tail_capacity) {
    std::memcpy(bytes_.data() + Image::c_max_head, rotationBytes(), c_rotation_bytes);
  }
  std::span<const std::uint8_t> place(const Image& image) {
    if (dirty_begin_ < dirty_end_) {
      std::memcpy(bytes_.data() + Image::c_max_head + dirty_begin_, rotationBytes() + dirty_begin_,
                  dirty_end_ - dirty_begin_);
    }
    std::uint8_t* start = bytes_.data() + Image::c_max_head - image.head.size();
    std::copy(image.head.begin(), image.head.end(), start);
    std::uint8_t* tail = bytes_.data() + Image::c_max_head + image.rot;
    std::copy(image.tail.begin(), image.tail.end(), tail);
    dirty_begin_ = image.rot;
    dirty_end_ = std::min(c_rotation_bytes, image.rot + image.tail.size());
    return {start, image.size()};
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t dirty_begin_ = 0, dirty_end_ = 0;
};

// Reads the edit list.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{u8()} << (8 * i);
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Compares a second serialization with the first as it streams out.
struct CompareSink {
  std::span<const std::uint8_t> expected;
  std::size_t offset = 0;
  bool same = true;

  static korvane::Status put(void* context, std::span<const std::uint8_t> bytes) noexcept {
    auto* self = static_cast<CompareSink*>(context);
    if (self->offset + bytes.size() > self->expected.size() ||
        std::memcmp(self->expected.data() + self->offset, bytes.data(), bytes.size()) != 0) {
      self->same = false;
    }
    self->offset += bytes.size();
    return korvane::ok();
  }
};

void checkLoaded(korvane::LoadedIndex& loaded, std::span<const std::uint8_t> input) {
  Index& index = loaded.index;
  if (!index.routing().checkInvariants()) fail("graph invariants of a loaded index");
  if (loaded.labels.size() != index.payloadCount()) fail("label count");
  if (index.routing().nodeCount() != index.payloadCount()) fail("node count");

  auto first = korvane::serialize(index, loaded.labels);
  if (!first) fail("serialize of a loaded index");
  // Nothing of a loaded index takes more room than its description did
  // (the new image has a trailer the input may lack).
  if (first->size() > input.size() + korvane::c_trailer_bytes) fail("image larger than its input");
  if (!korvane::deserialize(*first)->checksum_verified) fail("a written trailer does not verify");
  auto again = korvane::deserialize(*first);
  if (!again) fail("a serialized image does not load");
  CompareSink sink{*first};
  std::vector<std::uint8_t> buffer;
  buffer.reserve(1 << 20);
  korvane::Writer w(buffer, korvane::ByteSink{&sink, CompareSink::put}, 1 << 20);
  if (!korvane::writeImage(again->index, again->labels, w)) fail("second serialize");
  if (!sink.same || sink.offset != first->size()) fail("round trip changed the image");

  // The loaded graph is safe to search and to insert into.
  auto ctx = korvane::SearchContext::init(index, 8);
  if (!ctx) return;
  float* q = ctx->rotatedQuery();
  for (std::size_t j = 0; j < c_dim; ++j) q[j] = (j % 3 == 0) ? 0.5f : -0.25f;
  korvane::SearchResult results[4];
  (void)index.searchRotated(*ctx, results);
  std::vector<float> v(q, q + c_dim);
  ctx = std::unexpected(korvane::Error::Unexpected);  // free the context before inserting
  const auto s = index.insertRotated(0xFFFF'FFFF'FFFF'FFFFULL, v.data());
  if (!s && s.error() != korvane::Error::DuplicateId) fail("insertion into a loaded index");
  if (!index.routing().checkInvariants()) fail("graph invariants after an insertion");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Cursor in(data, size);
  const std::uint8_t mode = in.u8();
  if (mode == 255) {
    const std::span<const std::uint8_t> raw(data + 1, size - 1);
    auto loaded = korvane::deserialize(raw);
    if (loaded) checkLoaded(*loaded, raw);
    return 0;
  }

  const std::vector<Base>& all = bases();
  const Base& base = all[mode % all.size()];
  static std::size_t tail_capacity = [&] {
    std::size_t most = 0;
    for (const Base& b : all) most = std::max(most, b.tail.size());
    return most + Image::c_max_growth + korvane::c_trailer_bytes;
  }();
  static Arena arena(tail_capacity);

  Image image{base.head, c_rotation_bytes, base.tail};
  const auto position = [&](std::uint8_t anchor, std::uint16_t offset) {
    const std::int64_t p =
        std::int64_t(base.anchors[anchor % base.anchors.size()]) + std::int16_t(offset);
    return static_cast<std::size_t>(std::clamp<std::int64_t>(p, 0, std::int64_t(image.size())));
  };
  for (int edits = 0; !in.done() && edits < 16; ++edits) {
    const std::uint8_t op = in.u8();
    const std::uint8_t anchor = in.u8();
    const std::size_t p = position(anchor, in.u16());
    switch (op % 6) {
      case 0: {  // patch up to 8 bytes
        const std::size_t len = 1 + in.u8() % 8;
        for (std::size_t i = 0; i < len; ++i) image.patch(p + i, in.u8());
        break;
      }
      case 1: {  // an integer with a boundary value
        const std::uint64_t values[] = {0,
                                        1,
                                        2,
                                        31,
                                        32,
                                        33,
                                        base.n - 1,
                                        base.n,
                                        base.n + 1,
                                        0xFFFF,
                                        0xFFFF'FFFF,
                                        std::uint64_t{1} << 32,
                                        std::uint64_t{1} << 61,
                                        ~std::uint64_t{0}};
        const std::uint8_t pick = in.u8();
        const std::uint64_t v =
            pick < 2 * std::size(values) ? values[pick % std::size(values)] : in.u64();
        const std::size_t width = std::size_t{1} << (in.u8() % 4);
        for (std::size_t i = 0; i < width; ++i) {
          image.patch(p + i, static_cast<std::uint8_t>(v >> (8 * i)));
        }
        break;
      }
      case 2:
        image.truncate(p);
        break;
      case 3: {  // insert bytes from the input
        const std::size_t len = in.u8();
        std::vector<std::uint8_t> bytes(len);
        for (auto& b : bytes) b = in.u8();
        image.insert(p, bytes, base.tail.size() + Image::c_max_growth);
        break;
      }
      case 4:
        image.erase(p, in.u16());
        break;
      case 5: {  // copy a range of the image elsewhere (records, counts)
        const std::size_t src = position(in.u8(), in.u16());
        const std::size_t len = std::min<std::size_t>(in.u16() % 4096, image.size() - src);
        std::vector<std::uint8_t> bytes(len);
        for (std::size_t i = 0; i < len; ++i) bytes[i] = image.at(src + i);
        image.insert(p, bytes, base.tail.size() + Image::c_max_growth);
        break;
      }
    }
  }

  std::span<const std::uint8_t> bytes = arena.place(image);
  const std::size_t ending = (mode / all.size()) % 3;
  if (ending > 0) {
    std::array<std::uint8_t, korvane::c_trailer_bytes> trailer;
    std::memcpy(trailer.data(), korvane::trailer_magic.data(), 4);
    korvane::storeLe<std::uint32_t>(&trailer[4], korvane::c_trailer_version);
    korvane::storeLe<std::uint64_t>(&trailer[8], bytes.size());
    korvane::storeLe<std::uint64_t>(&trailer[16], korvane::Checksum::of(bytes));
    if (ending == 2) trailer[in.u8() % trailer.size()] ^= static_cast<std::uint8_t>(1 | in.u8());
    image.tail.insert(image.tail.end(), trailer.begin(), trailer.end());
    bytes = arena.place(image);
  }
  auto loaded = korvane::deserialize(bytes);
  if (loaded) checkLoaded(*loaded, bytes);
  if (loaded && ending == 2 && loaded->checksum_verified) fail("a damaged trailer verified");
  if (loaded && ending == 1 && !loaded->checksum_verified) fail("a valid trailer was not used");
  return 0;
}
