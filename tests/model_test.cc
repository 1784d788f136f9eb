// Randomized differential test of the C interface. Long random sequences of
// insertions, batch insertions, removals, re-insertions of removed ids,
// plain, filtered and batched searches and save/load round trips run against
// an index and, beside it, against a plain model (live id -> vector). After
// every step the index must agree with the model: the live count, the id
// map, the graph invariants, and for every search the ids (live, allowed,
// never more than listed), the order and every score. A failing sequence is
// shrunk by delta debugging to a short reproducer that is printed as a list
// of steps.
//
// Longer soak (the defaults are 3200 steps from seed 1):
//   KORVANE_SOAK_STEPS=50000 KORVANE_SOAK_SEED=7 tests/model_test
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "c_api.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace {

using testdata::c_dim;

// ---- vectors ----

// Scale factors of scaled vectors. Queries use only the first three: a
// stored vector scaled by 1e30 against a query scaled by 1e30 would overflow
// the single-precision score, which is not a fault.
constexpr float c_factors[] = {1e3f, 1e-3f, 0.0f, 1e30f, 1e-30f};
constexpr std::size_t c_query_factors = 3;

enum class Kind : std::uint8_t { plain, scaled, nan, pos_inf, neg_inf };

// A vector named by where it comes from, so that a step prints and replays
// without the generator: a pool vector, possibly scaled or with one
// non-finite component.
struct VecRef {
  bool query_pool = false;
  std::uint16_t base = 0;
  Kind kind = Kind::plain;
  std::uint16_t arg = 0;  // scaled: factor index; nan / inf: component

  bool finite() const { return kind == Kind::plain || kind == Kind::scaled; }
};

struct Pools {
  std::vector<float> data;     // stored-vector pool
  std::vector<float> queries;  // query pool, another draw around the same centres
  std::size_t dataCount() const { return data.size() / c_dim; }
  std::size_t queryCount() const { return queries.size() / c_dim; }

  void materialize(const VecRef& r, float* out) const {
    const float* src = (r.query_pool ? queries.data() : data.data()) + std::size_t(r.base) * c_dim;
    std::copy_n(src, c_dim, out);
    switch (r.kind) {
      case Kind::plain:
        break;
      case Kind::scaled:
        for (std::size_t j = 0; j < c_dim; ++j) out[j] *= c_factors[r.arg];
        break;
      case Kind::nan:
        out[r.arg] = std::numeric_limits<float>::quiet_NaN();
        break;
      case Kind::pos_inf:
        out[r.arg] = std::numeric_limits<float>::infinity();
        break;
      case Kind::neg_inf:
        out[r.arg] = -std::numeric_limits<float>::infinity();
        break;
    }
  }
  std::vector<float> vec(const VecRef& r) const {
    std::vector<float> v(c_dim);
    materialize(r, v.data());
    return v;
  }
};

std::string describe(const VecRef& r) {
  std::ostringstream o;
  o << (r.query_pool ? 'q' : 'd') << r.base;
  switch (r.kind) {
    case Kind::plain:
      break;
    case Kind::scaled:
      o << '*' << c_factors[r.arg];
      break;
    case Kind::nan:
      o << "[nan@" << r.arg << ']';
      break;
    case Kind::pos_inf:
      o << "[+inf@" << r.arg << ']';
      break;
    case Kind::neg_inf:
      o << "[-inf@" << r.arg << ']';
      break;
  }
  return o.str();
}

// ---- steps ----

enum class Op : std::uint8_t { add, add_batch, remove, search, filtered, search_batch, save_load };

struct Step {
  Op op = Op::add;
  std::vector<std::uint64_t> ids;  // add, add_batch, remove; filtered: the allow-list
  std::vector<VecRef> vecs;        // add, add_batch; searches: the queries
  std::size_t k = 0;
  std::size_t m = 0;
  std::size_t threads = 0;
  bool fresh_context = false;  // search: a new context instead of the kept one
};

std::string describeSize(std::size_t v) {
  return v == SIZE_MAX ? std::string("SIZE_MAX") : std::to_string(v);
}

std::string describe(const Step& s) {
  std::ostringstream o;
  switch (s.op) {
    case Op::add:
      o << "add " << s.ids[0] << " " << describe(s.vecs[0]);
      break;
    case Op::add_batch:
      o << "add_batch threads=" << s.threads << " {";
      for (std::size_t i = 0; i < s.ids.size(); ++i) {
        o << (i ? ", " : "") << s.ids[i] << ":" << describe(s.vecs[i]);
      }
      o << "}";
      break;
    case Op::remove:
      o << "remove " << s.ids[0];
      break;
    case Op::search:
      o << "search " << describe(s.vecs[0]) << " k=" << describeSize(s.k) << " m=" << s.m
        << (s.fresh_context ? " fresh" : " kept");
      break;
    case Op::filtered:
      o << "filtered " << describe(s.vecs[0]) << " k=" << describeSize(s.k) << " allowed={";
      for (std::size_t i = 0; i < s.ids.size(); ++i) o << (i ? ", " : "") << s.ids[i];
      o << "}";
      break;
    case Op::search_batch:
      o << "search_batch k=" << s.k << " m=" << s.m << " threads=" << s.threads << " {";
      for (std::size_t i = 0; i < s.vecs.size(); ++i) o << (i ? ", " : "") << describe(s.vecs[i]);
      o << "}";
      break;
    case Op::save_load:
      o << "save_load";
      break;
  }
  return o.str();
}

