// korvane: command-line tool for building, searching, inspecting and
// benchmarking index files.
//
//   korvane generate --n N --output FILE.npy [--for-queries] [--seed S] [--clusters C]
//   korvane build    --input VECTORS [--ids IDS.npy] [--threads T] [--ef N] [--seed S] --output FILE
//   korvane search   --index FILE --queries VECTORS [--k 10] [--m 64] [--threads T] [--output OUT]
//   korvane info     FILE
//   korvane bench    [--data VECTORS --queries VECTORS | --n N] [--k 10] [--m 16,32,...] [--threads T]
//
// Vectors are read from .npy (float32, N x 3072, C order), .fvecs (per
// vector: i32 dimension, then the floats) or .fbin (u32 count, u32
// dimension, then the floats).
#include <korvane.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "index_file.h"
#include "synthetic.h"
#include "vector_files.h"

namespace {

constexpr std::size_t c_dim = 3072;

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "korvane: %s\n", message.c_str());
  std::exit(1);
}

// ---- arguments ----

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> flags;

  bool has(const std::string& f) const { return flags.count(f) != 0; }
  std::string get(const std::string& f, const std::string& fallback = "") const {
    auto it = flags.find(f);
    return it == flags.end() ? fallback : it->second;
  }
  std::string need(const std::string& f) const {
    if (!has(f)) fail("missing --" + f + " (see --help)");
    return get(f);
  }
  std::uint64_t number(const std::string& f, std::uint64_t fallback) const {
    if (!has(f)) return fallback;
    const std::string& s = flags.at(f);
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || s[0] == '-') {
      fail("--" + f + " needs a non-negative integer, got '" + s + "'");
    }
    return v;
  }
};

