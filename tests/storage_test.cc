#include "storage.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "c_api.h"
#include "support/failing_allocator.h"
#include "korvane.h"
#include "support/heap_usage.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Fixtures: small indexes built from parts, so that each costs a copy of one
// matrix rather than an orthonormalisation. Storage does not care whether
// the matrix is orthonormal.

const RandomRotation& byteTestRotation() {
  static const RandomRotation r = [] {
    auto rows = std::move(*Buffer<float>::make(c_dim * c_dim));
    Xoshiro256pp rng = Xoshiro256pp::fromSeed(99);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      rows[i] = static_cast<float>(static_cast<std::int64_t>(rng.next() >> 40) - (1 << 23)) /
                float(1 << 23) / 55.0f;
    }
    return RandomRotation::adopt(std::move(rows));
  }();
  return r;
}

struct Shape {
  std::vector<std::size_t> levels;  // one per vector: its graph level
  RerankStore store = RerankStore::sq8;
  bool calibrated = false;
  bool complete_store = true;
  std::vector<std::uint64_t> deleted;  // user ids removed after building
  std::size_t ef = 32;
};

constexpr std::uint64_t c_first_user_id = 1000;

// Vectors are used as if already rotated: codes, payloads and rerank
// records come straight from them.
Index buildIndex(const Shape& shape) {
  const std::size_t n = shape.levels.size();
  const auto data = testdata::clustered(n, 3, 0, 5);
  IndexParts parts;
  parts.rotation = std::move(*RandomRotation::fromRows(byteTestRotation().rows().data()));
  parts.routing = RoutingGraph::init(shape.ef);
  parts.rerank_store = shape.store;
  if (shape.calibrated) {
    parts.calib_shift.resize(c_dim);
    parts.calib_scale.resize(c_dim);
    for (std::size_t j = 0; j < c_dim; ++j) {
      parts.calib_shift[j] = 0.001f * float(j % 7);
      parts.calib_scale[j] = 0.01f + 0.0001f * float(j % 13);
    }
    parts.calib_frozen = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float* x = data.data() + i * c_dim;
    parts.payloads.push_back(TurboQuantPayload::encodeWithCalibration(
        c_first_user_id + i, x, parts.calib_shift, parts.calib_scale));
    EXPECT_TRUE(parts.routing.insertWithLevel(i, BitVector::fromF32(x), shape.levels[i]));
    if (!shape.complete_store && i + 1 == n) break;  // one record short
    if (shape.store == RerankStore::fp32) {
      parts.originals.insert(parts.originals.end(), x, x + c_dim);
    } else if (shape.store == RerankStore::sq8) {
      std::vector<std::int8_t> codes(c_dim);
      parts.sq8_scales.push_back(encodeSq8(x, codes.data()));
      parts.sq8_codes.insert(parts.sq8_codes.end(), codes.begin(), codes.end());
    }
  }
  Index index = std::move(*Index::assemble(std::move(parts)));
  for (std::uint64_t id : shape.deleted) {
    EXPECT_EQ(index.remove(id), (std::expected<bool, Error>(true)));
  }
  return index;
}

// 40 vectors: layer 0 all, layer 1 {0, 5, 12, 25}, layer 2 {0, 12}; entry 0.
// Enough nodes for full 32-entry neighbour lists in layer 0.
Shape layeredShape() {
  Shape s;
  s.levels.assign(40, 0);
  s.levels[0] = 2;
  s.levels[5] = 1;
  s.levels[12] = 2;
  s.levels[25] = 1;
  s.deleted = {c_first_user_id + 7, c_first_user_id + 8};
  return s;
}

std::vector<Label> noLabels(const Index& index) { return std::vector<Label>(index.payloadCount()); }

// The bytes save writes: the image and its trailer.
Bytes file(const Index& index) { return std::move(*serialize(index, noLabels(index))); }
// The image alone, as a writer that adds no trailer writes it: what the
// damage table and the layout offsets describe.
Bytes image(const Index& index) {
  Bytes b = file(index);
  b.resize(b.size() - c_trailer_bytes);
  return b;
}

// Offsets of the sections and records of an image, computed from the index.
struct Layout {
  std::size_t payloads = 0, store = 0, graph = 0, deletions = 0, labels = 0, end = 0;
  std::vector<std::size_t> layer;              // offset of each layer's node count
  std::vector<std::vector<std::size_t>> node;  // offset of each node record
};

Layout layoutOf(const Index& index) {
  Layout l;
  const std::size_t n = index.payloadCount();
  std::size_t p =
      c_header_bytes + (index.calibFrozen() ? c_calibration_bytes : 0) + c_rotation_bytes;
  l.payloads = p;
  p += n * c_payload_bytes;
  l.store = p;
  if (index.hasRerankStore()) {
    p += n * (index.rerankStore() == RerankStore::fp32 ? c_fp32_record_bytes : c_sq8_record_bytes);
  }
  l.graph = p;
  const RoutingGraph& g = index.routing();
  for (std::size_t k = 0; k < g.layerCount(); ++k) {
    l.layer.push_back(p);
    p += 8;
    l.node.emplace_back();
    for (const NodeLinks& links : g.layer(k).links) {
      l.node.back().push_back(p);
      p += c_node_bytes + 8 * links.count;
    }
  }
  l.deletions = p;
  p += 8 + 8 * index.tombstones().count();
  l.labels = p;
  l.end = p + 2 * n;
  return l;
}

// Mutators.
void setByte(Bytes& b, std::size_t at, std::uint8_t v) { b.at(at) = v; }
void patchU32(Bytes& b, std::size_t at, std::uint32_t v) {
  ASSERT_LE(at + 4, b.size());
  std::memcpy(b.data() + at, &v, 4);
}
void patchU64(Bytes& b, std::size_t at, std::uint64_t v) {
  ASSERT_LE(at + 8, b.size());
  std::memcpy(b.data() + at, &v, 8);
}
std::uint64_t readU64(const Bytes& b, std::size_t at) {
  std::uint64_t v;
  std::memcpy(&v, b.data() + at, 8);
  return v;
}
void truncateAt(Bytes& b, std::size_t len) { b.resize(std::min(len, b.size())); }
void splice(Bytes& b, std::size_t at, std::size_t erase, const Bytes& insert) {
  b.erase(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + erase));
  b.insert(b.begin() + std::ptrdiff_t(at), insert.begin(), insert.end());
}
Bytes u64s(std::initializer_list<std::uint64_t> values) {
  Bytes out;
  for (std::uint64_t v : values) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 8);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files

using testsupport::TempDir;

Bytes readFile(const std::string& path) { return testsupport::readFileBytes(path); }

void writeFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
}