// ---- the model ----

// What the index must hold: the live ids with their vectors. Both the
// generator (to choose plausible steps) and the runner (to predict results)
// keep one.
struct Model {
  std::map<std::uint64_t, VecRef> live;
  std::set<std::uint64_t> ever;  // every id that was live at some point

  int expectAdd(std::uint64_t id) const { return live.count(id) ? -2 : 0; }
  int expectBatch(const std::vector<std::uint64_t>& ids) const {
    std::set<std::uint64_t> seen;
    for (std::uint64_t id : ids) {
      if (live.count(id) || !seen.insert(id).second) return -2;
    }
    return 0;
  }
  int expectRemove(std::uint64_t id) const { return live.count(id) ? 0 : -1; }

  void add(std::uint64_t id, const VecRef& v) {
    live[id] = v;
    ever.insert(id);
  }
  // Applies a step's effect on the model; the expected codes come from the
  // expect functions above.
  void apply(const Step& s) {
    if (s.op == Op::add && expectAdd(s.ids[0]) == 0) add(s.ids[0], s.vecs[0]);
    if (s.op == Op::add_batch && expectBatch(s.ids) == 0) {
      for (std::size_t i = 0; i < s.ids.size(); ++i) add(s.ids[i], s.vecs[i]);
    }
    if (s.op == Op::remove) live.erase(s.ids[0]);
  }
};

// ---- generation ----

class Generator {
 public:
  Generator(std::uint64_t seed, const Pools& pools) : rng_(seed), pools_(pools) {}

  std::vector<Step> sequence(std::size_t steps) {
    std::vector<Step> out;
    out.reserve(steps);
    for (std::size_t i = 0; i < steps; ++i) {
      out.push_back(next());
      model_.apply(out.back());
    }
    return out;
  }

 private:
  // Keeps the index at tens to a few hundred live vectors.
  static constexpr std::size_t c_live_cap = 220;

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  template <class T, std::size_t N>
  T pick(const T (&values)[N]) {
    return values[below(N)];
  }

  std::uint64_t freshId() {
    // Mostly small consecutive ids; now and then a large one or one at the
    // ends of the range, where a hash map or a sentinel might go wrong.
    if (chance(0.05)) {
      const std::uint64_t specials[] = {0, 1, ~std::uint64_t{0}, ~std::uint64_t{0} - 1,
                                        std::uint64_t{1} << 63, std::uint64_t{1} << 32};
      const std::uint64_t id = chance(0.5) ? pick(specials) : rng_();
      if (!model_.ever.count(id) && !taken_.count(id)) {
        taken_.insert(id);
        return id;
      }
    }
    while (model_.ever.count(next_id_) || taken_.count(next_id_)) ++next_id_;
    taken_.insert(next_id_);
    return next_id_++;
  }
  std::uint64_t liveId() {
    auto it = model_.live.begin();
    std::advance(it, std::ptrdiff_t(below(model_.live.size())));
    return it->first;
  }
  std::uint64_t removedId() {
    std::vector<std::uint64_t> removed;
    for (std::uint64_t id : model_.ever) {
      if (!model_.live.count(id)) removed.push_back(id);
    }
    return removed.empty() ? freshId() : removed[below(removed.size())];
  }
  // An id for an insertion: mostly new, sometimes a removed one coming
  // back, sometimes a live one (refused as a duplicate).
  std::uint64_t addId() {
    const double r = std::uniform_real_distribution<double>(0, 1)(rng_);
    if (r < 0.08 && !model_.live.empty()) return liveId();
    if (r < 0.2) return removedId();
    return freshId();
  }

  VecRef stored() {
    VecRef v;
    v.base = static_cast<std::uint16_t>(below(pools_.dataCount()));
    const double r = std::uniform_real_distribution<double>(0, 1)(rng_);
    if (r < 0.01) {
      v.kind = Kind(std::uint8_t(Kind::nan) + below(3));
      v.arg = static_cast<std::uint16_t>(below(c_dim));
    } else if (r < 0.04) {
      v.kind = Kind::scaled;
      v.arg = static_cast<std::uint16_t>(below(std::size(c_factors)));
    }
    return v;
  }
  VecRef query() {
    VecRef v;
    v.query_pool = chance(0.6);
    v.base = static_cast<std::uint16_t>(below(v.query_pool ? pools_.queryCount()
                                                           : pools_.dataCount()));
    const double r = std::uniform_real_distribution<double>(0, 1)(rng_);
    if (r < 0.01) {
      v.kind = Kind(std::uint8_t(Kind::nan) + below(3));
      v.arg = static_cast<std::uint16_t>(below(c_dim));
    } else if (r < 0.04) {
      v.kind = Kind::scaled;
      v.arg = static_cast<std::uint16_t>(below(c_query_factors));
    }
    return v;
  }

