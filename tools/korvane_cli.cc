// korvane: command-line tool for building, searching, inspecting and
// benchmarking index files.
//
//   korvane generate [--n N] --output FILE.npy [--for-queries] [--seed S] [--clusters C]
//   korvane build    --input VECTORS [--ids IDS.npy] [--threads T] [--ef N] [--seed S]
//                    [--store sq8|fp32|none] --output FILE
//   korvane search   --index FILE --queries VECTORS [--k 10] [--m M] [--threads T] [--output OUT]
//   korvane info     FILE
//   korvane bench    [--data VECTORS --queries VECTORS | --n N --nq Q] [--k 10] [--m 16,32,...]
//                    [--threads T] [--ef N] [--seed S]
//   korvane --version
//
// Vectors are read from .npy (float32, N x 3072, C order), .fvecs (per
// vector: i32 dimension, then the floats) or .fbin (u32 count, u32
// dimension, then the floats).
//
// Exit status: 0 success; 1 a failure while running (an unreadable, invalid
// or unwritable file, a library error, too little memory); 2 a usage error
// (an unknown option, a stray argument, a missing or malformed value).
#include <korvane.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "index_file.h"
#include "synthetic.h"
#include "vector_files.h"

namespace {

using arguments::Range;
using arguments::UsageError;

constexpr std::size_t c_dim = 3072;
constexpr std::uint64_t c_vector_bytes = c_dim * sizeof(float);

constexpr int c_exit_failure = 1;
constexpr int c_exit_usage = 2;

// Counts of vectors held in memory: their floats must have a 64-bit size.
const Range c_vector_count{1, SIZE_MAX / c_vector_bytes,
                           "more vectors of 3072 floats overflow 64-bit sizes"};
// k, m and ef: an index holds fewer than 2^32 vectors, so larger values
// cannot change a result.
const Range c_breadth{1, UINT32_MAX, "an index holds fewer than 2^32 vectors"};
const Range c_threads{1, SIZE_MAX, ""};
const Range c_seed{0, UINT64_MAX, ""};

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A failure while running: the message, exit status 1.
[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "korvane: %s\n", message.c_str());
  std::exit(c_exit_failure);
}

// ---- sizes ----

std::string humanBytes(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = double(bytes);
  int u = 0;
  while (v >= 1024 && u < 6) v /= 1024, ++u;
  char text[64];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return text;
}

// a * b, or a failure naming `what` when the product does not fit in 64 bits.
std::uint64_t product(std::uint64_t a, std::uint64_t b, const std::string& what) {
  if (b != 0 && a > UINT64_MAX / b) fail(what + " would need more than 2^64 bytes");
  return a * b;
}

std::uint64_t sum(std::uint64_t a, std::uint64_t b, const std::string& what) {
  if (a > UINT64_MAX - b) fail(what + " would need more than 2^64 bytes");
  return a + b;
}

// Refuses, before anything is allocated, arrays of `bytes` in all that
// cannot fit in the memory of this machine (an allocation that the system
// grants lazily would otherwise end the process later, without a message).
void checkMemory(std::uint64_t bytes, const std::string& what) {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return;
  const std::uint64_t have = std::uint64_t(pages) * std::uint64_t(page);
  if (bytes > have) {
    fail(what + " need " + humanBytes(bytes) + ", more than the " + humanBytes(have) +
         " of memory of this machine");
  }
}

// ---- output ----