Args parseArgs(int argc, char** argv, int first, const std::vector<std::string>& switches) {
  Args a;
  for (int i = first; i < argc; ++i) {
    std::string s = argv[i];
    if (s.rfind("--", 0) == 0) {
      s = s.substr(2);
      const auto eq = s.find('=');
      if (eq != std::string::npos) {
        a.flags[s.substr(0, eq)] = s.substr(eq + 1);
      } else if (std::find(switches.begin(), switches.end(), s) != switches.end()) {
        a.flags[s] = "1";
      } else {
        if (i + 1 >= argc) fail("--" + s + " needs a value");
        a.flags[s] = argv[++i];
      }
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

// ---- progress ----

class Progress {
 public:
  Progress(const char* what, std::size_t total) : what_(what), total_(total), start_(Clock::now()) {}
  void update(std::size_t done) {
    if (total_ == 0) return;
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

// ---- vector files ----

using vectorfiles::Matrix;

Matrix readVectors(const std::string& path) { return vectorfiles::readVectors(path, c_dim); }
using vectorfiles::extension;
using vectorfiles::readIds;
using vectorfiles::writeNpy;

Matrix generate(std::size_t n, std::uint64_t seed, std::uint64_t stream, std::size_t clusters) {
  Matrix m;
  m.rows = n;
  m.cols = c_dim;
  m.values = synthetic::clustered(n, seed, stream, clusters);
  return m;
}

// ---- commands ----

std::size_t defaultThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

korvane_index* loadIndex(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) fail("cannot open '" + path + "': " + std::strerror(errno));
  korvane_index* h = korvane_index_load(path.c_str());
  if (h == nullptr) fail(korvane_last_error());
  return h;
}

void buildInto(korvane_index* h, const Matrix& data, const std::vector<std::uint64_t>& ids,
               std::size_t threads) {
  Progress p("building", data.rows);
  const std::size_t slice = std::max<std::size_t>(4096, data.rows / 50);
  for (std::size_t first = 0; first < data.rows; first += slice) {
    const std::size_t n = std::min(slice, data.rows - first);
    const int rc = korvane_index_add_batch(h, &ids[first], &data.values[first * c_dim], n, threads);
    if (rc == -2) fail("duplicate id among the vectors " + std::to_string(first) + "..");
    if (rc != 0) fail("insertion failed (out of memory?)");
    p.update(first + n);
  }
}

int cmdGenerate(const Args& a) {
  const std::string out = a.need("output");
  const Matrix m = generate(a.number("n", 10000), a.number("seed", 1), a.has("for-queries") ? 1 : 0,
                            std::max<std::uint64_t>(1, a.number("clusters", 100)));
  writeNpy(out, "<f4", m.values.data(), m.rows, c_dim, 4);
  std::printf("wrote %zu vectors to %s\n", m.rows, out.c_str());
  return 0;
}

int cmdBuild(const Args& a) {
  const Matrix data = readVectors(a.need("input"));
  const std::string out = a.need("output");
  std::vector<std::uint64_t> ids;
  if (a.has("ids")) {
    ids = readIds(a.get("ids"), data.rows);
  } else {
    ids.resize(data.rows);
    for (std::size_t i = 0; i < data.rows; ++i) ids[i] = i;
  }
  const auto t0 = Clock::now();
  korvane_index* h = korvane_index_create(a.number("ef", 64), a.number("seed", 0));
  if (h == nullptr) fail("cannot create an index (out of memory)");
  buildInto(h, data, ids, a.number("threads", defaultThreads()));
  if (korvane_index_save(h, out.c_str()) != 0) fail("cannot save to '" + out + "'");
  std::printf("built %zu vectors in %.2f s, saved to %s\n", korvane_index_len(h), since(t0),
              out.c_str());
  korvane_index_destroy(h);
  return 0;
}

int cmdSearch(const Args& a) {
  korvane_index* h = loadIndex(a.need("index"));
  const Matrix q = readVectors(a.need("queries"));
  const std::size_t k = a.number("k", 10), m = a.number("m", 64);
  if (k == 0) fail("--k must be at least 1");
  std::vector<std::uint64_t> ids(q.rows * k, ~0ULL);
  std::vector<float> scores(q.rows * k, NAN);
  std::vector<std::size_t> counts(q.rows);
  if (korvane_search_batch(h, q.values.data(), q.rows, k, m, a.number("threads", defaultThreads()),
                           ids.data(), scores.data(), counts.data()) != 0) {
    fail("search failed (out of memory?)");
  }
  const std::string out = a.get("output", "-");
  if (extension(out) == ".npy") {
    // ids to OUT.npy, scores to OUT.scores.npy; missing entries are
    // 2^64 − 1 and NaN.
    writeNpy(out, "<u8", ids.data(), q.rows, k, 8);
    const std::string scores_path = out.substr(0, out.size() - 4) + ".scores.npy";
    writeNpy(scores_path, "<f4", scores.data(), q.rows, k, 4);
    std::printf("wrote %s and %s\n", out.c_str(), scores_path.c_str());
  } else {
    FILE* f = out == "-" ? stdout : std::fopen(out.c_str(), "w");
    if (f == nullptr) fail("cannot write '" + out + "': " + std::strerror(errno));
    std::fprintf(f, "query,rank,id,score\n");
    for (std::size_t i = 0; i < q.rows; ++i) {
      for (std::size_t r = 0; r < counts[i]; ++r) {
        std::fprintf(f, "%zu,%zu,%llu,%.9g\n", i, r, (unsigned long long)ids[i * k + r],
                     double(scores[i * k + r]));
      }
    }
    if (f != stdout) std::fclose(f);
  }
  korvane_index_destroy(h);
  return 0;
}

int cmdInfo(const Args& a) {
  if (a.positional.size() != 1) fail("usage: korvane info FILE");
  const std::string path = a.positional[0];
  // The header fields and section sizes as stored, then the whole file
  // validated by loading it.
  const indexfile::Summary s = indexfile::summarize(path);
  std::printf("file            %s\n", path.c_str());
  std::printf("size            %llu bytes\n", (unsigned long long)s.file_bytes);
  if (!s.magic_ok) {
    std::fprintf(stderr, "korvane: '%s' is not an index file (wrong magic)\n", path.c_str());
    return 1;
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
    std::fflush(stdout);
    std::fprintf(stderr, "korvane: %s\n", korvane_last_error());
    return 1;
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

std::vector<std::size_t> parseList(const std::string& s) {
  std::vector<std::size_t> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str() + pos, &end, 10);
    if (end == s.c_str() + pos) fail("bad list '" + s + "'");
    out.push_back(v);
    pos = std::size_t(end - s.c_str());
    if (pos < s.size() && s[pos] == ',') ++pos;
  }
  return out;
}

int cmdBench(const Args& a) {
  const std::size_t k = a.number("k", 10), threads = a.number("threads", defaultThreads());
  Matrix data, queries;
  if (a.has("data")) {
    data = readVectors(a.get("data"));
    queries = a.has("queries") ? readVectors(a.get("queries")) : Matrix{};
    if (queries.rows == 0) fail("--data needs --queries");
  } else {
    const std::size_t n = a.number("n", 20000);
    std::printf("generating %zu clustered vectors and %zu queries\n", n,
                std::size_t(a.number("nq", 200)));
    data = generate(n, a.number("seed", 1), 0, 100);
    queries = generate(a.number("nq", 200), a.number("seed", 1), 1, 100);
  }
  // Exact ground truth by brute force.
  std::vector<std::uint64_t> truth(queries.rows * k);
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
  korvane_index* h = korvane_index_create(a.number("ef", 64), a.number("seed", 1));
  if (h == nullptr) fail("cannot create an index (out of memory)");
  std::vector<std::uint64_t> ids(data.rows);
  for (std::size_t i = 0; i < data.rows; ++i) ids[i] = i;
  const auto t0 = Clock::now();
  buildInto(h, data, ids, threads);
  std::printf("built %zu vectors in %.2f s on %zu threads\n\n", data.rows, since(t0), threads);
  const std::string recall_label = "recall@" + std::to_string(k);
  std::printf("%6s  %10s  %12s  %12s\n", "m", recall_label.c_str(), "single q/s", "batch q/s");
  std::vector<std::uint64_t> out(queries.rows * k);
  std::vector<float> scores(queries.rows * k);
  std::vector<std::size_t> counts(queries.rows);
  for (std::size_t m : parseList(a.get("m", "16,32,64,128,256"))) {
    korvane_context* ctx = korvane_context_create(h, std::max<std::size_t>(m, 1));
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
    korvane_search_batch(h, queries.values.data(), queries.rows, k, m, threads, out.data(),
                         scores.data(), counts.data());
    const double batch = since(t);
    std::printf("%6zu  %10.3f  %12.0f  %12.0f\n", m, double(hits) / double(queries.rows * k),
                double(queries.rows) / single, double(queries.rows) / batch);
  }
  korvane_index_destroy(h);
  return 0;
}

const char* c_usage =
    "usage: korvane COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  generate  write clustered unit vectors to a .npy file\n"
    "  build     build an index from a vector file and save it\n"
    "  search    answer the queries of a vector file with an index\n"
    "  info      show and validate an index file\n"
    "  bench     recall@k against brute force and queries/s over a sweep of m\n"
    "\n"
    "'korvane COMMAND --help' describes a command.\n";

const std::map<std::string, const char*> c_help = {
    {"generate",
     "usage: korvane generate --n N --output FILE.npy [--seed S] [--clusters C] [--for-queries]\n"
     "  Writes N unit vectors (float32, N x 3072) drawn around C random centres\n"
     "  fixed by the seed; --for-queries draws a different sample of the same\n"
     "  distribution (use it for query files).\n"},
    {"build",
     "usage: korvane build --input VECTORS --output FILE [--ids IDS.npy] [--threads T]\n"
     "                     [--ef N] [--seed S]\n"
     "  VECTORS is .npy (float32 N x 3072), .fvecs or .fbin. Ids default to 0..N-1;\n"
     "  IDS.npy holds N int64/uint64 ids. --ef is the build breadth (default 64),\n"
     "  --threads defaults to all hardware threads, --seed to 0.\n"},
    {"search",
     "usage: korvane search --index FILE --queries VECTORS [--k 10] [--m 64] [--threads T]\n"
     "                      [--output OUT.csv|OUT.npy]\n"
     "  Writes query,rank,id,score rows as CSV (to standard output by default),\n"
     "  or ids to OUT.npy and scores to OUT.scores.npy (k columns per query;\n"
     "  missing entries are 2^64-1 and NaN).\n"},
    {"info",
     "usage: korvane info FILE\n"
     "  Prints the header fields, the vector, live and deleted counts, the layers\n"
     "  and the file size, and validates the whole file (exit status 1 if damaged).\n"},
    {"bench",
     "usage: korvane bench [--data VECTORS --queries VECTORS | --n N --nq Q] [--k 10]\n"
     "                     [--m 16,32,64,128,256] [--threads T] [--ef N] [--seed S]\n"
     "  Builds an index, computes the exact top k by brute force, and prints recall@k\n"
     "  and queries/s (single and batched) for each m. Without --data it generates\n"
     "  N clustered vectors (default 20000) and Q queries (default 200).\n"},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(c_usage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string cmd = argv[1];
  if (c_help.count(cmd) == 0) {
    std::fprintf(stderr, "korvane: unknown command '%s'\n\n%s", cmd.c_str(), c_usage);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(c_help.at(cmd), stdout);
      return 0;
    }
  }
  const Args a = parseArgs(argc, argv, 2, {"for-queries"});
  try {
    if (cmd == "generate") return cmdGenerate(a);
    if (cmd == "build") return cmdBuild(a);
    if (cmd == "search") return cmdSearch(a);
    if (cmd == "info") return cmdInfo(a);
    return cmdBench(a);
  } catch (const std::exception& e) {
    fail(e.what());
  }
}
