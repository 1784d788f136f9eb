#!/usr/bin/python3
"""korvane against hnswlib and faiss on the same 3072-dimension data.

For every system: build time on --threads threads, memory per vector, and
recall@k against exact inner-product search versus queries per second over a
sweep of the system's search breadth, both one query at a time on one thread
and all queries in one call on --threads threads. Writes a Markdown report
(benchmarks.md) and a recall-QPS plot (peers_recall_qps.png) to --out.

    KORVANE_LIBRARY=build/libkorvane.so /usr/bin/python3 bench/peers.py --n 50000

Data: by default clustered unit vectors (random unit centres plus Gaussian
noise, renormalised) with queries drawn the same way, not copied from the
data; or --data FILE (.npy float32 N x 3072, or .fbin: u32 n, u32 d, then
n*d float32) with --queries FILE, or, without one, the last rows of the data
file held out as queries.

Each system runs in its own forked process, so that memory one system frees
is never counted for the next, and no OpenMP runtime is started before a fork.
Needs python3-numpy, python3-hnswlib, python3-faiss and python3-matplotlib;
numpy and faiss want an optimised BLAS (libopenblas0) for the ground truth and
the IVF training to take seconds rather than many minutes.
"""

import argparse
import ctypes
import datetime
import gc
import json
import math
import multiprocessing
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
try:
    import korvane
except ImportError:
    sys.path.insert(0, str(REPO / "python"))
    import korvane

DIM = korvane.DIM
PAGE = os.sysconf("SC_PAGE_SIZE")
BREADTHS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512]
NPROBES = [1, 2, 4, 8, 16, 32, 64, 128]
RECALL_AXIS_FROM = 0.6  # the plot leaves out the points of lower recall


# -- data -----------------------------------------------------------------

def read_vectors(path, limit=None):
    path = pathlib.Path(path)
    if path.suffix == ".npy":
        x = np.load(path, mmap_mode="r")
    elif path.suffix == ".fbin":
        n, d = np.fromfile(path, dtype=np.uint32, count=2)
        x = np.memmap(path, dtype=np.float32, mode="r", offset=8, shape=(int(n), int(d)))
    else:
        raise SystemExit(f"{path}: expected a .npy or .fbin file")
    if x.ndim != 2 or x.shape[1] != DIM:
        raise SystemExit(f"{path}: expected float32 rows of {DIM} components, got shape {x.shape}")
    if limit is not None:
        x = x[:limit]
    return np.ascontiguousarray(x, dtype=np.float32)


def clustered(rng, centres, n, noise, chunk=4096):
    out = np.empty((n, DIM), dtype=np.float32)
    scale = np.float32(noise / math.sqrt(DIM))
    for start in range(0, n, chunk):
        rows = min(chunk, n - start)
        block = centres[rng.integers(0, centres.shape[0], size=rows)]
        block += rng.standard_normal((rows, DIM), dtype=np.float32) * scale
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        out[start:start + rows] = block
    return out