  Step next() {
    Step s;
    // Weights of add, add_batch, remove, search, filtered, search_batch and
    // save_load; a crowded index mostly shrinks.
    const bool crowded = model_.live.size() >= c_live_cap;
    const double normal[] = {30, 8, 14, 25, 13, 9, 1};
    const double full[] = {6, 2, 38, 25, 13, 9, 1};
    const double* w = crowded ? full : normal;
    const auto op = static_cast<Op>(std::discrete_distribution<int>(w, w + 7)(rng_));
    s.op = op;
    if (op == Op::add) {
      s.ids = {addId()};
      s.vecs = {stored()};
    } else if (op == Op::add_batch) {
      const std::size_t n = chance(0.2) ? 1 + below(60) : 1 + below(16);
      for (std::size_t i = 0; i < n; ++i) {
        s.ids.push_back(chance(0.02) ? addId() : freshId());
        s.vecs.push_back(stored());
      }
      if (chance(0.05)) s.ids.back() = s.ids.front();  // repeated within the batch
      s.threads = below(4);
    } else if (op == Op::remove) {
      const double which = std::uniform_real_distribution<double>(0, 1)(rng_);
      s.ids = {which < 0.85 && !model_.live.empty() ? liveId()
               : which < 0.93                       ? removedId()
                                                    : freshId()};
    } else if (op == Op::search) {
      s.vecs = {query()};
      const std::size_t ks[] = {0, 1, 3, 10, 10, 10, 32, 100, 256, 1000, SIZE_MAX};
      const std::size_t ms[] = {1, 4, 16, 48, 48, 128, 400};
      s.k = pick(ks);
      s.m = pick(ms);
      s.fresh_context = chance(0.3);
    } else if (op == Op::filtered) {
      s.vecs = {query()};
      const std::size_t ks[] = {0, 1, 5, 10, 10, 40, 256, SIZE_MAX};
      s.k = pick(ks);
      if (chance(0.15)) {
        for (const auto& [id, v] : model_.live) s.ids.push_back(id);
      } else {
        const std::size_t sizes[] = {0, 1, 3, 8, 20, 60};
        const std::size_t n = pick(sizes);
        for (std::size_t i = 0; i < n; ++i) {
          const double which = std::uniform_real_distribution<double>(0, 1)(rng_);
          if (which < 0.1 && !s.ids.empty()) {
            s.ids.push_back(s.ids[below(s.ids.size())]);  // listed twice
          } else if (which < 0.2) {
            s.ids.push_back(removedId());
          } else if (which < 0.25) {
            s.ids.push_back(rng_());  // never added (almost surely)
          } else if (!model_.live.empty()) {
            s.ids.push_back(liveId());
          }
        }
      }
      std::shuffle(s.ids.begin(), s.ids.end(), rng_);
    } else if (op == Op::search_batch) {
      const std::size_t n = below(7);
      for (std::size_t i = 0; i < n; ++i) s.vecs.push_back(query());
      const std::size_t ks[] = {0, 1, 10, 10, 40, 300};
      const std::size_t ms[] = {0, 1, 16, 64, 64, 320};
      const std::size_t ts[] = {0, 1, 2, 3, 8};
      s.k = pick(ks);
      s.m = pick(ms);
      s.threads = pick(ts);
    }
    return s;
  }

  std::mt19937_64 rng_;
  const Pools& pools_;
  Model model_;
  std::set<std::uint64_t> taken_;  // fresh ids handed out (also in refused steps)
  std::uint64_t next_id_ = 1;
};

// ---- shrinking ----

// Delta debugging: drops chunks of items (halves, then quarters, ... then
// single items) for as long as what remains still fails, within `budget`
// attempts. `fails` must be deterministic.
template <class T, class Fails>
std::vector<T> shrink(std::vector<T> items, Fails&& fails, std::size_t budget) {
  std::size_t chunk = std::max<std::size_t>(items.size() / 2, 1);
  while (budget > 0 && !items.empty()) {
    bool dropped = false;
    for (std::size_t start = 0; start < items.size() && budget > 0;) {
      std::vector<T> candidate;
      candidate.reserve(items.size());
      candidate.insert(candidate.end(), items.begin(), items.begin() + std::ptrdiff_t(start));
      const std::size_t end = std::min(items.size(), start + chunk);
      candidate.insert(candidate.end(), items.begin() + std::ptrdiff_t(end), items.end());
      --budget;
      if (fails(candidate)) {
        items = std::move(candidate);
        dropped = true;
      } else {
        start += chunk;
      }
    }
    if (!dropped) {
      if (chunk == 1) break;
      chunk /= 2;
    } else {
      chunk = std::max<std::size_t>(1, std::min(chunk, items.size() / 2));
    }
  }
  return items;
}

// ---- running ----

// Measured worst errors, printed at the end so that the tolerances below can
// be reviewed against what the data actually does.
struct Stats {
  std::size_t sequences = 0;
  std::size_t steps = 0;
  std::size_t searches = 0;
  std::size_t scores = 0;
  double worst_kernel = 0;  // |score - reproduction| / its bound
  double worst_sigmas = 0;  // |score - exact inner product| / sigma
  double worst_rotation = 0;  // |<rq, rv> - <q, v>| / (|q| |v|), sampled
  double seconds[7] = {};      // by Op
  std::size_t counts[7] = {};
  double load_seconds = 0;
};

// Where the runner keeps files and the empty index it starts from.
struct Env {
  Pools pools;
  std::unique_ptr<testsupport::TempDir> temp;
  std::filesystem::path dir;
  std::filesystem::path pristine;
};

class Runner {
 public:
  Runner(const Env& env, Stats& stats) : env_(env), stats_(stats) {}
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  ~Runner() { reset(); }

  // When set, the model forgets removals: a deliberately wrong model, to
  // show that the checks and the shrinker catch a disagreement.
  bool forget_removals = false;