using testsupport::c_heap_noise;
using testsupport::heapInUse;

// ---------------------------------------------------------------------------
// Comparison of two indexes, field by field.

void expectSameIndex(const Index& a, const Index& b) {
  ASSERT_EQ(a.payloadCount(), b.payloadCount());
  for (std::size_t i = 0; i < a.payloadCount(); ++i) {
    const TurboQuantPayload& x = a.payloads()[i];
    const TurboQuantPayload& y = b.payloads()[i];
    EXPECT_EQ(x.id, y.id);
    EXPECT_EQ(x.packed, y.packed);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(x.bias_scale),
              std::bit_cast<std::uint32_t>(y.bias_scale));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(x.bias_shift),
              std::bit_cast<std::uint32_t>(y.bias_shift));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(x.renorm_scalar),
              std::bit_cast<std::uint32_t>(y.renorm_scalar));
  }
  EXPECT_EQ(std::memcmp(a.rotation().rows().data(), b.rotation().rows().data(), c_rotation_bytes),
            0);
  EXPECT_EQ(a.calibFrozen(), b.calibFrozen());
  EXPECT_TRUE(std::ranges::equal(a.calibShift(), b.calibShift()));
  EXPECT_TRUE(std::ranges::equal(a.calibScale(), b.calibScale()));
  EXPECT_EQ(a.hasRerankStore(), b.hasRerankStore());
  if (a.hasRerankStore()) {
    EXPECT_EQ(a.rerankStore(), b.rerankStore());
    EXPECT_TRUE(std::ranges::equal(a.originals(), b.originals()));
    EXPECT_TRUE(std::ranges::equal(a.sq8().codes(), b.sq8().codes()));
    EXPECT_TRUE(std::ranges::equal(a.sq8().scales(), b.sq8().scales()));
  }
  const RoutingGraph& ga = a.routing();
  const RoutingGraph& gb = b.routing();
  EXPECT_EQ(ga.nodeCount(), gb.nodeCount());
  EXPECT_EQ(ga.entryId(), gb.entryId());
  EXPECT_EQ(ga.efConstruction(), gb.efConstruction());
  ASSERT_EQ(ga.layerCount(), gb.layerCount());
  for (std::size_t l = 0; l < ga.layerCount(); ++l) {
    const Layer& la = ga.layer(l);
    const Layer& lb = gb.layer(l);
    ASSERT_EQ(la.size(), lb.size());
    EXPECT_EQ(la.dense, lb.dense);
    for (std::size_t s = 0; s < la.size(); ++s) {
      const GraphNode x = la.record(s);
      const GraphNode y = lb.record(s);
      EXPECT_EQ(x.id, y.id);
      EXPECT_EQ(x.bit_vector, y.bit_vector);
      ASSERT_EQ(x.links.count, y.links.count);
      EXPECT_TRUE(std::ranges::equal(x.links.neighbors(), y.links.neighbors()));
      EXPECT_EQ(lb.bitsPtr(y.id), y.bit_vector);
      EXPECT_EQ(lb.slotOf(y.id), s);
    }
  }
  EXPECT_EQ(a.liveCount(), b.liveCount());
  for (std::size_t i = 0; i < a.payloadCount(); ++i) {
    EXPECT_EQ(a.isDeleted(i), b.isDeleted(i)) << i;
    const std::uint64_t user = a.payloads()[i].id;
    const std::uint64_t* ia = a.internalOf(user);
    const std::uint64_t* ib = b.internalOf(user);
    ASSERT_EQ(ia == nullptr, ib == nullptr) << i;
    if (ia != nullptr) {
      EXPECT_EQ(*ia, *ib);
    }
  }
}

// ---------------------------------------------------------------------------
// The layered image shared by the damage table and the allocation sweeps.

class Damaged : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_index_ = new Index(buildIndex(layeredShape()));
    base_ = new Bytes(image(*base_index_));
    layout_ = new Layout(layoutOf(*base_index_));
  }
  static void TearDownTestSuite() {
    delete layout_;
    delete base_;
    delete base_index_;
  }
  static Index* base_index_;
  static Bytes* base_;
  static Layout* layout_;
};
Index* Damaged::base_index_ = nullptr;
Bytes* Damaged::base_ = nullptr;
Layout* Damaged::layout_ = nullptr;

TEST_F(Damaged, BaseImageIsWhatTheTableAssumes) {
  const Index& ix = *base_index_;
  const RoutingGraph& g = ix.routing();
  ASSERT_EQ(g.layerCount(), 3u);
  EXPECT_EQ(g.layer(1).size(), 4u);
  EXPECT_EQ(g.layer(2).size(), 2u);
  EXPECT_EQ(g.entryId(), 0u);
  EXPECT_EQ(g.layer(2).idAt(1), 12u);
  EXPECT_EQ(g.layer(1).idAt(1), 5u);
  EXPECT_GT(g.layer(1).links[0].count, 0u);
  EXPECT_GE(g.layer(0).links[1].count, 2u);
  bool full = false;
  for (const NodeLinks& n : g.layer(0).links) full = full || n.count == c_max_edges;
  EXPECT_TRUE(full) << "some node must have 32 neighbours";
  EXPECT_EQ(base_->size(), layout_->end);
  EXPECT_EQ(base_->size() + c_trailer_bytes, imageSize(ix, noLabels(ix)));
}

std::size_t fullNodeSlot(const Index& ix) {
  const Layer& l0 = ix.routing().layer(0);
  for (std::size_t s = 0; s < l0.size(); ++s) {
    if (l0.links[s].count == c_max_edges) return s;
  }
  return 0;
}

