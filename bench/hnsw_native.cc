// hnsw_native: hnswlib built from its headers for this machine, measured on
// the files bench/peers.py writes. Builds an inner-product HNSW index on
// --threads threads (addPoint in parallel), then for each --ef value times
// one query at a time on one thread and all queries at once on --threads
// threads, and prints one JSON document with the timings, the memory and
// the ids found, from which peers.py computes recall.
//
//   hnsw_native --data x.fbin --queries q.fbin [--truth t.ibin] [--k 10]
//               [--M 16] [--ef-construction 200] [--threads 2] [--seed 1]
//               [--ef 10,16,24,...] [--save-dir DIR]
//
// .fbin: u32 rows, u32 columns, then rows * columns float32. .ibin: the same
// with int32 entries. With --truth (the exact top-k ids of every query), the
// sweep stops once recall@k reaches 0.9995 or gains less than 0.0005 over
// two steps, as peers.py's own sweeps do; the truth only decides where to
// stop.
//
// Built by bench/setup_peers.sh with -O3 -march=native.

#include <hnswlib/hnswlib.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Matrix {
  std::size_t rows = 0, cols = 0;
  std::vector<float> f;
  std::vector<std::int32_t> i;
};

Matrix read_bin(const std::string& path, bool ints) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw std::runtime_error("cannot open " + path);
  std::uint32_t head[2];
  if (std::fread(head, sizeof head, 1, file) != 1) {
    std::fclose(file);
    throw std::runtime_error(path + ": no header");
  }
  Matrix m;
  m.rows = head[0];
  m.cols = head[1];
  const std::size_t count = m.rows * m.cols;
  void* into;
  if (ints) {
    m.i.resize(count);
    into = m.i.data();
  } else {
    m.f.resize(count);
    into = m.f.data();
  }
  const std::size_t got = std::fread(into, 4, count, file);
  std::fclose(file);
  if (got != count) throw std::runtime_error(path + ": shorter than its header says");
  return m;
}

std::size_t rss_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t peak_rss_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Calls body(i) for every i in [begin, end) on `threads` threads, each
// taking the next index from a shared counter; rethrows the first failure.
void parallel_for(std::size_t begin, std::size_t end, std::size_t threads,
                  const std::function<void(std::size_t)>& body) {
  std::atomic<std::size_t> next{begin};
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  auto work = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= end || failed.load()) return;
      try {
        body(i);
      } catch (...) {
        if (!failed.exchange(true)) failure = std::current_exception();
        return;
      }
    }
  };
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

// The ids of one search, best first; -1 fills the rows shorter than k.
void take_ids(std::priority_queue<std::pair<float, hnswlib::labeltype>> found, std::size_t k,
              std::int64_t* row) {
  std::fill(row, row + k, -1);
  std::size_t count = found.size();
  while (!found.empty()) {
    --count;
    if (count < k) row[count] = static_cast<std::int64_t>(found.top().second);
    found.pop();
  }
}

double recall(const std::vector<std::int64_t>& ids, const Matrix& truth, std::size_t k) {
  std::size_t hits = 0;
  for (std::size_t q = 0; q < truth.rows; ++q) {
    std::set<std::int64_t> want(truth.i.begin() + q * truth.cols,
                                truth.i.begin() + q * truth.cols + k);
    for (std::size_t j = 0; j < k; ++j) hits += want.count(ids[q * k + j]);
  }
  return double(hits) / double(truth.rows * k);
}

void write_ids(std::ostringstream& out, const std::vector<std::int64_t>& ids, std::size_t k) {
  out << '[';
  for (std::size_t q = 0; q * k < ids.size(); ++q) {
    out << (q ? ",[" : "[");
    for (std::size_t j = 0; j < k; ++j) out << (j ? "," : "") << ids[q * k + j];
    out << ']';
  }
  out << ']';
}

std::vector<std::size_t> parse_list(const std::string& text) {
  std::vector<std::size_t> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) values.push_back(std::stoul(item));
  }
  return values;
}

const char* simd() {
#if defined(USE_AVX512)
  return ::AVX512Capable() ? "AVX-512" : (::AVXCapable() ? "AVX" : "SSE");
#elif defined(USE_AVX)
  return ::AVXCapable() ? "AVX" : "SSE";
#elif defined(USE_SSE)
  return "SSE";
#else
  return "none";
#endif
}