  // Runs `steps` from an empty index; the first disagreement, with the index
  // of the step that showed it.
  std::optional<std::string> run(const std::vector<Step>& steps, std::size_t* failed_at) {
    reset();
    const auto t0 = std::chrono::steady_clock::now();
    handle_ = korvane_index_load(env_.pristine.c_str());
    if (handle_ == nullptr) return "cannot load the empty index";
    stats_.load_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const auto t = std::chrono::steady_clock::now();
      auto f = apply(steps[i]);
      ++stats_.counts[std::size_t(steps[i].op)];
      stats_.seconds[std::size_t(steps[i].op)] +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
      if (f) {
        *failed_at = i;
        return f;
      }
      ++stats_.steps;
    }
    return std::nullopt;
  }

 private:
  void reset() {
    for (auto& [m, ctx] : contexts_) korvane_context_destroy(ctx);
    contexts_.clear();
    korvane_index_destroy(handle_);
    handle_ = nullptr;
    model_ = Model{};
  }
  const korvane::Index& index() const { return handle_->index; }

  std::optional<std::string> apply(const Step& s);
  std::optional<std::string> checkState(bool changed);
  std::optional<std::string> checkResults(const VecRef& query, const std::vector<float>& rq,
                                          const std::uint64_t* ids, const float* scores,
                                          std::size_t count, const std::vector<std::uint64_t>* allowed);
  std::optional<std::string> checkFilteredComplete(const VecRef& query,
                                                   const std::vector<float>& rq,
                                                   const std::uint64_t* ids, const float* scores,
                                                   std::size_t count, std::size_t kc,
                                                   const std::vector<std::uint64_t>& allowed);
  std::optional<std::string> saveLoad();

  std::vector<float> rotate(const std::vector<float>& v) const {
    std::vector<float> out(c_dim);
    index().rotation().apply(v.data(), out.data());
    return out;
  }

  // The sq8 score of record `internal` reproduced in double precision, with
  // the sum of the magnitudes of its terms (for the rounding bound).
  struct Reproduction {
    double score;
    double magnitude;
    double scale;
  };
  Reproduction reproduce(std::uint64_t internal, const std::vector<float>& rq) const {
    const std::int8_t* codes = index().sq8().codes().data() + c_dim * internal;
    const double scale = index().sq8().scales()[internal];
    double s = 0, mag = 0;
    for (std::size_t j = 0; j < c_dim; ++j) {
      const double t = double(rq[j]) * double(codes[j]);
      s += t;
      mag += std::fabs(t);
    }
    return {s * scale, mag * scale, scale};
  }

  const Env& env_;
  Stats& stats_;
  korvane_index* handle_ = nullptr;
  std::map<std::size_t, korvane_context*> contexts_;  // kept contexts by breadth m
  Model model_;
};

#define MODEL_REQUIRE(cond, detail)                                                  \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::ostringstream model_detail_;                                              \
      model_detail_ << detail;                                                       \
      return std::string("line ") + std::to_string(__LINE__) + ": " #cond ": " +     \
             model_detail_.str();                                                    \
    }                                                                                \
  } while (0)

#define MODEL_CHECK(expr)                        \
  do {                                           \
    if (auto model_failure_ = (expr)) return model_failure_; \
  } while (0)

std::optional<std::string> Runner::checkState(bool changed) {
  const korvane::Index& x = index();
  MODEL_REQUIRE(korvane_index_len(handle_) == model_.live.size(),
                "live count " << korvane_index_len(handle_) << ", model " << model_.live.size());
  MODEL_REQUIRE(x.routing().nodeCount() == x.payloadCount(), "");
  MODEL_REQUIRE(x.hasRerankStore(), "the sq8 store is incomplete");
  // Every committed vector is live or removed: failed insertions leave none.
  MODEL_REQUIRE(x.payloadCount() - x.liveCount() == x.tombstones().count(),
                x.payloadCount() << " records, " << x.liveCount() << " live, "
                                 << x.tombstones().count() << " deleted");
  for (std::uint64_t id : model_.ever) {
    const std::uint64_t* internal = x.internalOf(id);
    if (model_.live.count(id)) {
      MODEL_REQUIRE(internal != nullptr, "live id " << id << " is not mapped");
      MODEL_REQUIRE(*internal < x.payloadCount() && x.payloads()[*internal].id == id &&
                        !x.isDeleted(*internal),
                    "id " << id << " maps to record " << *internal);
    } else {
      MODEL_REQUIRE(internal == nullptr, "removed id " << id << " is still mapped");
    }
  }
  if (changed) MODEL_REQUIRE(x.routing().checkInvariants().has_value(), "graph invariants");
  return std::nullopt;
}