TEST_F(Damaged, EveryCheckRefusesItsDamage) {
  const Layout& L = *layout_;
  const std::size_t len = base_->size();
  const std::uint64_t n = base_index_->payloadCount();
  const std::size_t full = fullNodeSlot(*base_index_);
  constexpr std::size_t c_edges = c_node_bytes;  // first neighbour of a record
  constexpr std::size_t c_edge_count = c_node_bytes - 4;

  struct Case {
    const char* name;
    std::function<void(Bytes&)> mutate;
    std::optional<Error> expected;  // nullopt: loads
  };
  const Error corrupt = Error::CorruptIndex;
  const std::vector<Case> cases = {
      {"0 bytes", [](Bytes& b) { truncateAt(b, 0); }, corrupt},
      {"1 byte", [](Bytes& b) { truncateAt(b, 1); }, corrupt},
      {"3 bytes", [](Bytes& b) { truncateAt(b, 3); }, corrupt},
      {"4 bytes of another magic",
       [](Bytes& b) {
         truncateAt(b, 4);
         setByte(b, 3, '4');
       },
       Error::NotATqIndex},
      {"wrong magic", [](Bytes& b) { setByte(b, 0, 'X'); }, Error::NotATqIndex},
      {"wrong dimension, nothing after it",
       [](Bytes& b) {
         patchU32(b, 4, 3071);
         truncateAt(b, 8);
       },
       Error::DimensionMismatch},
      {"ends inside max edges", [](Bytes& b) { truncateAt(b, 10); }, corrupt},
      {"max edges 16", [](Bytes& b) { patchU32(b, 8, 16); }, Error::MaxEdgesMismatch},
      {"routing bits 1024", [](Bytes& b) { patchU32(b, 12, 1024); }, Error::RoutingBitsMismatch},
      {"ends inside the header", [](Bytes& b) { truncateAt(b, 45); }, corrupt},
      {"store kind 3", [](Bytes& b) { setByte(b, 44, 3); }, corrupt},
      {"N above the input's bound", [&](Bytes& b) { patchU64(b, 16, (len - 45) / 8 + 1); },
       corrupt},
      {"N within the bound but past the payloads",
       [&](Bytes& b) { patchU64(b, 16, (len - 45) / 8); }, corrupt},
      {"N of 2^62", [](Bytes& b) { patchU64(b, 16, std::uint64_t{1} << 62); }, corrupt},
      {"entry_id = N", [&](Bytes& b) { patchU64(b, 32, n); }, corrupt},
      {"ends inside the rotation", [](Bytes& b) { truncateAt(b, c_header_bytes + 1000); }, corrupt},
      {"ends inside the payloads", [&](Bytes& b) { truncateAt(b, L.payloads + 1171); }, corrupt},
      {"ends inside the rerank store", [&](Bytes& b) { truncateAt(b, L.store + 100); }, corrupt},
      {"store kind fp32 over sq8 data", [](Bytes& b) { setByte(b, 44, 1); }, corrupt},
      {"33 layers", [](Bytes& b) { patchU32(b, 40, 33); }, corrupt},
      {"2^32 - 1 layers", [](Bytes& b) { patchU32(b, 40, 0xFFFFFFFF); }, corrupt},
      {"layer node count above remaining / 396",
       [&](Bytes& b) { patchU64(b, L.layer[1], (len - L.layer[1] - 8) / 396 + 1); }, corrupt},
      {"layer 0 count differs from N", [&](Bytes& b) { patchU64(b, L.layer[0], n - 1); }, corrupt},
      {"layer 2 larger than layer 1", [&](Bytes& b) { patchU64(b, L.layer[2], 5); }, corrupt},
      {"node id = N", [&](Bytes& b) { patchU64(b, L.node[1][0], n); }, corrupt},
      {"edge_count 33", [&](Bytes& b) { patchU32(b, L.node[0][full] + c_edge_count, 33); },
       corrupt},
      {"edge_count 2^32 - 1",
       [&](Bytes& b) { patchU32(b, L.node[0][1] + c_edge_count, 0xFFFFFFFF); }, corrupt},
      {"neighbour = N", [&](Bytes& b) { patchU64(b, L.node[0][1] + c_edges, n); }, corrupt},
      {"deleted_count above N", [&](Bytes& b) { patchU64(b, L.deletions, n + 1); }, corrupt},
      {"deleted id = N", [&](Bytes& b) { patchU64(b, L.deletions + 8, n); }, corrupt},
      {"label section cut short", [&](Bytes& b) { truncateAt(b, L.end - 1); }, corrupt},
      {"label longer than the rest", [&](Bytes& b) { setByte(b, L.end - 2, 3); }, corrupt},
      // Graph invariants beyond the id bounds.
      {"layer 0 out of id order",
       [&](Bytes& b) {
         patchU64(b, L.node[0][1], 2);
         patchU64(b, L.node[0][2], 1);
       },
       corrupt},
      {"neighbour not in its layer", [&](Bytes& b) { patchU64(b, L.node[1][0] + c_edges, 1); },
       corrupt},
      {"self-loop", [&](Bytes& b) { patchU64(b, L.node[0][1] + c_edges, 1); }, corrupt},
      {"neighbour listed twice",
       [&](Bytes& b) {
         patchU64(b, L.node[0][1] + c_edges + 8, readU64(b, L.node[0][1] + c_edges));
       },
       corrupt},
      {"id twice in one layer", [&](Bytes& b) { patchU64(b, L.node[1][1], 0); }, corrupt},
      {"node of layer 2 missing from layer 1", [&](Bytes& b) { patchU64(b, L.node[2][1], 7); },
       corrupt},
      {"entry_id not in the top layer", [](Bytes& b) { patchU64(b, 32, 5); }, corrupt},
      {"upper-layer code differs from layer 0",
       [&](Bytes& b) { setByte(b, L.node[1][1] + 8, b[L.node[1][1] + 8] ^ 1); }, corrupt},
      {"layers but N = 0 claims nodes", [&](Bytes& b) { patchU64(b, 16, 0); }, corrupt},
      {"two live vectors with one user id",
       [&](Bytes& b) { patchU64(b, L.payloads + c_payload_bytes, c_first_user_id); }, corrupt},
      // Damage that still loads.
      {"unchanged (edge_count 32 included)", [](Bytes&) {}, std::nullopt},
      {"extra trailing bytes", [](Bytes& b) { b.insert(b.end(), 100, 0xAB); }, std::nullopt},
      {"one user id on a live and a deleted vector",
       [&](Bytes& b) { patchU64(b, L.payloads + 7 * c_payload_bytes, c_first_user_id); },
       std::nullopt},
      {"ef_construction 5", [](Bytes& b) { patchU64(b, 24, 5); }, std::nullopt},
      {"any code bits in layer 0", [&](Bytes& b) { setByte(b, L.node[0][3] + 8, 0x5A); },
       std::nullopt},
  };

  const std::set<std::string> via_file = {"ends inside the payloads",
                                          "ends inside the rerank store",
                                          "store kind fp32 over sq8 data",
                                          "layer node count above remaining / 396",
                                          "deleted id = N",
                                          "label section cut short",
                                          "label longer than the rest",
                                          "unchanged (edge_count 32 included)",
                                          "extra trailing bytes"};
  TempDir dir;
  const std::string path = dir.file("damaged.tqx");
  Bytes b;  // reused: a fresh 38 MB copy per row would cost more than the parse
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    b.assign(base_->begin(), base_->end());
    c.mutate(b);
    auto loaded = deserialize(b);
    if (c.expected) {
      EXPECT_EQ(loaded.has_value() ? std::nullopt : std::optional(loaded.error()), c.expected);
    } else {
      ASSERT_TRUE(loaded.has_value()) << static_cast<int>(loaded.error());
      EXPECT_TRUE(loaded->index.routing().checkInvariants());
    }
    // The file reader, through a small window so that records straddle its
    // refills, agrees with the in-memory parse: for every short input and
    // for the rows where the input ends or is read differently from a file.
    if (b.size() >= c_rotation_bytes && !via_file.contains(c.name)) continue;
    writeFile(path, b);
    auto from_file = load(path.c_str(), Reader::c_min_window);
    ASSERT_EQ(from_file.has_value(), loaded.has_value());
    if (!loaded) {
      EXPECT_EQ(from_file.error(), loaded.error());
    } else {
      expectSameIndex(loaded->index, from_file->index);
    }
  }
}