// Standard output or a file, written with every error kept: the first
// failing write's reason is reported (exit status 1) by finish().
class Output {
 public:
  explicit Output(const std::string& path) : path_(path) {
    if (path == "-") {
      file_ = stdout;
    } else {
      file_ = std::fopen(path.c_str(), "w");
      if (file_ == nullptr) fail("cannot write '" + path + "': " + std::strerror(errno));
    }
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  [[gnu::format(printf, 2, 3)]] void print(const char* format, ...) {
    if (error_ != 0) return;
    va_list args;
    va_start(args, format);
    if (std::vfprintf(file_, format, args) < 0) error_ = errno != 0 ? errno : EIO;
    va_end(args);
  }

  void finish() {
    if (error_ == 0 && std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
    if (error_ == 0 && std::ferror(file_)) error_ = EIO;
    if (file_ != stdout && std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    if (error_ != 0) {
      fail((path_ == "-" ? std::string("cannot write standard output")
                         : "cannot write '" + path_ + "'") +
           ": " + std::strerror(error_));
    }
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

// The last word on standard output: what was printed with printf must have
// been written.
void finishStdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fail(std::string("cannot write standard output: ") + std::strerror(errno != 0 ? errno : EIO));
  }
}

// ---- progress ----

// How progress is shown on standard error: not at all (--quiet), as a bar
// redrawn in place (a terminal), or as one line per finished stage.
enum class ProgressMode { quiet, bar, lines };
ProgressMode g_progress = ProgressMode::lines;

class Progress {
 public:
  Progress(const char* what, std::size_t total) : what_(what), total_(total), start_(Clock::now()) {}
  void update(std::size_t done) {
    if (g_progress == ProgressMode::quiet || total_ == 0) return;
    if (g_progress == ProgressMode::lines) {
      if (done == total_) std::fprintf(stderr, "%-12s %zu/%zu  %.1fs\n", what_, done, total_, since(start_));
      return;
    }
    const int pct = int(100.0 * double(done) / double(total_));
    if (pct == last_ && done != total_) return;
    last_ = pct;
    const int width = 30, filled = pct * width / 100;
    std::fprintf(stderr, "\r%-12s [%.*s%*s] %3d%%  %zu/%zu  %.1fs", what_, filled,
                 "##############################", width - filled, "", pct, done, total_,
                 since(start_));
    if (done == total_) std::fprintf(stderr, "\n");
    std::fflush(stderr);
  }

 private:
  const char* what_;
  std::size_t total_;
  Clock::time_point start_;
  int last_ = -1;
};

// ---- options ----

// The value options of one command, bound to CLI11 as text and read after
// parsing with the command's own ranges and messages.
class Options {
 public:
  explicit Options(CLI::App* app) : app_(app) {}
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;

  void add(const std::string& name, const std::string& type, const std::string& help) {
    app_->add_option("--" + name, values_[name], help)->type_name(type);
  }
  bool has(const std::string& name) const { return app_->get_option("--" + name)->count() > 0; }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    return has(name) ? values_.at(name) : fallback;
  }
  std::string need(const std::string& name) const {
    if (!has(name)) throw UsageError("missing --" + name);
    return values_.at(name);
  }
  std::uint64_t number(const std::string& name, std::uint64_t fallback, const Range& range) const {
    return has(name) ? arguments::parseCount(name, values_.at(name), range) : fallback;
  }

 private:
  CLI::App* app_;
  std::map<std::string, std::string> values_;  // map nodes stay where CLI11 binds them
};

// ---- vector files ----

using vectorfiles::Matrix;

// The vectors of `path`; a file without any is refused.
Matrix readVectors(const std::string& path) {
  Matrix m = vectorfiles::readVectors(path, c_dim);
  if (m.rows == 0) fail("no vectors in '" + path + "'");
  return m;
}

Matrix generate(std::size_t n, std::uint64_t seed, std::uint64_t stream, std::size_t clusters) {
  checkMemory(sum(product(n, c_vector_bytes, "the vectors"),
                  product(clusters, c_vector_bytes, "the cluster centres"), "the vectors"),
              std::to_string(n) + " vectors and " + std::to_string(clusters) + " centres");
  Matrix m;
  m.rows = n;
  m.cols = c_dim;
  m.values = synthetic::clustered(n, seed, stream, clusters);
  return m;
}

// ---- commands ----

std::size_t defaultThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

korvane_index* loadIndex(const std::string& path) {
  korvane_index* h = korvane_index_load(path.c_str());
  if (h == nullptr) fail(korvane_last_error());
  return h;
}

// Refuses an id that occurs twice, naming both positions.
void checkUnique(const std::vector<std::uint64_t>& ids, const std::string& path) {
  std::vector<std::pair<std::uint64_t, std::size_t>> sorted(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) sorted[i] = {ids[i], i};
  std::sort(sorted.begin(), sorted.end());
  std::size_t first = ids.size(), second = ids.size();
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    // The repeat that comes earliest in the file.
    if (sorted[i].first == sorted[i - 1].first && sorted[i].second < second) {
      first = sorted[i - 1].second, second = sorted[i].second;
    }
  }
  if (second < ids.size()) {
    fail("'" + path + "': id " + std::to_string(ids[second]) + " at position " +
         std::to_string(second) + " repeats position " + std::to_string(first));
  }
}

void buildInto(korvane_index* h, const Matrix& data, const std::vector<std::uint64_t>& ids,
               std::size_t threads) {
  Progress p("building", data.rows);
  const std::size_t slice = std::max<std::size_t>(4096, data.rows / 50);
  for (std::size_t first = 0; first < data.rows; first += slice) {
    const std::size_t n = std::min(slice, data.rows - first);
    if (korvane_index_add_batch(h, &ids[first], &data.values[first * c_dim], n, threads) != 0) {
      fail(std::string("insertion failed: ") + korvane_last_error());
    }
    p.update(first + n);
  }
}

int cmdGenerate(const Options& a, bool for_queries) {
  const std::string out = a.need("output");
  const std::size_t n = a.number("n", 10000, c_vector_count);
  const std::uint64_t seed = a.number("seed", 1, c_seed);
  const std::size_t clusters = a.number("clusters", 100, c_vector_count);
  const Matrix m = generate(n, seed, for_queries ? 1 : 0, clusters);
  vectorfiles::writeNpy(out, "<f4", m.values.data(), m.rows, c_dim, 4);
  std::printf("wrote %zu vectors to %s\n", m.rows, out.c_str());
  return 0;
}

int storeKind(const std::string& name) {
  if (name == "sq8") return KORVANE_STORE_SQ8;
  if (name == "fp32") return KORVANE_STORE_FP32;
  if (name == "none") return KORVANE_STORE_NONE;
  throw UsageError("--store must be sq8, fp32 or none, got '" + name + "'");
}

int cmdBuild(const Options& a) {
  const std::string in = a.need("input"), out = a.need("output");
  const int store = storeKind(a.get("store", "sq8"));
  const std::size_t ef = a.number("ef", 64, c_breadth);
  const std::uint64_t seed = a.number("seed", 0, c_seed);
  const std::size_t threads = a.number("threads", defaultThreads(), c_threads);
  const Matrix data = readVectors(in);
  std::vector<std::uint64_t> ids;
  if (a.has("ids")) {
    ids = vectorfiles::readIds(a.get("ids"), data.rows);
    checkUnique(ids, a.get("ids"));
  } else {
    ids.resize(data.rows);
    for (std::size_t i = 0; i < data.rows; ++i) ids[i] = i;
  }
  const auto t0 = Clock::now();
  korvane_index* h = korvane_index_create_with_store(ef, seed, store);
  if (h == nullptr) fail(std::string("cannot create an index: ") + korvane_last_error());
  buildInto(h, data, ids, threads);
  if (korvane_index_save(h, out.c_str()) != 0) fail(korvane_last_error());
  std::printf("built %zu vectors in %.2f s, saved to %s\n", korvane_index_len(h), since(t0),
              out.c_str());
  korvane_index_destroy(h);
  return 0;
}

// m where the caller gives none: enough for k results.
std::size_t defaultM(std::size_t k) { return std::max<std::size_t>(64, k); }

int cmdSearch(const Options& a) {
  const std::string index = a.need("index"), queries = a.need("queries");
  const std::size_t k = a.number("k", 10, c_breadth);
  const std::size_t m = a.number("m", defaultM(k), c_breadth);
  const std::size_t threads = a.number("threads", defaultThreads(), c_threads);
  const std::string out = a.get("output", "-");
  korvane_index* h = loadIndex(index);
  // A query file without vectors is answered with no rows.
  Matrix q = vectorfiles::readVectors(queries, c_dim);
  const std::string what = std::to_string(q.rows) + " x " + std::to_string(k) + " results";
  const std::uint64_t cells = product(q.rows, k, what);
  // The results, and the library's copy of them until they are complete.
  checkMemory(product(cells, 2 * (sizeof(std::uint64_t) + sizeof(float)), what), what);
  std::vector<std::uint64_t> ids(cells, ~0ULL);
  std::vector<float> scores(cells, NAN);
  std::vector<std::size_t> counts(q.rows);
  if (q.rows > 0 && korvane_search_batch(h, q.values.data(), q.rows, k, m, threads, ids.data(),
                                         scores.data(), counts.data()) != 0) {
    fail(std::string("search failed: ") + korvane_last_error());
  }
  if (vectorfiles::extension(out) == ".npy") {
    // ids to OUT.npy, scores to OUT.scores.npy; missing entries are
    // 2^64 − 1 and NaN.
    vectorfiles::writeNpy(out, "<u8", ids.data(), q.rows, k, 8);
    const std::string scores_path = out.substr(0, out.size() - 4) + ".scores.npy";
    vectorfiles::writeNpy(scores_path, "<f4", scores.data(), q.rows, k, 4);
    std::printf("wrote %s and %s\n", out.c_str(), scores_path.c_str());
  } else {
    Output f(out);
    f.print("query,rank,id,score\n");
    for (std::size_t i = 0; i < q.rows; ++i) {
      for (std::size_t r = 0; r < counts[i]; ++r) {
        f.print("%zu,%zu,%llu,%.9g\n", i, r, (unsigned long long)ids[i * k + r],
                double(scores[i * k + r]));
      }
    }
    f.finish();
  }
  korvane_index_destroy(h);
  return 0;
}

int cmdInfo(const std::string& path) {
  if (path.empty()) throw UsageError("missing FILE");
  // The header fields and section sizes as stored, then the whole file
  // validated by loading it.
  const indexfile::Summary s = indexfile::summarize(path);
  std::printf("file            %s\n", path.c_str());
  std::printf("size            %llu bytes\n", (unsigned long long)s.file_bytes);
  if (!s.magic_ok) {
    finishStdout();
    std::fprintf(stderr, "korvane: '%s' is not an index file (wrong magic)\n", path.c_str());
    return c_exit_failure;
  }
  if (s.has_header) {
    std::printf("magic           TQX5\n");
    std::printf("dimension       %u\n", s.dimension);
    std::printf("max edges       %u\n", s.max_edges);
    std::printf("routing bits    %u\n", s.routing_bits);
    std::printf("vectors         %llu\n", (unsigned long long)s.vectors);
    std::printf("ef_construction %llu\n", (unsigned long long)s.ef_construction);
    std::printf("entry id        %llu\n", (unsigned long long)s.entry_id);
    std::printf("layers          %u\n", s.layer_count);
    std::printf("rerank store    %s\n", indexfile::storeName(s.store_kind));
    std::printf("calibrated      %s\n", s.calibrated != 0 ? "yes" : "no");
  }
  std::printf("checksum        %s\n", indexfile::checksumName(s.checksum));
  korvane_index* h = korvane_index_load(path.c_str());
  if (h == nullptr) {
    std::printf("valid           no\n");
    finishStdout();
    std::fprintf(stderr, "korvane: %s\n", korvane_last_error());
    return c_exit_failure;
  }
  std::printf("live vectors    %zu\n", korvane_index_len(h));
  std::printf("deleted         %llu\n", (unsigned long long)s.deleted);
  for (std::size_t l = 0; l < s.layer_nodes.size(); ++l) {
    std::printf("  layer %2zu      %llu nodes\n", l, (unsigned long long)s.layer_nodes[l]);
  }
  std::printf("valid           yes\n");
  korvane_index_destroy(h);
  return 0;
}

int cmdBench(const Options& a) {
  const std::size_t k = a.number("k", 10, c_breadth);
  const std::size_t threads = a.number("threads", defaultThreads(), c_threads);
  const std::size_t ef = a.number("ef", 64, c_breadth);
  const std::uint64_t seed = a.number("seed", 1, c_seed);
  std::vector<std::uint64_t> ms;
  if (a.has("m")) {
    ms = arguments::parseCountList("m", a.get("m"), c_breadth);
  } else {
    // The sweep, with a breadth that can give all k results.
    ms = {16, 32, 64, 128, 256};
    if (std::find(ms.begin(), ms.end(), defaultM(k)) == ms.end()) ms.push_back(defaultM(k));
    std::sort(ms.begin(), ms.end());
  }
  if (a.has("data") && !a.has("queries")) throw UsageError("--data needs --queries");
  if (a.has("queries") && !a.has("data")) throw UsageError("--queries needs --data");
  if (a.has("data") && (a.has("n") || a.has("nq"))) {
    throw UsageError("--data and --queries replace --n and --nq: give one or the other");
  }
  Matrix data, queries;
  if (a.has("data")) {
    data = readVectors(a.get("data"));
    queries = readVectors(a.get("queries"));
  } else {
    const std::size_t n = a.number("n", 20000, c_vector_count);
    const std::size_t nq = a.number("nq", 200, c_vector_count);
    checkMemory(sum(product(n, c_vector_bytes, "the vectors"), product(nq, c_vector_bytes, "the queries"),
                    "the vectors"),
                std::to_string(n) + " vectors and " + std::to_string(nq) + " queries");
    std::printf("generating %zu clustered vectors and %zu queries\n", n, nq);
    data = generate(n, seed, 0, 100);
    queries = generate(nq, seed, 1, 100);
  }
  // The ground truth (8 bytes a cell), the results (12) and the library's
  // copy of them (12), and the scores of one query against every vector.
  const std::string what = std::to_string(queries.rows) + " x " + std::to_string(k) + " results";
  const std::uint64_t cells = product(queries.rows, k, what);
  checkMemory(sum(product(cells, 32, what), product(data.rows, 16, what), what), what);
  // Exact ground truth by brute force.
  std::vector<std::uint64_t> truth(cells);
  {
    Progress p("truth", queries.rows);
    std::vector<std::pair<float, std::uint64_t>> scored(data.rows);
    for (std::size_t q = 0; q < queries.rows; ++q) {
      for (std::size_t i = 0; i < data.rows; ++i) {
        float lane[8] = {};
        const float* x = &data.values[i * c_dim];
        const float* y = &queries.values[q * c_dim];
        for (std::size_t j = 0; j < c_dim; j += 8) {
          for (int l = 0; l < 8; ++l) lane[l] += x[j + l] * y[j + l];
        }
        float s = 0;
        for (float v : lane) s += v;
        scored[i] = {s, i};
      }
      const std::size_t kk = std::min(k, data.rows);
      std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(kk), scored.end(),
                        [](auto& x, auto& y) { return x.first > y.first; });
      for (std::size_t r = 0; r < k; ++r) truth[q * k + r] = r < kk ? scored[r].second : ~0ULL;
      p.update(q + 1);
    }
  }
  korvane_index* h = korvane_index_create(ef, seed);
  if (h == nullptr) fail(std::string("cannot create an index: ") + korvane_last_error());
  std::vector<std::uint64_t> ids(data.rows);
  for (std::size_t i = 0; i < data.rows; ++i) ids[i] = i;
  const auto t0 = Clock::now();
  buildInto(h, data, ids, threads);
  std::printf("built %zu vectors in %.2f s on %zu threads\n\n", data.rows, since(t0), threads);
  const std::string recall_label = "recall@" + std::to_string(k);
  std::printf("%6s  %10s  %12s  %12s\n", "m", recall_label.c_str(), "single q/s", "batch q/s");
  std::vector<std::uint64_t> out(cells);
  std::vector<float> scores(cells);
  std::vector<std::size_t> counts(queries.rows);
  for (const std::size_t m : ms) {
    korvane_context* ctx = korvane_context_create(h, m);
    if (ctx == nullptr) fail(std::string("cannot make a search context: ") + korvane_last_error());
    auto t = Clock::now();
    for (std::size_t q = 0; q < queries.rows; ++q) {
      counts[q] = korvane_search(h, ctx, &queries.values[q * c_dim], k, &out[q * k], &scores[q * k]);
    }
    const double single = since(t);
    korvane_context_destroy(ctx);
    std::size_t hits = 0;
    for (std::size_t q = 0; q < queries.rows; ++q) {
      for (std::size_t r = 0; r < counts[q]; ++r) {
        hits += std::count(&truth[q * k], &truth[q * k] + k, out[q * k + r]) > 0;
      }
    }
    t = Clock::now();
    if (korvane_search_batch(h, queries.values.data(), queries.rows, k, m, threads, out.data(),
                             scores.data(), counts.data()) != 0) {
      fail(std::string("search failed: ") + korvane_last_error());
    }
    const double batch = since(t);
    std::printf("%6zu  %10.3f  %12.0f  %12.0f\n", m, double(hits) / double(queries.rows * k),
                double(queries.rows) / single, double(queries.rows) / batch);
  }
  korvane_index_destroy(h);
  return 0;
}