def make_data(args):
    if args.data:
        if args.query_file:
            x = read_vectors(args.data, args.n)
            q = read_vectors(args.query_file, args.queries)
        else:
            both = read_vectors(args.data, None if args.n is None else args.n + args.queries)
            if both.shape[0] <= args.queries:
                raise SystemExit("the data file has too few rows to hold out queries")
            x, q = both[:-args.queries], both[-args.queries:]
        about = f"`{args.data}`" + (f", queries `{args.query_file}`" if args.query_file
                                    else f", last {q.shape[0]} rows held out as queries")
        return x, q, about
    rng = np.random.default_rng(args.seed)
    clusters = args.clusters or max(1, args.n // 100)
    centres = rng.standard_normal((clusters, DIM), dtype=np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    x = clustered(rng, centres, args.n, args.noise)
    q = clustered(rng, centres, args.queries, args.noise)
    about = (f"generated: {clusters} random unit centres, each vector a centre plus Gaussian "
             f"noise of norm ~{args.noise:g}, renormalised to unit length (seed {args.seed}); "
             "queries drawn the same way (not copies of indexed vectors)")
    return x, q, about


def exact_top_k(x, q, k, chunk=256):
    truth = np.empty((q.shape[0], k), dtype=np.int64)
    for start in range(0, q.shape[0], chunk):
        s = q[start:start + chunk] @ x.T
        part = np.argpartition(-s, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(s, part, axis=1), axis=1, kind="stable")
        truth[start:start + chunk] = np.take_along_axis(part, order, axis=1)
    return truth


def recall(found, truth):
    k = truth.shape[1]
    hits = sum(np.intersect1d(f[f >= 0], t).size for f, t in zip(found, truth))
    return hits / (truth.shape[0] * k)


# -- systems --------------------------------------------------------------

class Korvane:
    label = "korvane"
    knob = "m"

    def __init__(self, args):
        self.efc = args.ef_construction
        self.breadths = [b for b in BREADTHS if b >= args.k]
        self.params = f"ef_construction={self.efc}, 32 links per node, m swept"

    def build(self, x, threads):
        self.index = korvane.Index(ef_construction=self.efc, seed=1)
        self.index.add(np.arange(x.shape[0], dtype=np.uint64), x, threads=threads)

    def saved_bytes(self, directory):
        path = os.path.join(directory, "index.korvane")
        self.index.save(path)
        return os.path.getsize(path)

    def set_breadth(self, b):
        self.m = b

    def search_one(self, q, k):
        return self.index.search(q, k=k, m=self.m)[0].astype(np.int64)

    def search_batch(self, q, k, threads):
        # Unused entries are 2**64 - 1, which becomes -1.
        return self.index.search(q, k=k, m=self.m, threads=threads)[0].astype(np.int64)


class Hnswlib:
    label = "hnswlib HNSW (float, ip)"
    knob = "ef"

    def __init__(self, args):
        import hnswlib
        self.hnswlib = hnswlib
        self.efc, self.M = args.ef_construction, args.M
        self.breadths = [b for b in BREADTHS if b >= args.k]
        self.params = f"M={self.M}, ef_construction={self.efc}, ef swept"

    def build(self, x, threads):
        self.index = self.hnswlib.Index(space="ip", dim=DIM)
        self.index.init_index(max_elements=x.shape[0], ef_construction=self.efc, M=self.M,
                              random_seed=1)
        self.index.add_items(x, np.arange(x.shape[0]), num_threads=threads)

    def saved_bytes(self, directory):
        path = os.path.join(directory, "index.hnsw")
        self.index.save_index(path)
        return os.path.getsize(path)

    def set_breadth(self, b):
        self.index.set_ef(b)

    def search_one(self, q, k):
        return self.index.knn_query(q[None], k=k, num_threads=1)[0][0].astype(np.int64)

    def search_batch(self, q, k, threads):
        return self.index.knn_query(q, k=k, num_threads=threads)[0].astype(np.int64)


class FaissBase:
    knob = "efSearch"

    def __init__(self, args):
        # Idle OpenMP workers sleep instead of spinning, which on a shared
        # machine would take the cores the other workers need. Read when
        # faiss loads the OpenMP runtime, in this (child) process.
        os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
        import faiss
        self.faiss = faiss
        self.args = args
        self.breadths = [b for b in BREADTHS if b >= args.k]

    def saved_bytes(self, directory):
        path = os.path.join(directory, "index.faiss")
        self.faiss.write_index(self.index, path)
        return os.path.getsize(path)

    def set_breadth(self, b):
        self.index.hnsw.efSearch = b

    def search_one(self, q, k):
        self.faiss.omp_set_num_threads(1)
        return self.index.search(q[None], k)[1][0]

    def search_batch(self, q, k, threads):
        self.faiss.omp_set_num_threads(threads)
        return self.index.search(q, k)[1]


class FaissHnswFlat(FaissBase):
    label = "faiss IndexHNSWFlat (ip)"

    def __init__(self, args):
        super().__init__(args)
        self.params = f"M={args.M}, efConstruction={args.ef_construction}, efSearch swept"

    def build(self, x, threads):
        self.faiss.omp_set_num_threads(threads)
        self.index = self.faiss.IndexHNSWFlat(DIM, self.args.M, self.faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = self.args.ef_construction
        self.index.add(x)


class FaissHnswSq8(FaissBase):
    label = "faiss IndexHNSWSQ (8-bit, ip)"

    def __init__(self, args):
        super().__init__(args)
        self.params = (f"QT_8bit, M={args.M}, efConstruction={args.ef_construction}, "
                       "efSearch swept; time includes training the quantizer")

    def build(self, x, threads):
        self.faiss.omp_set_num_threads(threads)
        self.index = self.faiss.IndexHNSWSQ(DIM, self.faiss.ScalarQuantizer.QT_8bit, self.args.M,
                                            self.faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = self.args.ef_construction
        self.index.train(x)
        self.index.add(x)


class FaissIvfFlat(FaissBase):
    label = "faiss IndexIVFFlat (ip)"
    knob = "nprobe"

    def __init__(self, args):
        super().__init__(args)
        self.nlist = max(1, round(4 * math.sqrt(args.n)))
        self.breadths = [p for p in NPROBES if p <= self.nlist]
        self.params = (f"nlist={self.nlist}, {args.ivf_niter} k-means iterations, nprobe swept; "
                       "time includes training")

    def build(self, x, threads):
        faiss = self.faiss
        faiss.omp_set_num_threads(threads)
        self.quantizer = faiss.IndexFlatIP(DIM)
        self.index = faiss.IndexIVFFlat(self.quantizer, DIM, self.nlist, faiss.METRIC_INNER_PRODUCT)
        self.index.cp.niter = self.args.ivf_niter
        self.index.cp.seed = 1
        self.index.train(x)
        self.index.add(x)

    def set_breadth(self, b):
        self.index.nprobe = b


SYSTEMS = {
    "korvane": Korvane,
    "hnswlib": Hnswlib,
    "faiss-hnsw": FaissHnswFlat,
    "faiss-hnsw-sq8": FaissHnswSq8,
    "faiss-ivf": FaissIvfFlat,
}


# -- measuring (in a child process per system) ------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def settle_memory():
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure(name, args, x, q, truth):
    system = SYSTEMS[name](args)
    k, threads = args.k, args.threads
    settle_memory()
    before = rss_bytes()
    start = time.perf_counter()
    system.build(x, threads)
    build_s = time.perf_counter() - start
    peak = peak_rss_bytes()
    settle_memory()
    after = rss_bytes()
    with tempfile.TemporaryDirectory(dir=args.tmp) as directory:
        saved = system.saved_bytes(directory)
    points = []
    for b in system.breadths:
        system.set_breadth(b)
        system.search_one(q[0], k)  # warm up caches and per-breadth state
        found = np.full((q.shape[0], k), -1, dtype=np.int64)
        start = time.perf_counter()
        for i in range(q.shape[0]):
            ids = system.search_one(q[i], k)
            found[i, :ids.shape[0]] = ids
        single_s = time.perf_counter() - start
        single_recall = recall(found, truth)
        start = time.perf_counter()
        found = system.search_batch(q, k, threads)
        batch_s = time.perf_counter() - start
        points.append({
            "breadth": b,
            "recall": single_recall,
            "batch_recall": recall(found, truth),
            "qps_single": q.shape[0] / single_s,
            "qps_batch": q.shape[0] / batch_s,
        })
        print(f"  {name} {system.knob}={b}: recall {single_recall:.4f}, "
              f"{points[-1]['qps_single']:.0f} q/s single, {points[-1]['qps_batch']:.0f} q/s batch",
              flush=True)
        # Past full recall, or on a plateau, a wider search only costs time.
        if single_recall >= 0.9995 or (
                len(points) >= 3 and points[-1]["recall"] - points[-3]["recall"] < 0.0005):
            break
    return {
        "name": name, "label": system.label, "knob": system.knob, "params": system.params,
        "build_s": build_s, "rss_growth": after - before, "peak_rss_growth": peak - before,
        "saved_bytes": saved, "points": points,
    }


def measure_in_child(name, args, x, q, truth):
    ctx = multiprocessing.get_context("fork")
    receiver, sender = ctx.Pipe(duplex=False)

    def child():
        try:
            sender.send(("ok", measure(name, args, x, q, truth)))
        except BaseException as err:  # report, never hang the parent
            sender.send(("error", f"{type(err).__name__}: {err}"))

    process = ctx.Process(target=child)
    process.start()
    sender.close()
    try:
        status, payload = receiver.recv()
    except EOFError:
        status, payload = "error", "the process died"
    process.join()
    if status != "ok":
        print(f"  {name} failed: {payload}", file=sys.stderr)
        return None
    return payload


# -- reporting --------------------------------------------------------------

def machine():
    fields = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        fields = {key.strip(): value.strip() for key, value in
                  (line.split(":", 1) for line in out.splitlines() if ":" in line)}
    except (OSError, subprocess.CalledProcessError):
        pass
    model = fields.get("Model name", platform.processor() or "unknown CPU")
    cpus = fields.get("CPU(s)", str(os.cpu_count()))
    per_core = fields.get("Thread(s) per core", "?")
    cpus = f"{cpus} CPUs" + (f" ({per_core} threads per core)" if per_core != "1" else "")
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return (f"{model}, {cpus}, "
            f"{mem_kib / 2**20:.0f} GiB RAM, Linux {platform.release()}")


def versions():
    import faiss
    from importlib import metadata
    lib = pathlib.Path(korvane._native.library()._name)
    real = lib.resolve() if lib.exists() else lib
    found = {"korvane": f"{korvane.__version__} ({real.name})"}
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        if head:
            found["korvane"] += f", source tree at {head} plus any uncommitted changes"
    except OSError:
        pass
    found["hnswlib"] = metadata.version("hnswlib")
    found["faiss"] = faiss.__version__
    found["numpy"] = np.__version__
    found["python"] = platform.python_version()
    return found


def best(points, key, floor):
    ok = [p for p in points if p["recall"] >= floor]
    if not ok:
        return None
    return max(ok, key=lambda p: p[key])


def fmt_best(result, key, floor):
    p = best(result["points"], key, floor)
    if p is None:
        return "—"
    return f"{p[key]:,.0f} ({result['knob']}={p['breadth']})"


def write_plot(results, meta, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    fig, axes = plt.subplots(1, 2, figsize=(13, 5.2))
    panels = [("qps_single", "recall", "one query at a time, 1 thread"),
              ("qps_batch", "batch_recall", f"all {meta['queries']} queries in one call, "
                                            f"{meta['threads']} threads")]
    markers = "osD^vP*X"
    for ax, (key, rkey, title) in zip(axes, panels):
        for i, r in enumerate(results):
            pts = r["points"]
            ax.plot([p[rkey] for p in pts], [p[key] for p in pts], marker=markers[i % len(markers)],
                    markersize=4, linewidth=1.4, label=r["label"])
        for floor in (0.90, 0.95):
            ax.axvline(floor, color="grey", linestyle=":", linewidth=0.8)
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.set_xlim(RECALL_AXIS_FROM, 1.005)
        ax.set_xlabel(f"recall@{meta['k']} (points below {RECALL_AXIS_FROM} left out)")
        ax.set_ylabel("queries per second (log scale)")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="both", linewidth=0.3, alpha=0.6)
    axes[0].legend(loc="lower left", fontsize=8)
    fig.suptitle(f"recall@{meta['k']} vs throughput, n = {meta['n']:,} vectors of {DIM} "
                 f"dimensions, {meta['machine_short']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_markdown(results, meta, path, plot_name):
    k = meta["k"]
    lines = [
        "# korvane against peers",
        "",
        f"Measured {meta['date']} by `bench/peers.py` ({meta['command']}).",
        "",
        f"- Machine: {meta['machine']}; load average before the run {meta['load_before']}, "
        f"after {meta['load_after']} (the machine was shared).",
        f"- Data: n = {meta['n']:,} vectors of {DIM} dimensions, {meta['queries']:,} queries; "
        f"{meta['data']}.",
        f"- Ground truth: exact inner products (numpy); recall@{k} = share of the true "
        f"{k} nearest found among the {k} returned.",
        f"- Threads: build and batched search on {meta['threads']} threads; single-query search "
        "on 1 thread, one call per query from Python (the per-call Python overhead, some "
        "microseconds, is in every system's figure). faiss runs with `OMP_WAIT_POLICY=PASSIVE`.",
        "- Memory: RSS growth of a fresh process over the build, after the build's garbage "
        "is released (`malloc_trim`), divided by n; fixed costs such as korvane's 36 MiB "
        "rotation are included. The size of the index's saved file is given beside it.",
        "- Versions: " + ", ".join(f"{name} {v}" for name, v in meta["versions"].items()) +
        ". hnswlib and faiss are the Debian packages, built for baseline x86-64; korvane is "
        "built for x86-64-v3 (AVX2, FMA).",
        "",
        "## Summary",
        "",
        f"Best queries per second at a recall@{k} of at least 0.90 and 0.95 (the breadth "
        "setting in parentheses); — where the sweep never reached it.",
        "",
        "| system | build (s) | bytes/vector (RSS) | bytes/vector (file) | single ≥0.90 | "
        "single ≥0.95 | batched ≥0.90 | batched ≥0.95 |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        lines.append(
            f"| {r['label']} | {r['build_s']:.1f} | {r['rss_growth'] / meta['n']:,.0f} | "
            f"{r['saved_bytes'] / meta['n']:,.0f} | {fmt_best(r, 'qps_single', 0.90)} | "
            f"{fmt_best(r, 'qps_single', 0.95)} | {fmt_best(r, 'qps_batch', 0.90)} | "
            f"{fmt_best(r, 'qps_batch', 0.95)} |")
    lines += ["", f"![recall@{k} against queries per second]({plot_name})", "",
              "## Settings", ""]
    for r in results:
        lines.append(f"- {r['label']}: {r['params']}; peak RSS growth during the build "
                     f"{r['peak_rss_growth'] / meta['n']:,.0f} bytes/vector.")
    lines += ["", "## Sweeps", "",
              "Recall is that of the single-query runs (the batched runs return the same "
              "results). A sweep stops once recall reaches 0.9995 or gains less than 0.0005 "
              "over two steps.", ""]
    for r in results:
        lines += [f"### {r['label']}", "",
                  f"| {r['knob']} | recall@{k} | q/s single | q/s batched |",
                  "|---:|---:|---:|---:|"]
        for p in r["points"]:
            lines.append(f"| {p['breadth']} | {p['recall']:.4f} | {p['qps_single']:,.0f} | "
                         f"{p['qps_batch']:,.0f} |")
        lines.append("")
    pathlib.Path(path).write_text("\n".join(lines))


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=50000, help="vectors to index (default 50000)")
    parser.add_argument("--queries", default="1000",
                        help="number of queries (default 1000), or a query file (.npy/.fbin)")
    parser.add_argument("--data", help="a .npy or .fbin file of float32 rows of 3072 components")
    parser.add_argument("--threads", type=int, default=2, help="build and batch threads (default 2)")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--clusters", type=int, default=0,
                        help="centres of the generated data (default n / 100)")
    parser.add_argument("--noise", type=float, default=1.0,
                        help="norm of the noise added to a unit centre (default 1.0)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--ef-construction", type=int, default=64,
                        help="build breadth of every graph index (default 64, korvane's own)")
    parser.add_argument("--M", type=int, default=16,
                        help="HNSW M for hnswlib and faiss (default 16: 32 links on layer 0, "
                             "as korvane)")
    parser.add_argument("--ivf-niter", type=int, default=10)
    parser.add_argument("--systems", default=",".join(SYSTEMS),
                        help="comma-separated subset of " + ", ".join(SYSTEMS))
    parser.add_argument("--out", default=str(REPO / "docs"))
    parser.add_argument("--json", help="also write the raw results here")
    parser.add_argument("--from-json", help="redraw the report from raw results; measure nothing")
    parser.add_argument("--tmp", default=None, help="directory for the saved index files")
    args = parser.parse_args()
    if args.queries.isdigit():
        args.queries, args.query_file = int(args.queries), None
    else:
        args.query_file, args.queries = args.queries, None

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    plot_name = "peers_recall_qps.png"
    if args.from_json:
        saved = json.loads(pathlib.Path(args.from_json).read_text())
        write_plot(saved["results"], saved["meta"], out / plot_name)
        write_markdown(saved["results"], saved["meta"], out / "benchmarks.md", plot_name)
        return

    names = [s for s in args.systems.split(",") if s]
    unknown = set(names) - set(SYSTEMS)
    if unknown:
        raise SystemExit(f"unknown systems: {', '.join(sorted(unknown))}")
    load_before = load_average()
    started = time.perf_counter()
    x, q, about = make_data(args)
    args.n, args.queries = x.shape[0], q.shape[0]
    print(f"data: {x.shape[0]} x {DIM}, {q.shape[0]} queries ({time.perf_counter() - started:.1f} s)",
          flush=True)
    truth = exact_top_k(x, q, args.k)
    print(f"ground truth ({time.perf_counter() - started:.1f} s)", flush=True)

    results = []
    for name in names:
        print(f"{name}:", flush=True)
        t = time.perf_counter()
        r = measure_in_child(name, args, x, q, truth)
        if r is not None:
            results.append(r)
            print(f"  built in {r['build_s']:.1f} s, {r['rss_growth'] / args.n:,.0f} bytes/vector; "
                  f"{time.perf_counter() - t:.0f} s in all", flush=True)
            if args.json:  # keep what is measured should a later system fail or be stopped
                pathlib.Path(args.json).write_text(json.dumps({"partial": results}, indent=1))

    model = machine()
    meta = {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "command": "`" + " ".join(["bench/peers.py"] + sys.argv[1:]) + "`",
        "machine": model,
        "machine_short": model.split(",")[0] + f", {args.threads} threads",
        "load_before": load_before,
        "load_after": load_average(),
        "data": about,
        "n": args.n,
        "queries": args.queries,
        "k": args.k,
        "threads": args.threads,
        "versions": versions(),
        "total_s": time.perf_counter() - started,
    }
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"meta": meta, "results": results}, indent=1))
    if results:
        write_plot(results, meta, out / plot_name)
        write_markdown(results, meta, out / "benchmarks.md", plot_name)
    print(f"wrote {out / 'benchmarks.md'} and {out / plot_name} "
          f"({meta['total_s']:.0f} s in all)", flush=True)


if __name__ == "__main__":
    main()