TEST_F(Damaged, AcceptedDamageLoadsAsStated) {
  const Layout& L = *layout_;
  {
    SCOPED_TRACE("ef_construction below 32 comes back as 32");
    Bytes b = *base_;
    patchU64(b, 24, 5);
    auto loaded = deserialize(b);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->index.routing().efConstruction(), 32u);
  }
  {
    SCOPED_TRACE("repeated and unsorted deletion list");
    Bytes b = *base_;
    splice(b, L.deletions, L.labels - L.deletions, u64s({4, 30, 4, 2, 30}));
    auto loaded = deserialize(b);
    ASSERT_TRUE(loaded);
    const Index& ix = loaded->index;
    EXPECT_EQ(ix.liveCount(), ix.payloadCount() - 3);
    EXPECT_EQ(ix.tombstones().size(), ix.payloadCount());
    EXPECT_EQ(ix.tombstones().count(), 3u);
    for (std::uint64_t i : {2, 4, 30}) {
      EXPECT_TRUE(ix.isDeleted(i));
      EXPECT_EQ(ix.internalOf(c_first_user_id + i), nullptr);
    }
    EXPECT_NE(ix.internalOf(c_first_user_id + 7), nullptr);
  }
  {
    SCOPED_TRACE("an empty deletion list leaves the tombstones empty");
    Bytes b = *base_;
    splice(b, L.deletions, L.labels - L.deletions, u64s({0}));
    auto loaded = deserialize(b);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->index.tombstones().size(), 0u);
    EXPECT_EQ(loaded->index.liveCount(), loaded->index.payloadCount());
  }
  {
    SCOPED_TRACE("a deleted vector's user id may repeat a live one");
    Bytes b = *base_;
    patchU64(b, L.payloads + 7 * c_payload_bytes, c_first_user_id);
    auto loaded = deserialize(b);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded->index.internalOf(c_first_user_id), 0u);
  }
}

TEST(AllocationFailure, AnywhereInDeserializeIsOutOfMemory) {
  // Small, but with every kind of allocation: upper layers, deletions,
  // labels.
  Shape shape;
  shape.levels = {0, 0, 1, 0, 2, 0};
  shape.deleted = {c_first_user_id + 1};
  const Index index = buildIndex(shape);
  const Bytes one = {7};
  std::vector<Label> labels(index.payloadCount());
  labels[2] = one;
  const Bytes b = std::move(*serialize(index, labels));
  const long points = failing_allocator::sweep(
      [&] {
        const std::size_t before = heapInUse();
        bool failed_cleanly;
        {
          auto loaded = deserialize(b);
          failed_cleanly = !loaded && loaded.error() == Error::OutOfMemory;
        }
        EXPECT_LE(heapInUse(), before + c_heap_noise) << "a failed load leaves nothing allocated";
        return failed_cleanly;
      },
      [](long n, bool failed_cleanly) { EXPECT_TRUE(failed_cleanly) << "allocation " << n; });
  EXPECT_GT(points, 20);
  auto loaded = deserialize(b);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*serialize(loaded->index, loaded->labels), b);
}

TEST_F(Damaged, AllocationFailureInSerializeAndLoad) {
  const std::vector<Label> labels = noLabels(*base_index_);
  const long serialize_points = failing_allocator::sweep(
      [&] {
        auto bytes = serialize(*base_index_, labels);
        return !bytes && bytes.error() == Error::OutOfMemory;
      },
      [](long n, bool ok) { EXPECT_TRUE(ok) << "allocation " << n; });
  EXPECT_GE(serialize_points, 1);

  // Loading a file adds its reading window to what deserialize allocates;
  // the failure of that, of the first array after it and of a late one.
  TempDir dir;
  const std::string path = dir.file("index.tqx");
  writeFile(path, *base_);
  for (long n : {1, 2, 3, 20}) {
    SCOPED_TRACE(n);
    const std::size_t before = heapInUse();
    bool hit, out_of_memory;
    {
      failing_allocator::failNthAllocation(n);
      auto loaded = load(path.c_str());
      hit = !failing_allocator::armed();
      failing_allocator::disarm();
      out_of_memory = loaded == std::unexpected(Error::OutOfMemory);
    }
    EXPECT_TRUE(hit);
    EXPECT_TRUE(out_of_memory);
    EXPECT_LE(heapInUse(), before + c_heap_noise);
  }
}

// ---------------------------------------------------------------------------
// Round trips

TEST(RoundTrip, KeepsEveryFieldBitForBit) {
  struct Case {
    const char* name;
    Shape shape;
    RerankStore loaded_store;
  };
  Shape fp32 = layeredShape();
  fp32.store = RerankStore::fp32;
  fp32.calibrated = true;
  fp32.ef = 77;
  Shape none = layeredShape();
  none.store = RerankStore::none;
  none.deleted = {};
  Shape incomplete = layeredShape();
  incomplete.complete_store = false;
  Shape tiny;
  tiny.levels = {0, 0, 1};
  tiny.deleted = {c_first_user_id, c_first_user_id + 1, c_first_user_id + 2};
  const std::vector<Case> cases = {
      {"sq8, deletions", layeredShape(), RerankStore::sq8},
      {"fp32, calibrated, ef 77", fp32, RerankStore::fp32},
      {"no store, nothing deleted", none, RerankStore::none},
      {"incomplete sq8 store is dropped", incomplete, RerankStore::none},
      {"everything deleted", tiny, RerankStore::sq8},
      {"empty", Shape{}, RerankStore::sq8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Index original = buildIndex(c.shape);
    // Labels of varied lengths, one empty.
    std::vector<Bytes> label_bytes;
    std::vector<Label> labels;
    for (std::size_t i = 0; i < original.payloadCount(); ++i) {
      label_bytes.emplace_back(i % 5 == 0 ? 0 : 300 * (i % 3) + i, std::uint8_t(i));
    }
    if (!label_bytes.empty()) label_bytes.back().assign(65535, 0xEE);
    for (const Bytes& l : label_bytes) labels.emplace_back(l);

    auto bytes = serialize(original, labels);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), imageSize(original, labels));
    EXPECT_EQ((*bytes)[44], static_cast<std::uint8_t>(c.loaded_store));
    auto loaded = deserialize(*bytes);
    ASSERT_TRUE(loaded) << static_cast<int>(loaded.error());
    const Index& copy = loaded->index;
    expectSameIndex(original, copy);
    EXPECT_EQ(copy.rerankStore(), c.loaded_store);
    EXPECT_TRUE(copy.routing().checkInvariants());
    EXPECT_EQ(copy.routing().levelRngState(), RoutingGraph::init(0).levelRngState());
    EXPECT_EQ(copy.routing().buildScratch().visitedBits(), 0u);
    ASSERT_EQ(loaded->labels.size(), labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
      EXPECT_TRUE(std::ranges::equal(loaded->labels[i], labels[i])) << i;
    }
    auto again = serialize(copy, labels);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *bytes);
  }
}

