// Saving and loading: throughput (bytes_per_second = file bytes per second)
// and peak memory for an empty index and one of 20,000 clustered vectors.
//
// Peak memory is what one more run of the operation adds to the resident
// size at its highest (VmHWM after a reset, less VmRSS before), reported as
// MB and as a fraction of the file size. The in-memory serialize and
// deserialize are measured the same way for comparison. Times are wall
// clock: save includes fsync.
//
//   build/bench/storage_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "support/test_data.h"
#include "index.h"
#include "storage.h"

namespace {

using korvane::Index;

constexpr std::size_t c_vectors = 20000;

struct Fixture {
  std::unique_ptr<Index> index;
  std::string path;
  std::uint64_t file_bytes = 0;
};

std::string benchDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/korvane-storage-bench-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return dir;
}

// Index 0: empty; index 1: 20,000 vectors inserted in batches on two
// threads (about half a minute, once per run).
Fixture& fixture(int which) {
  static Fixture fixtures[2];
  Fixture& f = fixtures[which];
  if (f.index) return f;
  auto index = Index::init(32, 42);
  if (!index) std::abort();
  if (which == 1) {
    const auto data = testdata::clustered(c_vectors, 42, 0);
    std::vector<std::uint64_t> ids(c_vectors);
    for (std::size_t i = 0; i < c_vectors; ++i) ids[i] = i;
    if (!index->addBatch(ids, data.data(), 2)) std::abort();
    for (std::uint64_t id = 0; id < c_vectors; id += 50) (void)index->remove(id);
  }
  f.index = std::make_unique<Index>(std::move(*index));
  f.path = benchDir() + (which == 0 ? "/empty.tqx" : "/20k.tqx");
  if (!korvane::save(*f.index, f.path.c_str())) std::abort();
  struct stat st;
  if (::stat(f.path.c_str(), &st) != 0) std::abort();
  f.file_bytes = static_cast<std::uint64_t>(st.st_size);
  return f;
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
long statusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
      value = std::strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// Extra resident memory, in MB, that `op` needs at its peak: free heap
// memory is handed back first so that reused pages do not hide growth, and
// the kernel's peak-RSS mark is reset before `op` runs.
template <class Op>
double peakExtraMb(Op&& op) {
  ::malloc_trim(0);
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return -1;
  const bool reset = std::fputs("5", f) >= 0;
  if (std::fclose(f) != 0 || !reset) return -1;
  const long base = statusKb("VmRSS");
  op();
  const long peak = statusKb("VmHWM");
  return base < 0 || peak < 0 ? -1 : double(peak - base) / 1024.0;
}

void report(benchmark::State& state, const Fixture& f, double peak_mb) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(f.file_bytes));
  state.counters["file_MB"] = double(f.file_bytes) / (1 << 20);
  state.counters["peak_MB"] = peak_mb;
  state.counters["peak/file"] = peak_mb / (double(f.file_bytes) / (1 << 20));
}

// Arg 0: the empty index, 1: 20,000 vectors. Few iterations: each moves
// up to 130 MB.
void storageArgs(benchmark::internal::Benchmark* b) {
  b->ArgName("vectors_20k")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
  b->UseRealTime();
}

void BM_Save(benchmark::State& state) {
  const Fixture& f = fixture(int(state.range(0)));
  const std::string path = benchDir() + "/save.tqx";
  for (auto _ : state) {
    if (!korvane::save(*f.index, path.c_str())) state.SkipWithError("save failed");
  }
  report(state, f, peakExtraMb([&] { (void)korvane::save(*f.index, path.c_str()); }));
}
BENCHMARK(BM_Save)->Apply(storageArgs);

void loadRepeatedly(benchmark::State& state, const Fixture& f, const std::string& path) {
  for (auto _ : state) {
    auto loaded = korvane::load(path.c_str());
    if (!loaded) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(loaded);
  }
  report(state, f, peakExtraMb([&] { (void)korvane::load(path.c_str()); }));
}

void BM_Load(benchmark::State& state) {
  const Fixture& f = fixture(int(state.range(0)));
  loadRepeatedly(state, f, f.path);
}
BENCHMARK(BM_Load)->Apply(storageArgs);

// The same file without its checksum trailer, as files written before the
// trailer existed: the difference to BM_Load is the cost of verifying it.
void BM_LoadWithoutChecksum(benchmark::State& state) {
  const Fixture& f = fixture(int(state.range(0)));
  const std::string path = benchDir() + "/no_trailer.tqx";
  std::filesystem::copy_file(f.path, path, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(path, f.file_bytes - korvane::c_trailer_bytes);
  loadRepeatedly(state, f, path);
}
BENCHMARK(BM_LoadWithoutChecksum)->Apply(storageArgs);

void BM_Serialize(benchmark::State& state) {
  const Fixture& f = fixture(int(state.range(0)));
  const std::vector<korvane::Label> labels(f.index->payloadCount());
  for (auto _ : state) {
    auto bytes = korvane::serialize(*f.index, labels);
    benchmark::DoNotOptimize(bytes);
  }
  report(state, f, peakExtraMb([&] { (void)korvane::serialize(*f.index, labels); }));
}
BENCHMARK(BM_Serialize)->Apply(storageArgs);

void BM_Deserialize(benchmark::State& state) {
  const Fixture& f = fixture(int(state.range(0)));
  const std::vector<korvane::Label> labels(f.index->payloadCount());
  const auto bytes = korvane::serialize(*f.index, labels);
  if (!bytes) std::abort();
  for (auto _ : state) {
    auto loaded = korvane::deserialize(*bytes);
    benchmark::DoNotOptimize(loaded);
  }
  // The image held in memory is part of the baseline here: the peak is what
  // parsing adds to it.
  report(state, f, peakExtraMb([&] { (void)korvane::deserialize(*bytes); }));
}
BENCHMARK(BM_Deserialize)->Apply(storageArgs);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(benchDir());
  return 0;
}