int usage() {
  std::fprintf(stderr,
               "usage: hnsw_native --data x.fbin --queries q.fbin [--truth t.ibin] [--k 10] "
               "[--M 16] [--ef-construction 200] [--threads 2] [--seed 1] "
               "[--ef 10,16,...] [--save-dir DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string data_path, query_path, truth_path, save_dir;
  std::size_t k = 10, M = 16, ef_construction = 200, threads = 2, seed = 1;
  std::vector<std::size_t> efs = {10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512};
  for (int a = 1; a < argc; ++a) {
    const std::string flag = argv[a];
    if (a + 1 >= argc) return usage();
    const std::string value = argv[++a];
    try {
      if (flag == "--data") data_path = value;
      else if (flag == "--queries") query_path = value;
      else if (flag == "--truth") truth_path = value;
      else if (flag == "--save-dir") save_dir = value;
      else if (flag == "--k") k = std::stoul(value);
      else if (flag == "--M") M = std::stoul(value);
      else if (flag == "--ef-construction") ef_construction = std::stoul(value);
      else if (flag == "--threads") threads = std::max<std::size_t>(1, std::stoul(value));
      else if (flag == "--seed") seed = std::stoul(value);
      else if (flag == "--ef") efs = parse_list(value);
      else return usage();
    } catch (const std::exception&) {
      return usage();
    }
  }
  if (data_path.empty() || query_path.empty() || k == 0) return usage();

  try {
    const Matrix x = read_bin(data_path, false);
    const Matrix q = read_bin(query_path, false);
    if (q.cols != x.cols) throw std::runtime_error("data and queries differ in width");
    Matrix truth;
    if (!truth_path.empty()) {
      truth = read_bin(truth_path, true);
      if (truth.rows != q.rows || truth.cols < k)
        throw std::runtime_error("the truth file does not match the queries");
    }
    const std::size_t n = x.rows, d = x.cols, nq = q.rows;

    malloc_trim(0);
    const std::size_t before = rss_bytes();
    const double start = now_s();
    hnswlib::InnerProductSpace space(d);
    auto* index = new hnswlib::HierarchicalNSW<float>(&space, n, M, ef_construction, seed);
    // The first point alone sets the entry point; the rest go in parallel.
    if (n > 0) index->addPoint(&x.f[0], 0);
    parallel_for(1, n, threads, [&](std::size_t i) { index->addPoint(&x.f[i * d], i); });
    const double build_s = now_s() - start;
    const std::size_t peak = peak_rss_bytes();
    malloc_trim(0);
    const std::size_t after = rss_bytes();

    std::size_t saved = 0;
    if (!save_dir.empty()) {
      const std::string path = save_dir + "/index.hnsw";
      index->saveIndex(path);
      std::ifstream file(path, std::ios::binary | std::ios::ate);
      saved = static_cast<std::size_t>(file.tellg());
      std::remove(path.c_str());
    }

    std::ostringstream out;
    out << "{\"n\":" << n << ",\"dim\":" << d << ",\"queries\":" << nq
        << ",\"simd\":\"" << simd() << "\",\"compiler\":\"" << __VERSION__ << "\""
        << ",\"build_s\":" << build_s << ",\"rss_before\":" << before
        << ",\"rss_after\":" << after << ",\"peak_rss\":" << peak
        << ",\"saved_bytes\":" << saved << ",\"points\":[";
    std::vector<double> recalls;
    std::vector<std::int64_t> single(nq * k), batch(nq * k);
    for (std::size_t e = 0; e < efs.size(); ++e) {
      index->setEf(efs[e]);
      if (nq) take_ids(index->searchKnn(&q.f[0], k), k, &single[0]);  // warm up
      double t = now_s();
      for (std::size_t i = 0; i < nq; ++i) take_ids(index->searchKnn(&q.f[i * d], k), k, &single[i * k]);
      const double single_s = now_s() - t;
      t = now_s();
      parallel_for(0, nq, threads,
                   [&](std::size_t i) { take_ids(index->searchKnn(&q.f[i * d], k), k, &batch[i * k]); });
      const double batch_s = now_s() - t;
      out << (e ? "," : "") << "{\"breadth\":" << efs[e] << ",\"qps_single\":" << nq / single_s
          << ",\"qps_batch\":" << nq / batch_s << ",\"ids\":";
      write_ids(out, single, k);
      out << ",\"batch_ids\":";
      write_ids(out, batch, k);
      out << '}';
      if (!truth_path.empty()) {
        recalls.push_back(recall(single, truth, k));
        std::fprintf(stderr, "  hnsw-native ef=%zu: recall %.4f, %.0f q/s single, %.0f q/s batch\n",
                     efs[e], recalls.back(), nq / single_s, nq / batch_s);
        const std::size_t r = recalls.size();
        if (recalls.back() >= 0.9995 || (r >= 3 && recalls[r - 1] - recalls[r - 3] < 0.0005)) break;
      }
    }
    out << "]}\n";
    std::fputs(out.str().c_str(), stdout);
    delete index;
  } catch (const std::exception& err) {
    std::fprintf(stderr, "hnsw_native: %s\n", err.what());
    return 1;
  }
  return 0;
}