// What Index::init(32, seed) builds, with the shared matrix.
Index freshIndex() {
  IndexParts parts;
  parts.rotation = std::move(*RandomRotation::fromRows(byteTestRotation().rows().data()));
  parts.routing = RoutingGraph::init(32);
  parts.rerank_store = RerankStore::sq8;
  return std::move(*Index::assemble(std::move(parts)));
}

const Bytes c_new_index_header = {
    0x54, 0x51, 0x58, 0x35, 0x00, 0x0C, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00,
    0,    0,    0,    0,    0,    0,    0,    0,    0x20, 0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x00};

TEST(RoundTrip, NewIndexHeaderAndSize) {
  const Bytes bytes = image(freshIndex());
  EXPECT_EQ(bytes.size(), 37'748'790u);
  EXPECT_EQ(file(freshIndex()).size(), 37'748'790u + c_trailer_bytes);
  ASSERT_EQ(c_new_index_header.size(), c_header_bytes);
  EXPECT_TRUE(std::equal(c_new_index_header.begin(), c_new_index_header.end(), bytes.begin()));

  // Loads back empty with any entry_id.
  Bytes other_entry = bytes;
  patchU64(other_entry, 32, 0xDEADBEEF);
  for (const Bytes* b : std::initializer_list<const Bytes*>{&bytes, &other_entry}) {
    auto loaded = deserialize(*b);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->index.payloadCount(), 0u);
    EXPECT_EQ(loaded->index.routing().layerCount(), 0u);
    EXPECT_EQ(loaded->index.routing().efConstruction(), 32u);
    EXPECT_TRUE(loaded->labels.empty());
  }
}

TEST(RoundTrip, EmptyLayersOfAnEmptyGraphLoadAndAcceptInsertions) {
  Shape empty;
  Bytes b = image(buildIndex(empty));
  patchU32(b, 40, 3);
  const Bytes blocks = u64s({0, 0, 0});
  b.insert(b.end() - 8, blocks.begin(), blocks.end());  // before the deletion count
  auto loaded = deserialize(b);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->index.routing().layerCount(), 3u);
  const auto data = testdata::clustered(1, 4, 0);
  EXPECT_TRUE(loaded->index.add(5, {data.data(), c_dim}));
  EXPECT_TRUE(loaded->index.routing().checkInvariants());
  EXPECT_EQ(image(loaded->index).size(),
            b.size() + c_payload_bytes + c_sq8_record_bytes + 3 * c_node_bytes + 2);
}

TEST(RoundTrip, StreamingSaveAndLoadMatchTheImage) {
  const Index index = buildIndex(layeredShape());
  const Bytes bytes = file(index);
  TempDir dir;
  const std::string path = dir.file("index.tqx");
  ASSERT_TRUE(save(index, path.c_str()));
  EXPECT_EQ(readFile(path), bytes);
  for (std::size_t window :
       {Reader::c_min_window, std::size_t{5000}, c_load_window, std::size_t{1} << 26}) {
    SCOPED_TRACE(window);
    auto loaded = load(path.c_str(), window);
    ASSERT_TRUE(loaded);
    expectSameIndex(index, loaded->index);
    EXPECT_EQ(loaded->labels.size(), index.payloadCount());
  }
}

TEST(RoundTrip, LoadRefusesWhatIsNoIndexFile) {
  TempDir dir;
  EXPECT_EQ(load(dir.file("missing").c_str()), std::unexpected(Error::Unexpected));
  EXPECT_EQ(load(dir.path().c_str()), std::unexpected(Error::Unexpected)) << "a directory";
  writeFile(dir.file("empty"), {});
  EXPECT_EQ(load(dir.file("empty").c_str()), std::unexpected(Error::CorruptIndex));
  writeFile(dir.file("short"), {'T', 'Q', 'X'});
  EXPECT_EQ(load(dir.file("short").c_str()), std::unexpected(Error::CorruptIndex));
  writeFile(dir.file("other"), {'P', 'K', 3, 4, 0, 0});
  EXPECT_EQ(load(dir.file("other").c_str()), std::unexpected(Error::NotATqIndex));
}

// ---------------------------------------------------------------------------
// Saving: failures never lose the previous file.

// File operations that fail or dribble on demand.
struct FaultyOps {
  static inline int write_calls = 0;
  static inline int fail_write_at = -1;  // call number that fails with EIO
  static inline bool fail_fsync = false;
  static inline bool dribble = false;  // short writes and EINTR

  static void reset() {
    write_calls = 0;
    fail_write_at = -1;
    fail_fsync = false;
    dribble = false;
  }
  static long write(int fd, const void* data, std::size_t len) noexcept {
    const int call = write_calls++;
    if (call == fail_write_at) {
      errno = EIO;
      return -1;
    }
    if (dribble) {
      if (call % 3 == 1) {
        errno = EINTR;
        return -1;
      }
      len = std::min<std::size_t>(len, 65536 + 7);
    }
    return ::write(fd, data, len);
  }
  static int fsync(int fd) noexcept {
    if (fail_fsync) {
      errno = EIO;
      return -1;
    }
    return ::fsync(fd);
  }
  static constexpr FileOps ops{write, fsync};
};