// Checks one result list: ids live (and allowed, at most as often as
// listed), descending scores, and every score against the model.
std::optional<std::string> Runner::checkResults(const VecRef& query, const std::vector<float>& rq,
                                                const std::uint64_t* ids, const float* scores,
                                                std::size_t count,
                                                const std::vector<std::uint64_t>* allowed) {
  std::map<std::uint64_t, std::size_t> seen;
  for (std::size_t i = 0; i < count; ++i) {
    MODEL_REQUIRE(model_.live.count(ids[i]), "result " << i << " is id " << ids[i]
                                                       << ", which is not live");
    const std::size_t times = ++seen[ids[i]];
    if (allowed == nullptr) {
      MODEL_REQUIRE(times == 1, "id " << ids[i] << " returned twice");
    } else {
      MODEL_REQUIRE(times <= std::size_t(std::count(allowed->begin(), allowed->end(), ids[i])),
                    "id " << ids[i] << " returned " << times << " times");
    }
  }
  // Descending order, with NaN scores (a vector with an infinite component,
  // or a non-finite query) below every number: only after all finite ones,
  // and only from vectors or queries that are not finite.
  for (std::size_t i = 0; i < count; ++i) {
    if (std::isnan(scores[i])) {
      MODEL_REQUIRE(!query.finite() || !model_.live.at(ids[i]).finite(),
                    "id " << ids[i] << ", a finite vector, scored NaN for a finite query");
    }
    for (std::size_t j = i + 1; j < count; ++j) {
      MODEL_REQUIRE(!(std::isnan(scores[i]) && !std::isnan(scores[j])),
                    "a NaN score at " << i << " before the number at " << j);
      MODEL_REQUIRE(!(scores[i] < scores[j]), "scores out of order at " << i << ", " << j
                                                                         << ": " << scores[i]
                                                                         << " < " << scores[j]);
    }
  }
  if (!query.finite()) return std::nullopt;
  const std::vector<float> q = env_.pools.vec(query);
  double q_norm = 0;
  for (float v : q) q_norm += double(v) * v;
  q_norm = std::sqrt(q_norm);
  double rq_norm = 0;
  for (float v : rq) rq_norm += double(v) * v;
  rq_norm = std::sqrt(rq_norm);
  for (std::size_t i = 0; i < count; ++i) {
    const VecRef& stored = model_.live.at(ids[i]);
    if (!stored.finite()) continue;  // scores unpredictably; must only not disturb others
    ++stats_.scores;
    const std::uint64_t internal = *index().internalOf(ids[i]);
    // 1. The score is the 8-bit inner product of this very record: dotSq8 in
    // single precision is eight lanes of 384 fused multiply-adds, then seven
    // additions and one product with the scale, so its rounding error is
    // below 392 units of 2^-24 times the sum of the magnitudes of its terms.
    // That bound is rigorous, so this check can never be flaky.
    const Reproduction rep = reproduce(internal, rq);
    const double kernel_bound = 392.0 * 0x1p-24 * rep.magnitude;
    const double kernel_err = std::fabs(double(scores[i]) - rep.score);
    MODEL_REQUIRE(kernel_err <= kernel_bound, "id " << ids[i] << " score " << scores[i]
                                                    << ", its record gives " << rep.score);
    if (kernel_bound > 0) stats_.worst_kernel = std::max(stats_.worst_kernel, kernel_err / kernel_bound);

    // 2. The record encodes the model's vector: the score is the exact inner
    // product up to the 8-bit rounding of the stored components (step s =
    // scale, error uniform in +-s/2 per component once rotated) and the
    // rotation's own single-precision error. The rounding term is a sum of
    // 3072 independent errors with standard deviation sigma = s * |rq| /
    // sqrt(12); 10 sigma is exceeded with probability below 1e-20 per
    // score (the largest seen over long soaks is about 5 sigma, which
    // includes the small positive bias of a query equal to the stored
    // vector). The rotation is orthonormal to single-precision accuracy
    // only: for nearly orthogonal q and v its error reaches 2e-5 |q| |v|
    // (largest seen), so 1e-4 |q| |v| (about half a sigma) is allowed.
    const std::vector<float> v = env_.pools.vec(stored);
    double exact = 0, v_norm = 0;
    for (std::size_t j = 0; j < c_dim; ++j) {
      exact += double(q[j]) * v[j];
      v_norm += double(v[j]) * v[j];
    }
    v_norm = std::sqrt(v_norm);
    const double sigma = rep.scale * rq_norm / std::sqrt(12.0);
    const double rotation_slack = 1e-4 * q_norm * v_norm;
    const double err = std::fabs(double(scores[i]) - exact);
    MODEL_REQUIRE(err <= 10 * sigma + rotation_slack + kernel_bound,
                  "id " << ids[i] << " (" << describe(stored) << ") score " << scores[i]
                        << ", exact inner product " << exact << ", sigma " << sigma);
    if (sigma > 0) stats_.worst_sigmas = std::max(stats_.worst_sigmas, err / sigma);
    if (i == 0 && q_norm * v_norm > 0) {
      const std::vector<float> rv = rotate(v);
      double rotated = 0;
      for (std::size_t j = 0; j < c_dim; ++j) rotated += double(rq[j]) * rv[j];
      stats_.worst_rotation =
          std::max(stats_.worst_rotation, std::fabs(rotated - exact) / (q_norm * v_norm));
    }
  }
  return std::nullopt;
}

// A filtered search scans its whole list: it returns exactly min(k, number
// of live entries) results — NaN scores included, after every number — and
// nothing it left out scores better than the last one kept.
std::optional<std::string> Runner::checkFilteredComplete(
    const VecRef& query, const std::vector<float>& rq, const std::uint64_t* ids,
    const float* scores, std::size_t count, std::size_t kc,
    const std::vector<std::uint64_t>& allowed) {
  std::map<std::uint64_t, std::size_t> listed;
  bool all_finite = query.finite();
  std::size_t live_entries = 0;
  for (std::uint64_t id : allowed) {
    if (!model_.live.count(id)) continue;
    ++live_entries;
    ++listed[id];
    if (!model_.live.at(id).finite()) all_finite = false;
  }
  MODEL_REQUIRE(count == std::min(kc, live_entries),
                count << " results for " << live_entries << " live entries, k " << kc);
  if (!all_finite || count == live_entries || count == 0) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i) --listed[ids[i]];
  const double last = scores[count - 1];
  for (const auto& [id, left] : listed) {
    if (left == 0) continue;
    const Reproduction rep = reproduce(*index().internalOf(id), rq);
    if (std::isnan(rep.score)) continue;  // below every kept number
    MODEL_REQUIRE(rep.score <= last + 392.0 * 0x1p-24 * rep.magnitude + 1e-30,
                  "id " << id << " scores " << rep.score << " but was left out; last kept "
                        << last);
  }
  return std::nullopt;
}

