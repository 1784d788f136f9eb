// Fuzz target for the C interface: an input is a short program of calls on
// one small index — insertions (one at a time and in batches, with vectors
// whose components the input may set bit for bit), removals, plain, filtered
// and batched searches with small k, m and thread counts, save and load —
// and a model beside it (the set of live ids) says what every call must do.
//
// Properties: no crash and no sanitizer report; every result code is the
// one the model predicts; the live count equals the model's; results hold
// only live ids (filtered ones only listed ids, never more often than
// listed), no more than k, m and the live count allow, in descending score
// with NaN scores after every number; the graph invariants hold after every
// change; a loaded index has the saved one's live ids.
//
// The index is made once per process (drawing the rotation costs a second)
// and every input starts from an empty index with a copy of that rotation.
//
// Fuzzing (clang 16 with libFuzzer; opt-in: `make fuzz`, the fuzz preset):
//   make fuzz && cd build-fuzz/tests/fuzz
//   ./api_fuzz -max_len=512 -timeout=60 -max_total_time=600
//       corpus-api ../../../tests/fuzz/corpus/api
// (one command line). The saved corpus is replayed without libFuzzer by
// api_fuzz_replay (CTest).
//
// Input layout: a sequence of operations, each an opcode byte followed by
// its arguments; anything missing at the end reads as zero bytes. A vector
// is 2 bytes (pool vector, form) plus, for some forms, 2 bytes of position
// and 4 bytes of IEEE-754 bits.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "c_api.h"
#include "support/test_data.h"

namespace {

using korvane::c_dim;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "api_fuzz: property violated: %s\n", what);
  std::abort();
}
void require(bool cond, const char* what) {
  if (!cond) fail(what);
}

constexpr std::size_t c_max_ops = 24;
constexpr std::size_t c_max_vectors = 40;  // inserted per input, successful or not
constexpr std::size_t c_pool = 32;

// Ids come from a small set, so that duplicates, removals of absent ids and
// re-insertions are common; it includes both ends of the range.
constexpr std::uint64_t c_ids[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                     ~std::uint64_t{0}, ~std::uint64_t{0} - 1,
                                     std::uint64_t{1} << 63, 0x9e3779b97f4a7c15};
constexpr std::size_t c_ks[8] = {0, 1, 2, 5, 10, 40, 256, SIZE_MAX};
constexpr std::size_t c_ms[8] = {1, 2, 4, 8, 16, 32, 64, 300};
constexpr float c_factors[8] = {0.0f, 1e-30f, 1e-3f, -1.0f, 2.0f, 1e3f, 1e30f, 3e38f};

struct Process {
  korvane_index* handle = nullptr;
  korvane::Buffer<float> rows;  // the rotation every input starts with
  std::vector<float> pool;
  std::filesystem::path dir_base;  // where save-and-load makes its directory