TEST(Save, FailuresLeaveThePreviousFileAndNoTemporary) {
  const Index big = buildIndex(layeredShape());
  Shape small_shape;
  small_shape.levels = {0, 0};
  const Index small = buildIndex(small_shape);
  const Bytes big_image = file(big);
  const Bytes small_image = file(small);

  TempDir dir;
  const std::string path = dir.file("index.tqx");
  ASSERT_TRUE(save(big, path.c_str()));
  const std::vector<std::string> only_index = {"index.tqx"};

  // How many writes a save of `small` issues.
  FaultyOps::reset();
  ASSERT_TRUE(save(small, dir.file("count.tqx").c_str(), FaultyOps::ops));
  ASSERT_EQ(std::remove(dir.file("count.tqx").c_str()), 0);
  const int writes = FaultyOps::write_calls;
  ASSERT_GE(writes, 2);

  struct Case {
    const char* name;
    std::function<void()> arm;
  };
  const std::vector<Case> cases = {
      {"first write fails", [] { FaultyOps::fail_write_at = 0; }},
      {"last write fails", [&] { FaultyOps::fail_write_at = writes - 1; }},
      {"fsync fails", [] { FaultyOps::fail_fsync = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyOps::reset();
    c.arm();
    EXPECT_EQ(save(small, path.c_str(), FaultyOps::ops), std::unexpected(Error::Unexpected));
    EXPECT_EQ(readFile(path), big_image);
    EXPECT_EQ(dir.entries(), only_index);
  }

  {
    SCOPED_TRACE("allocation failure before the file is touched");
    const long points = failing_allocator::sweep(
        [&] { return save(small, path.c_str()) == std::unexpected(Error::OutOfMemory); },
        [&](long n, bool oom) {
          EXPECT_TRUE(oom) << n;
          EXPECT_EQ(readFile(path), big_image);
          EXPECT_EQ(dir.entries(), only_index);
        });
    EXPECT_GE(points, 3);
  }

  {
    SCOPED_TRACE("short writes and interruptions still write every byte");
    FaultyOps::reset();
    FaultyOps::dribble = true;
    ASSERT_TRUE(save(big, path.c_str(), FaultyOps::ops));
    EXPECT_GT(FaultyOps::write_calls, 100);
    EXPECT_EQ(readFile(path), big_image);
    FaultyOps::reset();
  }

  {
    SCOPED_TRACE("a smaller index over a larger file leaves no trailing bytes");
    ASSERT_TRUE(save(small, path.c_str()));
    EXPECT_EQ(readFile(path), small_image);
    EXPECT_EQ(dir.entries(), only_index);
  }

  {
    SCOPED_TRACE("paths that cannot be written");
    const std::string missing = dir.file("no/such/dir/index.tqx");
    const std::string under_file = path + "/index.tqx";
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(dir.file("sub/occupied").c_str(), 0777), 0);
    writeFile(dir.file("sub/occupied/x"), {1});
    for (const std::string& bad : {missing, under_file, dir.file("sub/occupied"), std::string()}) {
      SCOPED_TRACE(bad);
      EXPECT_EQ(save(small, bad.c_str()), std::unexpected(Error::Unexpected));
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"index.tqx", "sub"}));
    EXPECT_EQ(std::filesystem::directory_iterator(dir.file("sub"))->path().filename(), "occupied");
    EXPECT_EQ(readFile(path), small_image);
  }
}

TEST(Save, NewFileModeIs0666LessTheUmask) {
  const Index index = buildIndex(Shape{});
  TempDir dir;
  for (mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
    SCOPED_TRACE(mask);
    const mode_t old = ::umask(mask);
    const std::string path = dir.file("mode-" + std::to_string(mask));
    const Status s = save(index, path.c_str());
    ::umask(old);
    ASSERT_TRUE(s);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode_t(0666 & ~mask));
  }
}

// ---------------------------------------------------------------------------
// Hostile paths: only regular files are read, only regular files replaced.