std::optional<std::string> Runner::saveLoad() {
  // Results before and after must be identical: same ids, bit-identical
  // scores, with fresh contexts on both sides.
  struct Probe {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
  };
  auto probe = [&](korvane_index* h) {
    std::vector<Probe> out;
    std::vector<std::uint64_t> all;
    for (const auto& [id, v] : model_.live) all.push_back(id);
    for (std::size_t p = 0; p < 4; ++p) {
      korvane_context* ctx = korvane_context_create(h, 48);
      const std::vector<float> q =
          env_.pools.vec(VecRef{p % 2 == 0, static_cast<std::uint16_t>(p), Kind::plain, 0});
      Probe r{std::vector<std::uint64_t>(20), std::vector<float>(20)};
      const std::size_t n =
          p < 3 ? korvane_search(h, ctx, q.data(), 20, r.ids.data(), r.scores.data())
                : korvane_search_filtered(h, ctx, q.data(), all.data(), all.size(), 20,
                                          r.ids.data(), r.scores.data());
      r.ids.resize(n);
      r.scores.resize(n);
      out.push_back(std::move(r));
      korvane_context_destroy(ctx);
    }
    return out;
  };
  const std::vector<Probe> before = probe(handle_);
  const auto first = env_.dir / "index.tqx";
  MODEL_REQUIRE(korvane_index_save(handle_, first.c_str()) == 0, "save");
  korvane_index* loaded = korvane_index_load(first.c_str());
  MODEL_REQUIRE(loaded != nullptr, "load");
  korvane_index_destroy(handle_);
  handle_ = loaded;
  const std::vector<Probe> after = probe(handle_);
  for (std::size_t p = 0; p < before.size(); ++p) {
    MODEL_REQUIRE(before[p].ids == after[p].ids, "probe " << p << " ids changed by save/load");
    MODEL_REQUIRE(std::memcmp(before[p].scores.data(), after[p].scores.data(),
                              before[p].scores.size() * sizeof(float)) == 0,
                  "probe " << p << " scores changed by save/load");
  }
  return std::nullopt;
}