// ---- command line ----

const char* c_m_help =
    "m is the search breadth: the number of graph candidates a search considers.\n"
    "A larger m is slower and gives higher recall; a query gets at most min(k, m)\n"
    "results.";

// CLI11's help with a usage line of our own per command.
class HelpFormatter : public CLI::Formatter {
 public:
  std::map<std::string, std::string> usage;  // by command name
  HelpFormatter() { label("Positionals", "Arguments"); }
  std::string make_usage(const CLI::App* app, std::string) const override {
    const auto it = usage.find(app->get_name());
    return it == usage.end() ? std::string() : "usage: " + it->second + "\n";
  }
  // The summary of a command is shown in the list of commands; its own help
  // starts with the usage line.
  std::string make_description(const CLI::App*) const override { return ""; }
};

// The message for arguments CLI11 did not match, the first of them: an
// unknown option, with the nearest known one, or a stray argument.
std::string describeExtras(const CLI::App* command, const std::vector<std::string>& extras) {
  const std::string& first = extras.front();
  if (first.size() < 2 || first[0] != '-') return "unexpected argument '" + first + "'";
  const std::string option = first.substr(0, first.find('='));
  std::vector<std::string> names;
  for (const CLI::Option* o : command->get_options()) {
    for (const std::string& l : o->get_lnames()) names.push_back(l);
  }
  const std::size_t name_at = option.find_first_not_of('-');
  const std::string near =
      name_at == std::string::npos ? "" : arguments::nearest(option.substr(name_at), names);
  return "unknown option '" + option + "'" + (near.empty() ? "" : " (did you mean --" + near + "?)");
}

int usageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "korvane: %s (see 'korvane %s--help')\n", message.c_str(),
               command.empty() ? "" : (command + " ").c_str());
  return c_exit_usage;
}

int run(int argc, char** argv) {
  CLI::App app{"", "korvane"};
  auto formatter = std::make_shared<HelpFormatter>();
  app.formatter(formatter);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(0, 1);
  bool version = false, quiet = false;
  app.add_flag("--version", version, "print the library's version and exit");
  const char* c_quiet_help = "show no progress on standard error";
  app.add_flag("--quiet", quiet, c_quiet_help);
  formatter->usage["korvane"] = "korvane [--version] [--quiet] COMMAND [options]";
  app.footer(
      "'korvane COMMAND --help' describes a command. Progress goes to standard\n"
      "error: a bar redrawn in place on a terminal, otherwise a line per finished\n"
      "stage; --quiet (before or after COMMAND) leaves it out.\n"
      "Exit status: 0 success; 1 a failure while running (an unreadable, invalid or\n"
      "unwritable file, a library error, too little memory); 2 a usage error.");

  auto command = [&](const char* name, const char* summary, const char* usage, const char* details) {
    CLI::App* c = app.add_subcommand(name, summary)->group("Commands");
    c->add_flag("--quiet", quiet, c_quiet_help);
    c->footer(details);
    formatter->usage[name] = usage;
    return c;
  };

  CLI::App* gen = command(
      "generate", "write clustered unit vectors to a .npy file",
      "korvane generate [--n N] --output FILE.npy [--seed S] [--clusters C] [--for-queries]",
      "Writes N unit vectors (float32, N x 3072) drawn around C random centres\n"
      "fixed by the seed; --for-queries draws a different sample of the same\n"
      "distribution (use it for query files).");
  Options gen_opts(gen);
  gen_opts.add("n", "N", "number of vectors (default 10000)");
  gen_opts.add("output", "FILE.npy", "the file to write (required)");
  gen_opts.add("seed", "S", "fixes the centres and the sample (default 1)");
  gen_opts.add("clusters", "C", "number of centres (default 100)");
  bool for_queries = false;
  gen->add_flag("--for-queries", for_queries, "draw the query sample of the distribution");

  CLI::App* build = command(
      "build", "build an index from a vector file and save it",
      "korvane build --input VECTORS --output FILE [--ids IDS.npy] [--threads T]\n"
      "                     [--ef N] [--seed S] [--store sq8|fp32|none]",
      "VECTORS is .npy (float32 N x 3072), .fvecs or .fbin, with at least one\n"
      "vector. Ids default to 0..N-1; IDS.npy holds N distinct int64 (non-negative)\n"
      "or uint64 ids. The rerank store rescores a search's best candidates: sq8 an\n"
      "8-bit copy (3 KiB a vector), fp32 the exact vector (12 KiB, exact scores),\n"
      "none nothing (scores are 3-bit estimates).");
  Options build_opts(build);
  build_opts.add("input", "VECTORS", "the vectors to index (required)");
  build_opts.add("output", "FILE", "the index file to write (required)");
  build_opts.add("ids", "IDS.npy", "the id of each vector (default 0..N-1)");
  build_opts.add("threads", "T", "insertion threads (default all hardware threads)");
  build_opts.add("ef", "N", "build breadth: larger builds a better graph, more slowly (default 64;\nbelow 32 counts as 32)");
  build_opts.add("seed", "S", "fixes the index's random rotation (default 0)");
  build_opts.add("store", "STORE", "rerank store: sq8 (default), fp32 or none");

  const std::string search_details =
      std::string(
          "Writes query,rank,id,score rows as CSV (to standard output by default),\n"
          "or ids to OUT.npy and scores to OUT.scores.npy (k columns per query;\n"
          "missing entries are 2^64-1 and NaN). A query file without vectors gives\n"
          "no rows.\n\n") +
      c_m_help;
  CLI::App* search = command("search", "answer the queries of a vector file with an index",
                             "korvane search --index FILE --queries VECTORS [--k 10] [--m M]\n"
                             "                      [--threads T] [--output OUT.csv|OUT.npy]",
                             search_details.c_str());
  Options search_opts(search);
  search_opts.add("index", "FILE", "the index file (required)");
  search_opts.add("queries", "VECTORS", "the query vectors (required)");
  search_opts.add("k", "K", "results per query (default 10)");
  search_opts.add("m", "M", "search breadth (default max(64, k))");
  search_opts.add("threads", "T", "search threads (default all hardware threads)");
  search_opts.add("output", "OUT", "CSV file, or .npy pair (default: CSV to standard output)");

  CLI::App* info = command(
      "info", "show and validate an index file", "korvane info FILE",
      "Prints the header fields (the rerank store among them), the checksum, the\n"
      "vector, live and deleted counts, the layers and the file size, and validates\n"
      "the whole file (exit status 1 if damaged).");
  std::string info_file;
  info->add_option("FILE", info_file, "the index file")->type_name("");

  const std::string bench_details =
      std::string(
          "Builds an index, computes the exact top k by brute force, and prints recall@k\n"
          "and queries/s (single and batched) for each m. Without --data it generates\n"
          "N clustered vectors (default 20000) and Q queries (default 200). The default\n"
          "sweep is 16,32,64,128,256 and max(64, k). Single searches return at most\n"
          "256 results (the limit of korvane_search).\n\n") +
      c_m_help;
  CLI::App* bench = command("bench", "recall@k against brute force and queries/s over a sweep of m",
                            "korvane bench [--data VECTORS --queries VECTORS | --n N --nq Q] [--k 10]\n"
                            "                     [--m 16,32,64,128,256] [--threads T] [--ef N] [--seed S]",
                            bench_details.c_str());
  Options bench_opts(bench);
  bench_opts.add("data", "VECTORS", "the vectors to index (with --queries)");
  bench_opts.add("queries", "VECTORS", "the query vectors (with --data)");
  bench_opts.add("n", "N", "generated vectors (default 20000)");
  bench_opts.add("nq", "Q", "generated queries (default 200)");
  bench_opts.add("k", "K", "results per query (default 10)");
  bench_opts.add("m", "M,...", "search breadths to sweep (default 16,32,64,128,256 and max(64, k))");
  bench_opts.add("threads", "T", "build and batch search threads (default all hardware threads)");
  bench_opts.add("ef", "N", "build breadth (default 64)");
  bench_opts.add("seed", "S", "fixes the generated data and the rotation (default 1)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ExtrasError& e) {
    const std::vector<std::string> extras = app.remaining(true);
    const CLI::App* where = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
    if (where == &app && !extras.empty() && extras.front()[0] != '-') {
      std::fprintf(stderr, "korvane: unknown command '%s'\n\n%s", extras.front().c_str(),
                   app.help().c_str());
      return c_exit_usage;
    }
    return usageError(where == &app ? "" : where->get_name(),
                      extras.empty() ? e.what() : describeExtras(where, extras));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    const std::string where = app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name();
    return usageError(where, e.what());
  }

  if (version) {
    std::printf("korvane %s\n", korvane_version());
    finishStdout();
    return 0;
  }
  if (app.get_subcommands().empty()) {
    std::fputs(app.help().c_str(), stderr);
    return c_exit_usage;
  }
  CLI::App* cmd = app.get_subcommands().front();
  g_progress = quiet                     ? ProgressMode::quiet
               : ::isatty(STDERR_FILENO) ? ProgressMode::bar
                                         : ProgressMode::lines;
  int status = 0;
  try {
    for (const CLI::Option* o : cmd->get_options()) {
      if (o->count() > 1 && o->get_type_size_max() > 0) {
        throw UsageError(o->get_name() + " is given more than once");
      }
    }
    if (cmd == gen) status = cmdGenerate(gen_opts, for_queries);
    if (cmd == build) status = cmdBuild(build_opts);
    if (cmd == search) status = cmdSearch(search_opts);
    if (cmd == info) status = cmdInfo(info_file);
    if (cmd == bench) status = cmdBench(bench_opts);
  } catch (const UsageError& e) {
    return usageError(cmd->get_name(), e.what());
  }
  finishStdout();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    fail("out of memory");
  } catch (const std::exception& e) {
    fail(e.what());
  }
}