// Runs `body` in a child process that is killed after `seconds`: true when
// it returned true in time. A call that blocks or reads without end fails
// here instead of hanging the suite.
bool finishesWithin(unsigned seconds, const std::function<bool()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(seconds);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool refusedAsNotRegular(const std::string& path) {
  FailureInfo why;
  const auto loaded = load(path.c_str(), c_load_window, &why);
  return !loaded && loaded.error() == Error::Unexpected && why.what != nullptr &&
         std::strcmp(why.what, "is not a regular file") == 0;
}

TEST(Files, LoadReadsNothingButRegularFiles) {
  TempDir dir;
  const Bytes bytes = file(buildIndex(Shape{}));
  {
    SCOPED_TRACE("a pipe holding an image's first bytes is refused unread");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    ASSERT_EQ(::write(fds[1], bytes.data(), 1000), 1000);
    EXPECT_TRUE(refusedAsNotRegular("/proc/self/fd/" + std::to_string(fds[0])));
    std::uint8_t back[2000];
    EXPECT_EQ(::read(fds[0], back, sizeof back), 1000) << "the loader read from the pipe";
    ::close(fds[0]);
    ::close(fds[1]);
  }
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(finishesWithin(10, [&] { return refusedAsNotRegular(fifo); }))
      << "a FIFO without a writer";
  {
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // a writer that stays idle
    ASSERT_GE(writer, 0);
    EXPECT_TRUE(finishesWithin(10, [&] { return refusedAsNotRegular(fifo); }))
        << "a FIFO with an idle writer";
    ::close(writer);
  }
  EXPECT_TRUE(finishesWithin(10, [] { return refusedAsNotRegular("/dev/zero"); }))
      << "a device that never ends";
  EXPECT_TRUE(refusedAsNotRegular(dir.path())) << "a directory";

  FailureInfo why;
  EXPECT_EQ(load(dir.file("missing").c_str(), c_load_window, &why),
            std::unexpected(Error::Unexpected));
  EXPECT_STREQ(why.what, "cannot open");
  EXPECT_EQ(why.sys_error, ENOENT);
}

TEST(Files, SaveNeverReplacesWhatIsNotARegularFile) {
  const Index index = buildIndex(Shape{});
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0700), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = dir.file("socket");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::symlink("fifo", dir.file("link-to-fifo").c_str()), 0);

  const std::vector<std::string> before = dir.entries();
  for (const char* name : {"fifo", "directory", "socket", "link-to-fifo"}) {
    SCOPED_TRACE(name);
    FailureInfo why;
    EXPECT_EQ(save(index, dir.file(name).c_str(), systemFileOps(), &why),
              std::unexpected(Error::Unexpected));
    EXPECT_STREQ(why.what, "exists and is not a regular file");
  }
  EXPECT_EQ(dir.entries(), before) << "nothing replaced, no temporary file left";
  struct stat st;
  ASSERT_EQ(::lstat(dir.file("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(::lstat(dir.file("socket").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  ::close(sock);
}

TEST(Files, SaveFollowsSymbolicLinksToTheFileTheyName) {
  const Index index = buildIndex(Shape{});
  const Bytes bytes = file(index);
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("data").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(dir.file("links").c_str(), 0700), 0);
  writeFile(dir.file("data/real.tqx"), {1, 2, 3});
  ASSERT_EQ(::symlink("../data/real.tqx", dir.file("links/relative").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("links/relative").c_str(), dir.file("links/chain").c_str()), 0);
  ASSERT_EQ(::symlink("../data/new.tqx", dir.file("links/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop-b", dir.file("links/loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", dir.file("links/loop-b").c_str()), 0);

  for (const char* link : {"links/relative", "links/chain"}) {
    SCOPED_TRACE(link);
    writeFile(dir.file("data/real.tqx"), {1, 2, 3});
    ASSERT_TRUE(save(index, dir.file(link).c_str()));
    EXPECT_EQ(readFile(dir.file("data/real.tqx")), bytes) << "the named file is replaced";
    struct stat st;
    ASSERT_EQ(::lstat(dir.file(link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
  }
  ASSERT_TRUE(save(index, dir.file("links/dangling").c_str()));
  EXPECT_EQ(readFile(dir.file("data/new.tqx")), bytes) << "a dangling link's file is created";
  FailureInfo why;
  EXPECT_EQ(save(index, dir.file("links/loop-a").c_str(), systemFileOps(), &why),
            std::unexpected(Error::Unexpected));
  EXPECT_EQ(why.sys_error, ELOOP);
  EXPECT_EQ(testsupport::TempDir::entriesOf(dir.file("data")),
            (std::vector<std::string>{"new.tqx", "real.tqx"}))
      << "no temporary file left beside the target";
  EXPECT_EQ(testsupport::TempDir::entriesOf(dir.file("links")),
            (std::vector<std::string>{"chain", "dangling", "loop-a", "loop-b", "relative"}));
}

TEST(Files, SaveKeepsThePermissionBitsOfTheFileItReplaces) {
  const Index index = buildIndex(Shape{});
  TempDir dir;
  const std::string path = dir.file("index.tqx");
  const mode_t old_mask = ::umask(022);
  for (mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0444}, mode_t{0666}}) {
    SCOPED_TRACE(mode);
    writeFile(path, {1});
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(save(index, path.c_str()));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
  ::umask(old_mask);
}

// Writes that look at the directory while the file is being written.
struct WatchingOps {
  static inline std::string dir;
  static inline std::vector<std::string> seen;
  static long write(int fd, const void* data, std::size_t len) noexcept {
    if (seen.empty()) seen = testsupport::TempDir::entriesOf(dir);
    return ::write(fd, data, len);
  }
  static int fsync(int fd) noexcept { return ::fsync(fd); }
  static constexpr FileOps ops{write, fsync};
};

// Writes that kill the process in the middle of the file.
struct KillingOps {
  static inline int calls = 0;
  static long write(int fd, const void* data, std::size_t len) noexcept {
    if (++calls == 3) ::raise(SIGKILL);
    return ::write(fd, data, len);
  }
  static int fsync(int fd) noexcept { return ::fsync(fd); }
  static constexpr FileOps ops{write, fsync};
};

TEST(Files, AnUnfinishedSaveLeavesNothingBehindEvenWhenKilled) {
  const Index index = buildIndex(layeredShape());
  TempDir dir;
  const std::string path = dir.file("index.tqx");
  writeFile(path, {9, 9, 9});
  auto probe = ReplacementFile::create(path.c_str());
  ASSERT_TRUE(probe);
  if (!probe->isUnnamed()) GTEST_SKIP() << "this file system has no unnamed files (O_TMPFILE)";

  WatchingOps::dir = dir.path();
  WatchingOps::seen.clear();
  ASSERT_TRUE(save(index, path.c_str(), WatchingOps::ops));
  EXPECT_EQ(WatchingOps::seen, std::vector<std::string>{"index.tqx"})
      << "the new file is not visible while it is written";

  writeFile(path, {9, 9, 9});
  EXPECT_FALSE(finishesWithin(60, [&] { return save(index, path.c_str(), KillingOps::ops).has_value(); }));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"index.tqx"}) << "a killed save left a file";
  EXPECT_EQ(readFile(path), (Bytes{9, 9, 9}));
}

// ---------------------------------------------------------------------------
// The checksum trailer.

TEST(Checksum, TheTrailerCoversEveryByteBeforeIt) {
  const Index index = buildIndex(layeredShape());
  const Bytes b = file(index);
  ASSERT_GT(b.size(), c_trailer_bytes);
  const std::size_t at = b.size() - c_trailer_bytes;
  EXPECT_TRUE(std::equal(trailer_magic.begin(), trailer_magic.end(), b.begin() + at));
  EXPECT_EQ(loadLe<std::uint32_t>(&b[at + 4]), 1u);
  EXPECT_EQ(loadLe<std::uint64_t>(&b[at + 8]), at);
  EXPECT_EQ(loadLe<std::uint64_t>(&b[at + 16]), Checksum::of(std::span(b).first(at)));

  TempDir dir;
  writeFile(dir.file("with"), b);
  writeFile(dir.file("without"), image(index));
  for (const auto& [name, verified] : {std::pair{"with", true}, std::pair{"without", false}}) {
    SCOPED_TRACE(name);
    auto loaded = load(dir.file(name).c_str(), Reader::c_min_window);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->checksum_verified, verified);
    expectSameIndex(index, loaded->index);
    auto parsed = deserialize(readFile(dir.file(name)));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->checksum_verified, verified);
  }
}

TEST_F(Damaged, AFlippedBitAnywhereIsRefused) {
  const Layout& L = *layout_;
  const std::size_t end = base_->size();  // the trailer's offset
  const Bytes b = file(*base_index_);
  struct Case {
    const char* name;
    std::size_t offset;
  };
  const Case cases[] = {
      {"a header field (ef_construction)", 24},
      {"the rotation", c_header_bytes + 123457},
      {"a payload code", L.payloads + 2 * c_payload_bytes + 100},
      {"a user id", L.payloads + 8 * c_payload_bytes + 2},
      {"the 8-bit store", L.store + 5000},
      {"a layer-0 code", L.node[0][3] + 8 + 40},
      {"a deletion", L.deletions + 8},
      {"a label length", end - 2},
      {"the checksum itself", end + 16},
  };
  TempDir dir;
  const std::string path = dir.file("flipped.tqx");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes flipped = b;
    flipped[c.offset] ^= 0x10;
    FailureInfo why;
    EXPECT_EQ(deserialize(flipped, &why), std::unexpected(Error::CorruptIndex));
    EXPECT_STREQ(why.what, "checksum mismatch");
    writeFile(path, flipped);
    EXPECT_EQ(load(path.c_str(), Reader::c_min_window), std::unexpected(Error::CorruptIndex));
  }
  {
    SCOPED_TRACE("a trailer of another version");
    Bytes other = b;
    patchU32(other, end + 4, 2);
    EXPECT_EQ(deserialize(other), std::unexpected(Error::CorruptIndex));
  }
}