std::optional<std::string> Runner::apply(const Step& s) {
  switch (s.op) {
    case Op::add: {
      const std::vector<float> v = env_.pools.vec(s.vecs[0]);
      const int want = model_.expectAdd(s.ids[0]);
      const int got = korvane_index_add(handle_, s.ids[0], v.data());
      MODEL_REQUIRE(got == want, "add returned " << got << ", expected " << want);
      model_.apply(s);
      return checkState(true);
    }
    case Op::add_batch: {
      std::vector<float> coords(s.vecs.size() * c_dim);
      for (std::size_t i = 0; i < s.vecs.size(); ++i) {
        env_.pools.materialize(s.vecs[i], coords.data() + i * c_dim);
      }
      const int want = model_.expectBatch(s.ids);
      const int got = korvane_index_add_batch(handle_, s.ids.data(), coords.data(), s.ids.size(),
                                              s.threads);
      MODEL_REQUIRE(got == want, "add_batch returned " << got << ", expected " << want);
      model_.apply(s);
      return checkState(true);
    }
    case Op::remove: {
      const int want = model_.expectRemove(s.ids[0]);
      const int got = korvane_index_remove(handle_, s.ids[0]);
      MODEL_REQUIRE(got == want, "remove returned " << got << ", expected " << want);
      if (!forget_removals) model_.apply(s);
      return checkState(true);
    }
    case Op::search: {
      ++stats_.searches;
      korvane_context*& kept = contexts_[s.m];
      korvane_context* fresh = nullptr;
      if (s.fresh_context) {
        fresh = korvane_context_create(handle_, s.m);
        MODEL_REQUIRE(fresh != nullptr, "context_create(" << s.m << ")");
      } else if (kept == nullptr) {
        // A kept context is made once and used while the index grows.
        kept = korvane_context_create(handle_, s.m);
        MODEL_REQUIRE(kept != nullptr, "context_create(" << s.m << ")");
      }
      korvane_context* ctx = fresh != nullptr ? fresh : kept;
      const std::vector<float> q = env_.pools.vec(s.vecs[0]);
      std::vector<std::uint64_t> ids(257, 0xabababababababab);
      std::vector<float> scores(257, -7.0f);
      const std::size_t count =
          korvane_search(handle_, ctx, q.data(), s.k, ids.data(), scores.data());
      std::optional<std::string> failure;
      const std::size_t cap = std::min({s.k, std::size_t{256}, s.m, model_.live.size()});
      if (count > cap) {
        failure = "search returned " + std::to_string(count) + " results, at most " +
                  std::to_string(cap) + " possible";
      } else if (ids[count] != 0xabababababababab || scores[count] != -7.0f) {
        failure = "search wrote past its count";
      } else {
        failure = checkResults(s.vecs[0], rotate(q), ids.data(), scores.data(), count, nullptr);
      }
      if (!failure && count > 0) {
        // The same ids through the filtered scan score bit-identically.
        std::vector<std::uint64_t> ids2(count);
        std::vector<float> scores2(count);
        const std::size_t count2 = korvane_search_filtered(handle_, ctx, q.data(), ids.data(),
                                                           count, count, ids2.data(), scores2.data());
        std::map<std::uint64_t, std::uint32_t> by_id;
        for (std::size_t i = 0; i < count; ++i) by_id[ids[i]] = std::bit_cast<std::uint32_t>(scores[i]);
        if (count2 != count) failure = "filtered search over the results lost some";
        for (std::size_t i = 0; i < count2 && !failure; ++i) {
          if (!by_id.count(ids2[i]) || by_id[ids2[i]] != std::bit_cast<std::uint32_t>(scores2[i])) {
            failure = "id " + std::to_string(ids2[i]) + " scores differently in filtered search";
          }
        }
      }
      korvane_context_destroy(fresh);
      return failure;
    }
    case Op::filtered: {
      ++stats_.searches;
      korvane_context*& ctx = contexts_[48];
      if (ctx == nullptr) ctx = korvane_context_create(handle_, 48);
      MODEL_REQUIRE(ctx != nullptr, "context_create(48)");
      const std::vector<float> q = env_.pools.vec(s.vecs[0]);
      std::vector<std::uint64_t> ids(257, 0xabababababababab);
      std::vector<float> scores(257, -7.0f);
      const std::size_t count = korvane_search_filtered(handle_, ctx, q.data(), s.ids.data(),
                                                        s.ids.size(), s.k, ids.data(), scores.data());
      MODEL_REQUIRE(ids[count] == 0xabababababababab && scores[count] == -7.0f,
                    "filtered search wrote past its count");
      const std::vector<float> rq = rotate(q);
      MODEL_CHECK(checkResults(s.vecs[0], rq, ids.data(), scores.data(), count, &s.ids));
      return checkFilteredComplete(s.vecs[0], rq, ids.data(), scores.data(), count,
                                   std::min(s.k, std::size_t{256}), s.ids);
    }
    case Op::search_batch: {
      ++stats_.searches;
      const std::size_t n = s.vecs.size();
      std::vector<float> queries(n * c_dim);
      for (std::size_t i = 0; i < n; ++i) env_.pools.materialize(s.vecs[i], queries.data() + i * c_dim);
      std::vector<std::uint64_t> ids(n * s.k + 1, 0xabababababababab);
      std::vector<float> scores(n * s.k + 1, -7.0f);
      std::vector<std::size_t> counts(n + 1, 12345);
      const int got = korvane_search_batch(handle_, queries.data(), n, s.k, s.m, s.threads,
                                           ids.data(), scores.data(), counts.data());
      MODEL_REQUIRE(got == 0, "search_batch returned " << got);
      MODEL_REQUIRE(counts[n] == 12345, "search_batch wrote past its counts");
      for (std::size_t q = 0; q < n; ++q) {
        const std::size_t count = counts[q];
        MODEL_REQUIRE(count <= std::min({s.k, s.m, model_.live.size()}),
                      "query " << q << ": " << count << " results");
        for (std::size_t i = count; i < s.k; ++i) {
          MODEL_REQUIRE(ids[s.k * q + i] == 0xabababababababab, "row " << q << " written past its count");
        }
        const std::vector<float> query(queries.begin() + std::ptrdiff_t(q * c_dim),
                                       queries.begin() + std::ptrdiff_t((q + 1) * c_dim));
        MODEL_CHECK(checkResults(s.vecs[q], rotate(query), ids.data() + s.k * q,
                                 scores.data() + s.k * q, count, nullptr));
        // Each row is what a single search with a context of breadth m gives.
        if (s.m == 0 || s.k > 256) continue;
        korvane_context* ctx = korvane_context_create(handle_, s.m);
        MODEL_REQUIRE(ctx != nullptr, "context_create(" << s.m << ")");
        std::vector<std::uint64_t> one_ids(256);
        std::vector<float> one_scores(256);
        const std::size_t one = korvane_search(handle_, ctx, query.data(), s.k, one_ids.data(),
                                               one_scores.data());
        korvane_context_destroy(ctx);
        MODEL_REQUIRE(one == count, "query " << q << ": " << count << " results in the batch, "
                                             << one << " alone");
        MODEL_REQUIRE(std::equal(one_ids.begin(), one_ids.begin() + std::ptrdiff_t(count),
                                 ids.begin() + std::ptrdiff_t(s.k * q)) &&
                          std::memcmp(one_scores.data(), scores.data() + s.k * q,
                                      count * sizeof(float)) == 0,
                      "query " << q << " differs from a single search");
      }
      return std::nullopt;
    }
    case Op::save_load:
      MODEL_CHECK(saveLoad());
      return checkState(true);
  }
  return std::nullopt;
}

// ---- the suite ----

std::size_t envSize(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return static_cast<std::size_t>(std::strtoull(v, nullptr, 10));
}

class ModelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    env = new Env;
    env->pools.data = testdata::clustered(240, 41, 0, 12);
    env->pools.queries = testdata::clustered(48, 41, 1, 12);
    // Files go to memory when possible: every save/load round trip writes
    // two full images.
    env->temp = std::make_unique<testsupport::TempDir>(/*in_memory=*/true);
    ASSERT_TRUE(env->temp->made());
    env->dir = env->temp->path();
    env->pristine = env->dir / "empty.tqx";
    // One rotation for the whole suite: every sequence starts from this
    // empty index, loaded.
    korvane_index* h = korvane_index_create(40, 2024);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(korvane_index_save(h, env->pristine.c_str()), 0);
    korvane_index_destroy(h);
  }
  static void TearDownTestSuite() {
    delete env;
    env = nullptr;
  }

  // Runs one sequence; on a disagreement shrinks it and reports the
  // reproducer.
  static void runAndShrink(Runner& runner, const std::vector<Step>& steps, const char* name) {
    std::size_t failed_at = 0;
    const auto failure = runner.run(steps, &failed_at);
    if (!failure) return;
    std::vector<Step> prefix(steps.begin(), steps.begin() + std::ptrdiff_t(failed_at + 1));
    const auto started = std::chrono::steady_clock::now();
    const auto small = shrink(
        std::move(prefix),
        [&](const std::vector<Step>& candidate) {
          // Keep the attempt count bounded in time as well: replays are
          // cheap but not free.
          if (std::chrono::steady_clock::now() - started > std::chrono::minutes(3)) return false;
          std::size_t at = 0;
          return runner.run(candidate, &at).has_value();
        },
        400);
    std::size_t at = 0;
    const auto small_failure = runner.run(small, &at);
    std::ostringstream o;
    o << name << ": step " << failed_at << " of " << steps.size() << " failed: " << *failure
      << "\nshrunk to " << small.size() << " steps"
      << (small_failure ? " failing with: " + *small_failure : std::string(" (not reproducible)"))
      << "\n";
    for (std::size_t i = 0; i < small.size(); ++i) o << "  " << i << ": " << describe(small[i]) << "\n";
    ADD_FAILURE() << o.str();
  }

  static inline Env* env = nullptr;
};

TEST_F(ModelTest, RandomSequencesAgreeWithTheModel) {
  const std::size_t total = envSize("KORVANE_SOAK_STEPS", 3200);
  const std::size_t seed = envSize("KORVANE_SOAK_SEED", 1);
  constexpr std::size_t c_sequence = 400;
  Stats stats;
  Runner runner(*env, stats);
  for (std::size_t done = 0, s = 0; done < total; done += c_sequence, ++s) {
    const std::size_t len = std::min(c_sequence, total - done);
    const auto steps = Generator(seed * 1000003 + s, env->pools).sequence(len);
    const std::string name = "seed " + std::to_string(seed * 1000003 + s);
    SCOPED_TRACE(name);
    runAndShrink(runner, steps, name.c_str());
    ++stats.sequences;
    if (HasFailure()) break;
  }
  std::printf(
      "model: %zu sequences, %zu steps, %zu searches, %zu scores checked; worst kernel error "
      "%.3f of its bound, worst score error %.2f sigma, worst rotation error %.2e\n",
      stats.sequences, stats.steps, stats.searches, stats.scores, stats.worst_kernel,
      stats.worst_sigmas, stats.worst_rotation);
  const char* names[] = {"add", "add_batch", "remove", "search", "filtered", "search_batch",
                         "save_load"};
  std::printf("model: steps (seconds):");
  for (std::size_t op = 0; op < 7; ++op) {
    std::printf(" %s %zu (%.1f)", names[op], stats.counts[op], stats.seconds[op]);
  }
  std::printf("; loads of the empty index %.1f s\n", stats.load_seconds);
}

// The harness itself: a model that forgets removals must be caught, and the
// sequence shrunk to the two steps that show it.
TEST_F(ModelTest, DisagreementIsShrunkToAShortReproducer) {
  Stats stats;
  Runner runner(*env, stats);
  runner.forget_removals = true;
  std::vector<Step> steps;
  for (Step& s : Generator(99, env->pools).sequence(24)) {
    if (s.op != Op::remove) steps.push_back(std::move(s));
  }
  steps.push_back(Step{Op::add, {777777}, {VecRef{}}, 0, 0, 0, false});
  steps.push_back(Step{Op::remove, {777777}, {}, 0, 0, 0, false});
  std::size_t failed_at = 0;
  ASSERT_TRUE(runner.run(steps, &failed_at).has_value());
  std::vector<Step> prefix(steps.begin(), steps.begin() + std::ptrdiff_t(failed_at + 1));
  const auto small = shrink(
      std::move(prefix),
      [&](const std::vector<Step>& c) {
        std::size_t at = 0;
        return runner.run(c, &at).has_value();
      },
      400);
  ASSERT_EQ(small.size(), 2u);
  EXPECT_EQ(small[0].op, Op::add);
  EXPECT_EQ(small[1].op, Op::remove);
  EXPECT_EQ(small[0].ids, small[1].ids);
}

TEST(Shrink, FindsTheMinimalFailingSubsequence) {
  std::vector<int> items(200);
  for (int i = 0; i < 200; ++i) items[std::size_t(i)] = i;
  std::size_t calls = 0;
  const auto fails = [&](const std::vector<int>& c) {
    ++calls;
    const auto a = std::find(c.begin(), c.end(), 13);
    const auto b = std::find(c.begin(), c.end(), 147);
    return a != c.end() && b != c.end() && a < b;
  };
  EXPECT_EQ(shrink(items, fails, 1000), (std::vector<int>{13, 147}));
  EXPECT_LT(calls, 100u);
}

}  // namespace