  Process() {
    korvane_index* made = korvane_index_create(32, 1);
    if (made == nullptr) fail("create");
    auto copy = korvane::Buffer<float>::make(c_dim * c_dim);
    if (!copy) fail("rotation copy");
    rows = std::move(*copy);
    std::memcpy(rows.data(), made->index.rotation().rows().data(), c_dim * c_dim * sizeof(float));
    handle = made;
    pool = testdata::clustered(c_pool, 3, 0, 4);
    dir_base = std::filesystem::temp_directory_path();
    if (access("/dev/shm", W_OK) == 0) dir_base = "/dev/shm";
  }
  ~Process() { korvane_index_destroy(handle); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  static Process& process() {
    static Process p;
    return p;
  }

  // An empty index with the process's rotation, as korvane_index_create
  // makes it (sq8 store, build breadth 32).
  void reset() {
    korvane::IndexParts parts;
    auto rotation = korvane::RandomRotation::fromRows(rows.data());
    if (!rotation) fail("rotation");
    parts.rotation = std::move(*rotation);
    parts.routing = korvane::RoutingGraph::init(32);
    parts.rerank_store = korvane::RerankStore::sq8;
    auto index = korvane::Index::assemble(std::move(parts));
    if (!index) fail("assemble");
    handle->index = std::move(*index);
  }
};

class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
  std::uint32_t u32() { return std::uint32_t{u16()} | std::uint32_t{u16()} << 16; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Reads one vector: a pool vector, then by form: as it is; scaled; one
// component given bit for bit (NaN, infinities, subnormals, anything); every
// component the same given value.
void readVector(Cursor& in, const std::vector<float>& pool, float* out) {
  const std::size_t base = in.u8() % c_pool;
  const std::uint8_t form = in.u8();
  std::copy_n(pool.data() + base * c_dim, c_dim, out);
  switch (form % 8) {
    case 4:
      for (std::size_t j = 0; j < c_dim; ++j) out[j] *= c_factors[(form >> 3) % 8];
      break;
    case 5: {
      const std::size_t at = in.u16() % c_dim;
      const std::uint32_t bits = in.u32();
      std::memcpy(&out[at], &bits, sizeof bits);
      break;
    }
    case 6: {
      const std::uint32_t bits = in.u32();
      float v;
      std::memcpy(&v, &bits, sizeof v);
      std::fill_n(out, c_dim, v);
      break;
    }
    default:
      break;
  }
}

struct Model {
  std::set<std::uint64_t> live;
};

void checkState(const korvane_index* h, const Model& model, bool changed) {
  require(korvane_index_len(h) == model.live.size(), "live count");
  for (std::uint64_t id : c_ids) {
    require((h->index.internalOf(id) != nullptr) == (model.live.count(id) != 0), "id map");
  }
  if (changed) require(h->index.routing().checkInvariants().has_value(), "graph invariants");
}

void checkResults(const Model& model, const std::uint64_t* ids, const float* scores,
                  std::size_t count, std::size_t cap, const std::vector<std::uint64_t>* allowed) {
  require(count <= cap, "too many results");
  std::map<std::uint64_t, std::size_t> seen;
  for (std::size_t i = 0; i < count; ++i) {
    require(model.live.count(ids[i]) != 0, "a result that is not live");
    const std::size_t times = ++seen[ids[i]];
    if (allowed == nullptr) {
      require(times == 1, "an id returned twice");
    } else {
      require(times <= std::size_t(std::count(allowed->begin(), allowed->end(), ids[i])),
              "an id returned more often than listed");
    }
  }
  for (std::size_t i = 1; i < count; ++i) {
    require(!(scores[i - 1] < scores[i]), "order");
    require(!(std::isnan(scores[i - 1]) && !std::isnan(scores[i])), "a NaN before a number");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Process& p = Process::process();
  p.reset();
  korvane_index* h = p.handle;
  Model model;
  Cursor in(data, size);
  korvane_context* kept = nullptr;  // made once, used while the index grows
  std::size_t vectors = 0;
  std::vector<float> buf(8 * c_dim);
  std::uint64_t out_ids[300 * 4];
  float out_scores[300 * 4];

  for (std::size_t op = 0; op < c_max_ops && !in.done(); ++op) {
    const std::uint8_t code = in.u8();
    switch (code % 8) {
      case 0:
      case 1: {  // add
        if (vectors >= c_max_vectors) break;
        ++vectors;
        const std::uint64_t id = c_ids[in.u8() % 16];
        readVector(in, p.pool, buf.data());
        const int want = model.live.count(id) ? -2 : 0;
        require(korvane_index_add(h, id, buf.data()) == want, "add code");
        model.live.insert(id);
        checkState(h, model, true);
        break;
      }
      case 2: {  // add_batch
        const std::size_t n = in.u8() % 9;
        const std::size_t threads = in.u8() % 4;
        if (vectors + n > c_max_vectors) break;
        vectors += n;
        std::vector<std::uint64_t> ids(n);
        std::set<std::uint64_t> distinct;
        int want = 0;
        for (std::size_t i = 0; i < n; ++i) {
          ids[i] = c_ids[in.u8() % 16];
          if (model.live.count(ids[i]) || !distinct.insert(ids[i]).second) want = -2;
          readVector(in, p.pool, buf.data() + i * c_dim);
        }
        require(korvane_index_add_batch(h, ids.data(), buf.data(), n, threads) == want,
                "add_batch code");
        if (want == 0) model.live.insert(ids.begin(), ids.end());
        checkState(h, model, true);
        break;
      }
      case 3: {  // remove
        const std::uint64_t id = c_ids[in.u8() % 16];
        const int want = model.live.count(id) ? 0 : -1;
        require(korvane_index_remove(h, id) == want, "remove code");
        model.live.erase(id);
        checkState(h, model, true);
        break;
      }
      case 4: {  // search, with the kept context or a fresh one
        const std::uint8_t args = in.u8();
        const std::size_t k = c_ks[args % 8];
        const std::size_t m = c_ms[(args >> 3) % 8];
        readVector(in, p.pool, buf.data());
        korvane_context* ctx = nullptr;
        if (args & 0x40) {
          if (kept == nullptr) kept = korvane_context_create(h, 16);
          ctx = kept;
        } else {
          ctx = korvane_context_create(h, m);
        }
        require(ctx != nullptr, "context");
        const std::size_t cap = std::min({k, std::size_t{256}, ctx == kept ? std::size_t{16} : m,
                                          model.live.size()});
        const std::size_t count = korvane_search(h, ctx, buf.data(), k, out_ids, out_scores);
        checkResults(model, out_ids, out_scores, count, cap, nullptr);
        if (ctx != kept) korvane_context_destroy(ctx);
        break;
      }
      case 5: {  // filtered search
        const std::size_t k = c_ks[in.u8() % 8];
        const std::size_t n = in.u8() % 12;
        std::vector<std::uint64_t> allowed(n);
        for (std::uint64_t& id : allowed) id = c_ids[in.u8() % 16];
        readVector(in, p.pool, buf.data());
        if (kept == nullptr) kept = korvane_context_create(h, 16);
        require(kept != nullptr, "context");
        const std::size_t count = korvane_search_filtered(h, kept, buf.data(), allowed.data(),
                                                          allowed.size(), k, out_ids, out_scores);
        const auto live_entries = std::size_t(std::count_if(
            allowed.begin(), allowed.end(), [&](std::uint64_t id) { return model.live.count(id); }));
        // Every live entry is scored; only those that score NaN (vectors or
        // queries with infinite components) are left out.
        require(count <= std::min({k, std::size_t{256}, live_entries}), "filtered count");
        checkResults(model, out_ids, out_scores, count, count, &allowed);
        break;
      }
      case 6: {  // batch search
        const std::uint8_t args = in.u8();
        const std::size_t n = args % 5;
        const std::size_t ks[4] = {0, 1, 10, 300};
        const std::size_t k = ks[(args >> 3) % 4];
        const std::size_t m = (args & 0x20) ? 0 : c_ms[in.u8() % 8];
        const std::size_t threads = (args >> 6) % 4;
        for (std::size_t i = 0; i < n; ++i) readVector(in, p.pool, buf.data() + i * c_dim);
        std::size_t counts[4] = {0, 0, 0, 0};
        require(korvane_search_batch(h, buf.data(), n, k, m, threads, out_ids, out_scores,
                                     counts) == 0,
                "search_batch code");
        for (std::size_t q = 0; q < n; ++q) {
          checkResults(model, out_ids + k * q, out_scores + k * q, counts[q],
                       std::min({k, m, model.live.size()}), nullptr);
        }
        break;
      }
      case 7: {  // save and load; the kept context goes on with the loaded index
        // A directory of its own for each round trip: libFuzzer ends the
        // process without running destructors, so nothing may outlive this.
        std::string dir = (p.dir_base / "korvane_api_fuzz_XXXXXX").string();
        require(mkdtemp(dir.data()) != nullptr, "temporary directory");
        const std::string file = dir + "/index.tqx";
        require(korvane_index_save(h, file.c_str()) == 0, "save");
        korvane_index* loaded = korvane_index_load(file.c_str());
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        require(loaded != nullptr, "load");
        korvane_index_destroy(h);
        h = p.handle = loaded;
        checkState(h, model, true);
        break;
      }
    }
  }
  korvane_context_destroy(kept);
  return 0;
}