// ---------------------------------------------------------------------------
// Through the C interface, with an index built by insertion.

class CApi : public ::testing::Test {
 protected:
  static constexpr std::size_t c_count = 300;
  static void SetUpTestSuite() {
    data_ = new std::vector<float>(testdata::clustered(c_count + 8, 21, 0));
    handle_ = korvane_index_create(40, 7);
    ASSERT_NE(handle_, nullptr);
    for (std::uint64_t i = 0; i < c_count; ++i) {
      ASSERT_EQ(korvane_index_add(handle_, 500 + i, data_->data() + i * c_dim), 0);
    }
    ASSERT_EQ(korvane_index_remove(handle_, 500 + 3), 0);
    ASSERT_EQ(korvane_index_remove(handle_, 500 + 200), 0);
  }
  static void TearDownTestSuite() {
    korvane_index_destroy(handle_);
    delete data_;
  }

  static std::vector<std::pair<std::uint64_t, float>> query(const korvane_index* h, std::size_t q) {
    korvane_context* ctx = korvane_context_create(h, 64);
    EXPECT_NE(ctx, nullptr);
    std::uint64_t ids[10];
    float scores[10];
    const std::size_t got = korvane_search(h, ctx, data_->data() + q * c_dim, 10, ids, scores);
    korvane_context_destroy(ctx);
    std::vector<std::pair<std::uint64_t, float>> out;
    for (std::size_t i = 0; i < got; ++i) out.emplace_back(ids[i], scores[i]);
    return out;
  }

  static korvane_index* handle_;
  static std::vector<float>* data_;
};
korvane_index* CApi::handle_ = nullptr;
std::vector<float>* CApi::data_ = nullptr;

TEST_F(CApi, SaveLoadSaveGivesIdenticalFilesAndAnswers) {
  TempDir dir;
  const std::string first = dir.file("first.tqx");
  const std::string second = dir.file("second.tqx");
  ASSERT_EQ(korvane_index_save(handle_, first.c_str()), 0);
  korvane_index* loaded = korvane_index_load(first.c_str());
  ASSERT_NE(loaded, nullptr);
  ASSERT_EQ(korvane_index_save(loaded, second.c_str()), 0);
  const Bytes a = readFile(first);
  EXPECT_EQ(a, readFile(second));
  const auto labels_end = a.end() - c_trailer_bytes;
  EXPECT_TRUE(std::all_of(labels_end - 2 * c_count, labels_end, [](std::uint8_t x) { return x == 0; }))
      << "empty labels";
  EXPECT_EQ(korvane_index_len(loaded), c_count - 2);

  for (std::size_t q : {0, 3, 17, 150, 299, 301, 305}) {
    SCOPED_TRACE(q);
    const auto expected = query(handle_, q);
    EXPECT_EQ(query(loaded, q), expected);
    EXPECT_FALSE(expected.empty());
  }

  // A deleted id can come back; new vectors continue the internal numbering.
  EXPECT_EQ(korvane_index_add(loaded, 500 + 3, data_->data() + 3 * c_dim), 0);
  EXPECT_EQ(korvane_index_add(loaded, 500 + 4, data_->data() + 4 * c_dim), -2);
  EXPECT_EQ(loaded->index.payloadCount(), c_count + 1);
  EXPECT_EQ(*loaded->index.internalOf(500 + 3), c_count);
  EXPECT_EQ(korvane_index_len(loaded), c_count - 1);
  EXPECT_TRUE(loaded->index.routing().checkInvariants());
  korvane_index_destroy(loaded);
}

TEST_F(CApi, FailedSaveLeavesTheHandleUsable) {
  TempDir dir;
  const std::size_t before = korvane_index_len(handle_);
  EXPECT_EQ(korvane_index_save(handle_, dir.file("missing/index.tqx").c_str()), -1);
  EXPECT_EQ(korvane_index_save(handle_, nullptr), -1);
  EXPECT_EQ(korvane_index_save(nullptr, dir.file("x").c_str()), -1);
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_EQ(korvane_index_len(handle_), before);
  EXPECT_FALSE(query(handle_, 1).empty());
  EXPECT_EQ(korvane_index_save(handle_, dir.file("index.tqx").c_str()), 0);
  EXPECT_EQ(readFile(dir.file("index.tqx")), file(handle_->index));
}

TEST_F(CApi, LoadReturnsNullOnEveryFailure) {
  TempDir dir;
  EXPECT_EQ(korvane_index_load(nullptr), nullptr);
  EXPECT_EQ(korvane_index_load(dir.file("missing").c_str()), nullptr);
  writeFile(dir.file("empty"), {});
  EXPECT_EQ(korvane_index_load(dir.file("empty").c_str()), nullptr);
  writeFile(dir.file("three"), {'T', 'Q', 'X'});
  EXPECT_EQ(korvane_index_load(dir.file("three").c_str()), nullptr);
  writeFile(dir.file("magic"), {'T', 'Q', 'X', '4', 0, 12, 0, 0});
  EXPECT_EQ(korvane_index_load(dir.file("magic").c_str()), nullptr);
  Bytes cut = image(handle_->index);
  cut.pop_back();
  writeFile(dir.file("cut"), cut);
  EXPECT_EQ(korvane_index_load(dir.file("cut").c_str()), nullptr) << "label section cut short";
}

TEST(CApiNew, SavedNewIndexHasTheFixedSizeAndLoadsEmpty) {
  // A handle that holds a new index, without drawing another matrix: load
  // one saved from parts.
  TempDir dir;
  const std::string made = dir.file("made.tqx");
  Index fresh = freshIndex();
  ASSERT_TRUE(save(fresh, made.c_str()));
  korvane_index* h = korvane_index_load(made.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(korvane_index_len(h), 0u);

  const std::string path = dir.file("new.tqx");
  ASSERT_EQ(korvane_index_save(h, path.c_str()), 0);
  const Bytes bytes = readFile(path);
  EXPECT_EQ(bytes.size(), 37'748'790u + c_trailer_bytes);
  EXPECT_TRUE(std::equal(c_new_index_header.begin(), c_new_index_header.end(), bytes.begin()));

  // It accepts insertions, and from the same state as a new index: the same
  // rotation and the level sequence from its start give the same image.
  const auto data = testdata::clustered(3, 8, 0);
  for (std::uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(korvane_index_add(h, i, data.data() + i * c_dim), 0);
    ASSERT_TRUE(fresh.add(i, {data.data() + i * c_dim, c_dim}));
  }
  EXPECT_EQ(korvane_index_len(h), 3u);
  EXPECT_EQ(image(h->index), image(fresh));
  korvane_index_destroy(h);
}

}  // namespace
}  // namespace korvane
