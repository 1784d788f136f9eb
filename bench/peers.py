#!/usr/bin/python3
"""korvane against hnswlib (built for this machine) and other peers on 3072-dimension data.

    bench/setup_peers.sh          # Debian packages and build-peers/hnsw_native (peers.py
                                  # also runs it when the driver is missing or stale)
    make build                    # build/libkorvane.so

    # smoke check, 10-20 minutes: every installed system, both data kinds
    /usr/bin/python3 bench/peers.py --n 5000 --queries 200

    # full scale: 60,000 easy and 50,000 clustered vectors, 1,000 queries,
    # k = 10, 3 repeats; about 40 minutes for these two systems on 2 cores
    nohup /usr/bin/python3 bench/peers.py --systems korvane,hnsw-native \\
        > bench-results.log 2>&1 &

    # the committed report, docs/benchmarks.md and docs/peers_recall_qps.png,
    # only on a quiet machine
    /usr/bin/python3 bench/peers.py --write-docs

Writes peers.md, peers_recall_qps.png and peers.json to --out (default
bench-results/ in the source tree; docs/ only with --write-docs).

Systems:
- korvane through its Python package (build/libkorvane.so, or KORVANE_LIBRARY),
  batched search through Index.search(threads=...), single queries one call each;
  korvane-fp32 and korvane-none the same with the fp32 store and with none;
- hnsw-native: bench/hnsw_native.cc, hnswlib's headers (Debian's
  libhnswlib-dev) compiled with -O3 -march=native, inner product, addPoint in
  parallel for the build, a thread pool over searchKnn for batches;
- where their Debian packages are installed: hnswlib (python3-hnswlib) and
  faiss (python3-faiss: HNSW flat, HNSW 8-bit, IVF flat), both built for
  baseline x86-64 (SSE2), which understates them.

Data, all unit-norm, queries drawn from the same distribution (never copies
of indexed vectors):
- easy: low intrinsic dimension. A 48-dimension Gaussian latent whose
  component scales decay as j**-0.9, lifted to 3072 dimensions by a fixed
  random linear map, then tanh, then Gaussian noise of norm 0.1; the true
  top-10 inner product is about 0.85 at 60,000 vectors.
- clustered: random unit centres (n / 100 of them) plus Gaussian noise of
  norm 1, renormalised, as tools/synthetic.cc; top-10 inner product about 0.5.
- or --data FILE (.npy float32 N x 3072, or .fbin: u32 n, u32 d, n*d float32)
  with --queries FILE or, without one, the last rows held out as queries.
For each set the report gives the mean top-10 inner product and two
estimates of its intrinsic dimension: the principal components holding 90 %
of the variance (of a 4,000-row sample) and the two-NN estimate.

Method: exact top-k by numpy gives the ground truth. Every measurement is a
separate process started afresh with OMP_NUM_THREADS=1 (a forked process
could hang in an OpenMP runtime), which reads the data from files, builds on
--threads threads, and sweeps its search breadth (korvane m, hnswlib ef,
faiss efSearch or nprobe), timing all queries one at a time on one thread and
all at once on --threads threads; it returns the ids, and recall@k is
computed here. Each system is measured --repeats times (fresh builds,
systems interleaved), and every figure is the median of the repeats. The
first repeat stops its sweep once recall reaches 0.9995 or gains less than
0.0005 over two steps; the later ones run the same settings.
"""

import argparse
import datetime
import gc
import importlib.util
import json
import math
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
DIM = 3072
PAGE = os.sysconf("SC_PAGE_SIZE")
BREADTHS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512]
NPROBES = [1, 2, 4, 8, 16, 32, 64, 128]
FLOORS = (0.95, 0.99)
RECALL_AXIS_FROM = 0.5  # the plot leaves out the points of lower recall
PLOT_NAME = "peers_recall_qps.png"
NATIVE = "hnsw-native"
LOADS = []  # the 1-minute load average as each measurement starts

RUNNING = """\
```sh
bench/setup_peers.sh    # Debian packages; compiles build-peers/hnsw_native (-O3 -march=native)
make build              # build/libkorvane.so

# smoke check, 10-20 minutes: every installed system on both data kinds
/usr/bin/python3 bench/peers.py --n 5000 --queries 200

# full scale: 60,000 easy and 50,000 clustered vectors, 1,000 queries, k = 10,
# 3 repeats, korvane and the native hnswlib
nohup /usr/bin/python3 bench/peers.py --systems korvane,hnsw-native > bench-results.log 2>&1 &

# this page and its plot, on a quiet machine (without --write-docs the report
# goes to bench-results/)
/usr/bin/python3 bench/peers.py --write-docs
```"""

KINDS = {
    "easy": {"title": "easy data (low intrinsic dimension)", "n": 60000},
    "clustered": {"title": "clustered data", "n": 50000},
}


# -- files ------------------------------------------------------------------

def read_vectors(path, limit=None):
    """Float32 rows of DIM components, read into memory (never left mapped,
    so that a measured process counts the data before it builds)."""
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
    return np.array(x, dtype=np.float32, order="C", copy=True)


def write_bin(path, a):
    """.fbin (float32) or .ibin (int32): u32 rows, u32 columns, then the rows."""
    with open(path, "wb") as f:
        np.array(a.shape, dtype=np.uint32).tofile(f)
        np.ascontiguousarray(a).tofile(f)


def read_ibin(path):
    rows, cols = np.fromfile(path, dtype=np.uint32, count=2)
    return np.fromfile(path, dtype=np.int32, offset=8).reshape(int(rows), int(cols))


# -- data -------------------------------------------------------------------

def normalise_rows(a):
    a /= np.linalg.norm(a, axis=1, keepdims=True)
    return a


def clustered(rng, centres, n, noise, chunk=4096):
    out = np.empty((n, DIM), dtype=np.float32)
    scale = np.float32(noise / math.sqrt(DIM))
    for start in range(0, n, chunk):
        rows = min(chunk, n - start)
        block = centres[rng.integers(0, centres.shape[0], size=rows)]
        block += rng.standard_normal((rows, DIM), dtype=np.float32) * scale
        out[start:start + rows] = normalise_rows(block)
    return out


def lifted(rng, lift, scales, n, noise, chunk=4096):
    """Latent Gaussian vectors with per-component `scales`, mapped through
    the fixed matrix `lift` (latent x DIM) and tanh, plus isotropic noise."""
    out = np.empty((n, DIM), dtype=np.float32)
    noise = np.float32(noise / math.sqrt(DIM))
    for start in range(0, n, chunk):
        rows = min(chunk, n - start)
        z = rng.standard_normal((rows, scales.size), dtype=np.float32) * scales
        block = np.tanh(z @ lift)
        block += rng.standard_normal((rows, DIM), dtype=np.float32) * noise
        out[start:start + rows] = normalise_rows(block)
    return out


def make_data(kind, n, args):
    if kind == "file":
        if args.query_file:
            x = read_vectors(args.data, n)
            q = read_vectors(args.query_file, args.queries)
        else:
            both = read_vectors(args.data, None if n is None else n + args.queries)
            if both.shape[0] <= args.queries:
                raise SystemExit("the data file has too few rows to hold out queries")
            x, q = both[:-args.queries], both[-args.queries:]
        about = f"`{args.data}`" + (f", queries `{args.query_file}`" if args.query_file
                                    else f", last {q.shape[0]} rows held out as queries")
        return x, q, about
    rng = np.random.default_rng(args.seed)
    if kind == "easy":
        scales = np.arange(1, args.latent + 1, dtype=np.float32) ** np.float32(-args.decay)
        # Each pre-activation then has unit variance: tanh bends, but does not saturate.
        lift = rng.standard_normal((args.latent, DIM), dtype=np.float32)
        lift /= np.float32(math.sqrt(float(np.sum(scales.astype(np.float64) ** 2))))
        x = lifted(rng, lift, scales, n, args.easy_noise)
        q = lifted(rng, lift, scales, args.queries, args.easy_noise)
        about = (f"a {args.latent}-dimension Gaussian latent with component scales j^-{args.decay:g}, "
                 f"times a fixed random {args.latent} x {DIM} matrix, tanh, plus Gaussian noise of "
                 f"norm {args.easy_noise:g}, renormalised (seed {args.seed})")
        return x, q, about
    clusters = args.clusters or max(1, n // 100)
    centres = normalise_rows(rng.standard_normal((clusters, DIM), dtype=np.float32))
    x = clustered(rng, centres, n, args.noise)
    q = clustered(rng, centres, args.queries, args.noise)
    about = (f"{clusters} random unit centres, each vector a centre plus Gaussian noise of "
             f"norm {args.noise:g}, renormalised (seed {args.seed})")
    return x, q, about


def exact_top_k(x, q, k, chunk=256):
    """The ids of the k largest inner products of each query, best first, and those products."""
    ids = np.empty((q.shape[0], k), dtype=np.int64)
    scores = np.empty((q.shape[0], k), dtype=np.float32)
    for start in range(0, q.shape[0], chunk):
        s = q[start:start + chunk] @ x.T
        part = np.argpartition(-s, k - 1, axis=1)[:, :k]
        top = np.take_along_axis(s, part, axis=1)
        order = np.argsort(-top, axis=1, kind="stable")
        ids[start:start + chunk] = np.take_along_axis(part, order, axis=1)
        scores[start:start + chunk] = np.take_along_axis(top, order, axis=1)
    return ids, scores


def components_for_variance(x, share=0.9, sample=4000, seed=0):
    """Principal components of a row sample (centred) needed for `share` of the variance."""
    rng = np.random.default_rng(seed)
    rows = x if x.shape[0] <= sample else x[np.sort(rng.choice(x.shape[0], sample, replace=False))]
    rows = rows.astype(np.float64) - rows.mean(axis=0, dtype=np.float64)
    var = np.linalg.svd(rows, compute_uv=False) ** 2
    return int(np.searchsorted(np.cumsum(var) / var.sum(), share)) + 1, min(rows.shape)


def two_nn_dimension(x, sample=1000, seed=0):
    """The two-NN estimate (Facco et al. 2017): for points whose nearest and
    second-nearest neighbours lie at r1 and r2, r2/r1 is Pareto distributed
    with the intrinsic dimension as exponent; this is its maximum-likelihood
    value over a sample of the data, neighbours taken among all of it."""
    rng = np.random.default_rng(seed)
    picks = rng.choice(x.shape[0], min(sample, x.shape[0]), replace=False)
    s = x[picks] @ x.T
    s[np.arange(picks.size), picks] = -np.inf
    top = -np.sort(-np.partition(s, s.shape[1] - 2, axis=1)[:, -2:], axis=1)
    r = np.sqrt(np.maximum(2.0 - 2.0 * top.astype(np.float64), 0.0))  # unit vectors
    ok = r[:, 0] > 0
    ratios = np.log(r[ok, 1] / r[ok, 0])
    return float(ok.sum() / ratios.sum()) if ratios.sum() > 0 else float("inf")


def describe(x, scores):
    pcs, cap = components_for_variance(x)
    return {
        "mean_top_k_ip": float(scores.astype(np.float64).mean()),
        "mean_top1_ip": float(scores[:, 0].astype(np.float64).mean()),
        "pcs_90": pcs, "pcs_cap": cap,
        "two_nn": two_nn_dimension(x),
    }


def recall(found, truth):
    k = truth.shape[1]
    found = np.asarray(found)
    hits = sum(np.intersect1d(f[f >= 0], t).size for f, t in zip(found, truth))
    return hits / (truth.shape[0] * k)


def stop_sweep(recalls):
    """Past full recall, or on a plateau, a wider search only costs time."""
    return recalls[-1] >= 0.9995 or (len(recalls) >= 3 and recalls[-1] - recalls[-3] < 0.0005)


# -- systems measured by the Python worker -----------------------------------

class Korvane:
    label = "korvane"
    knob = "m"
    store = "sq8"

    def __init__(self, spec):
        global korvane
        try:
            import korvane
        except ImportError:
            sys.path.insert(0, str(REPO / "python"))
            import korvane
        self.efc = spec["ef_construction"]
        self.params = f"ef_construction={self.efc}, store={self.store}, seed 1, m swept"

    def default_breadths(self, spec):
        return [b for b in BREADTHS if b >= spec["k"]]

    def build(self, x, threads):
        self.index = korvane.Index(ef_construction=self.efc, seed=1, store=self.store)
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


class KorvaneFp32(Korvane):
    label = "korvane, fp32 store"
    store = "fp32"


class KorvaneNone(Korvane):
    label = "korvane, no store"
    store = "none"


class Hnswlib:
    label = "hnswlib, Debian python3-hnswlib (SSE2)"
    knob = "ef"

    def __init__(self, spec):
        import hnswlib
        self.hnswlib = hnswlib
        self.efc, self.M = spec["peer_ef_construction"], spec["M"]
        self.params = f"M={self.M}, ef_construction={self.efc}, inner product, ef swept"

    def default_breadths(self, spec):
        return [b for b in BREADTHS if b >= spec["k"]]

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

    def __init__(self, spec):
        # Idle OpenMP workers sleep instead of spinning, which on a shared
        # machine would take the cores the other workers need. Read when
        # faiss loads the OpenMP runtime.
        os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
        import faiss
        self.faiss = faiss
        self.spec = spec

    def default_breadths(self, spec):
        return [b for b in BREADTHS if b >= spec["k"]]

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
    label = "faiss IndexHNSWFlat, Debian python3-faiss"

    def __init__(self, spec):
        super().__init__(spec)
        self.params = (f"M={spec['M']}, efConstruction={spec['peer_ef_construction']}, "
                       "inner product, efSearch swept")

    def build(self, x, threads):
        self.faiss.omp_set_num_threads(threads)
        self.index = self.faiss.IndexHNSWFlat(DIM, self.spec["M"], self.faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = self.spec["peer_ef_construction"]
        self.index.add(x)


class FaissHnswSq8(FaissBase):
    label = "faiss IndexHNSWSQ 8-bit, Debian python3-faiss"

    def __init__(self, spec):
        super().__init__(spec)
        self.params = (f"QT_8bit, M={spec['M']}, efConstruction={spec['peer_ef_construction']}, "
                       "inner product, efSearch swept; time includes training the quantizer")

    def build(self, x, threads):
        self.faiss.omp_set_num_threads(threads)
        self.index = self.faiss.IndexHNSWSQ(DIM, self.faiss.ScalarQuantizer.QT_8bit, self.spec["M"],
                                            self.faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = self.spec["peer_ef_construction"]
        self.index.train(x)
        self.index.add(x)


class FaissIvfFlat(FaissBase):
    label = "faiss IndexIVFFlat, Debian python3-faiss"
    knob = "nprobe"

    def __init__(self, spec):
        super().__init__(spec)
        self.nlist = max(1, round(4 * math.sqrt(spec["n"])))
        self.params = (f"nlist={self.nlist}, {spec['ivf_niter']} k-means iterations, inner "
                       "product, nprobe swept; time includes training")

    def default_breadths(self, spec):
        return [p for p in NPROBES if p <= self.nlist]

    def build(self, x, threads):
        faiss = self.faiss
        faiss.omp_set_num_threads(threads)
        self.quantizer = faiss.IndexFlatIP(DIM)
        self.index = faiss.IndexIVFFlat(self.quantizer, DIM, self.nlist, faiss.METRIC_INNER_PRODUCT)
        self.index.cp.niter = self.spec["ivf_niter"]
        self.index.cp.seed = 1
        self.index.train(x)
        self.index.add(x)

    def set_breadth(self, b):
        self.index.nprobe = b


PYTHON_SYSTEMS = {
    "korvane": Korvane,
    "korvane-fp32": KorvaneFp32,
    "korvane-none": KorvaneNone,
    "hnswlib": Hnswlib,
    "faiss-hnsw": FaissHnswFlat,
    "faiss-hnsw-sq8": FaissHnswSq8,
    "faiss-ivf": FaissIvfFlat,
}
SYSTEM_ORDER = ["korvane", "korvane-fp32", "korvane-none", NATIVE, "hnswlib", "faiss-hnsw",
                "faiss-hnsw-sq8", "faiss-ivf"]
NATIVE_LABEL = "hnswlib native (-O3 -march=native)"
MODULES = {"hnswlib": "hnswlib", "faiss-hnsw": "faiss", "faiss-hnsw-sq8": "faiss",
           "faiss-ivf": "faiss"}


# -- the worker: one system, one fresh build, one sweep -----------------------

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
    import ctypes
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def worker(spec):
    x = read_vectors(spec["data"])
    q = read_vectors(spec["queries"])
    truth = read_ibin(spec["truth"]).astype(np.int64)
    k, threads = spec["k"], spec["threads"]
    system = PYTHON_SYSTEMS[spec["system"]](spec)
    breadths = spec["breadths"] or system.default_breadths(spec)
    settle_memory()
    before = rss_bytes()
    start = time.perf_counter()
    system.build(x, threads)
    build_s = time.perf_counter() - start
    peak = peak_rss_bytes()
    settle_memory()
    after = rss_bytes()
    with tempfile.TemporaryDirectory(dir=spec["tmp"]) as directory:
        saved = system.saved_bytes(directory)
    points, recalls = [], []
    for b in breadths:
        system.set_breadth(b)
        system.search_one(q[0], k)  # warm up caches and per-breadth state
        found = np.full((q.shape[0], k), -1, dtype=np.int64)
        start = time.perf_counter()
        for i in range(q.shape[0]):
            ids = system.search_one(q[i], k)
            found[i, :ids.shape[0]] = ids
        single_s = time.perf_counter() - start
        start = time.perf_counter()
        batch = system.search_batch(q, k, threads)
        batch_s = time.perf_counter() - start
        points.append({"breadth": b, "qps_single": q.shape[0] / single_s,
                       "qps_batch": q.shape[0] / batch_s,
                       "ids": found.tolist(), "batch_ids": np.asarray(batch).tolist()})
        recalls.append(recall(found, truth))
        print(f"  {spec['system']} {system.knob}={b}: recall {recalls[-1]:.4f}, "
              f"{points[-1]['qps_single']:.0f} q/s single, {points[-1]['qps_batch']:.0f} q/s batch",
              flush=True)
        if spec["stop"] and stop_sweep(recalls):
            break
    result = {"label": system.label, "knob": system.knob, "params": system.params,
              "build_s": build_s, "rss_before": before, "rss_after": after, "peak_rss": peak,
              "saved_bytes": saved, "points": points}
    pathlib.Path(spec["result"]).write_text(json.dumps(result))


# -- the parent: runs the workers and the native driver ------------------------

def native_binary(args):
    """The driver, compiled by bench/setup_peers.sh when missing or older than its source."""
    binary = pathlib.Path(args.native)
    source = REPO / "bench" / "hnsw_native.cc"
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        print(f"running bench/setup_peers.sh {binary.parent}", flush=True)
        subprocess.run(["sh", str(REPO / "bench" / "setup_peers.sh"), str(binary.parent)], check=True)
    return binary


def child_env():
    env = dict(os.environ)
    env["OMP_NUM_THREADS"] = "1"
    return env


def run_one(name, files, args, breadths, work):
    """One fresh process for `name`: returns its result, or None if it failed."""
    result_path = work / f"{name}.json"
    result_path.unlink(missing_ok=True)
    spec = {"system": name, "data": str(files["x"]), "queries": str(files["q"]),
            "truth": str(files["truth"]), "k": args.k, "threads": args.threads,
            "n": files["n"], "ef_construction": args.ef_construction,
            "peer_ef_construction": args.peer_ef_construction, "M": args.M,
            "ivf_niter": args.ivf_niter, "breadths": breadths, "stop": breadths is None,
            "tmp": str(work), "result": str(result_path)}
    if name == NATIVE:
        ef = breadths or [b for b in BREADTHS if b >= args.k]
        command = [str(args.native), "--data", spec["data"], "--queries", spec["queries"],
                   "--k", str(args.k), "--M", str(args.M),
                   "--ef-construction", str(args.peer_ef_construction),
                   "--threads", str(args.threads), "--seed", "1",
                   "--ef", ",".join(map(str, ef)), "--save-dir", str(work)]
        if breadths is None:
            command += ["--truth", spec["truth"]]
    else:
        command = [sys.executable, str(pathlib.Path(__file__).resolve()), "--worker", json.dumps(spec)]
    try:
        if name == NATIVE:
            with open(result_path, "w") as out:
                done = subprocess.run(command, stdout=out, env=child_env(), timeout=args.timeout)
        else:
            done = subprocess.run(command, env=child_env(), timeout=args.timeout)
    except subprocess.TimeoutExpired:
        print(f"  {name} did not finish in {args.timeout} s", file=sys.stderr, flush=True)
        return None
    if done.returncode != 0 or not result_path.exists():
        print(f"  {name} failed (exit status {done.returncode})", file=sys.stderr, flush=True)
        return None
    r = json.loads(result_path.read_text())
    result_path.unlink()
    if name == NATIVE:
        r.update(label=f"{NATIVE_LABEL}, {r.pop('simd')}", knob="ef",
                 params=f"M={args.M}, ef_construction={args.peer_ef_construction}, inner product, "
                        f"seed 1, ef swept; g++ {r.pop('compiler')}")
    return r


def score_run(r, truth):
    """Replaces the ids of a run by the recall they reach."""
    for p in r["points"]:
        p["recall"] = recall(p.pop("ids"), truth)
        p["batch_recall"] = recall(p.pop("batch_ids"), truth)
    r["rss_growth"] = r["rss_after"] - r["rss_before"]
    r["peak_rss_growth"] = r["peak_rss"] - r["rss_before"]
    return r


def median(values):
    return statistics.median(values)


def combine(name, runs):
    """One result of the medians of the repeats."""
    keep = set.intersection(*({p["breadth"] for p in r["points"]} for r in runs))
    points = []
    for b in sorted(keep):
        at = [next(p for p in r["points"] if p["breadth"] == b) for r in runs]
        point = {"breadth": b}
        for key in ("recall", "batch_recall", "qps_single", "qps_batch"):
            values = [p[key] for p in at]
            point[key] = median(values)
            point[key + "_range"] = [min(values), max(values)]
        points.append(point)
    first = runs[0]
    return {
        "name": name, "label": first["label"], "knob": first["knob"], "params": first["params"],
        "repeats": len(runs), "points": points,
        "build_s": median([r["build_s"] for r in runs]),
        "build_s_all": [r["build_s"] for r in runs],
        "rss_growth": median([r["rss_growth"] for r in runs]),
        "peak_rss_growth": median([r["peak_rss_growth"] for r in runs]),
        "saved_bytes": median([r["saved_bytes"] for r in runs]),
    }


def measure_kind(kind, names, args, work):
    n = KINDS[kind]["n"] if kind in KINDS and args.n is None else args.n
    started = time.perf_counter()
    x, q, about = make_data(kind, n, args)
    n = x.shape[0]
    truth, scores = exact_top_k(x, q, args.k)
    data = {"kind": kind, "title": KINDS.get(kind, {"title": "data from a file"})["title"],
            "about": about, "n": n, "queries": q.shape[0]}
    data.update(describe(x, scores))
    print(f"{kind}: {n} x {DIM}, {q.shape[0]} queries; mean top-{args.k} inner product "
          f"{data['mean_top_k_ip']:.3f} (top-1 {data['mean_top1_ip']:.3f}); intrinsic dimension: "
          f"{data['pcs_90']} principal components for 90 % of the variance, two-NN "
          f"{data['two_nn']:.1f} ({time.perf_counter() - started:.0f} s)", flush=True)
    files = {"x": work / f"{kind}-data.fbin", "q": work / f"{kind}-queries.fbin",
             "truth": work / f"{kind}-truth.ibin", "n": n}
    write_bin(files["x"], x)
    write_bin(files["q"], q)
    write_bin(files["truth"], truth.astype(np.int32))
    del x, q
    gc.collect()

    runs = {name: [] for name in names}
    breadths = {name: None for name in names}
    for repeat in range(args.repeats):
        for name in names:
            if repeat and not runs[name]:
                continue  # failed in the first repeat
            LOADS.append(float(load_average().split()[0]))
            print(f"{kind}, {name}, repeat {repeat + 1} of {args.repeats} (load average "
                  f"{LOADS[-1]:.2f}):", flush=True)
            t = time.perf_counter()
            r = run_one(name, files, args, breadths[name], work)
            if r is None:
                continue
            runs[name].append(score_run(r, truth))
            if breadths[name] is None:
                breadths[name] = [p["breadth"] for p in r["points"]]
            print(f"  built in {r['build_s']:.1f} s, {r['rss_growth'] / n:,.0f} bytes/vector; "
                  f"{time.perf_counter() - t:.0f} s in all", flush=True)
    for f in ("x", "q", "truth"):
        files[f].unlink()
    data["results"] = [combine(name, runs[name]) for name in names if runs[name]]
    return data


# -- reporting -------------------------------------------------------------------

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
    return f"{model}, {cpus}, {mem_kib / 2**20:.0f} GiB RAM, Linux {platform.release()}"


def debian_version(package):
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             capture_output=True, text=True).stdout.strip()
    except OSError:
        return None
    return out or None


def versions(names):
    sys.path.insert(0, str(REPO / "python"))
    import korvane
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
    for package, wanted in (("libhnswlib-dev", NATIVE in names),
                            ("python3-hnswlib", "hnswlib" in names),
                            ("python3-faiss", any(n.startswith("faiss") for n in names))):
        v = debian_version(package) if wanted else None
        if v:
            found[package] = v
    found["numpy"] = np.__version__
    found["python"] = platform.python_version()
    return found


def first_passing(points, rkey, floor):
    """The smallest setting of the sweep whose (median) recall reaches `floor`."""
    for p in points:
        if p[rkey] >= floor:
            return p
    return None


def qps_at(result, mode, floor):
    rkey, qkey = ("recall", "qps_single") if mode == "single" else ("batch_recall", "qps_batch")
    p = first_passing(result["points"], rkey, floor)
    return (None, None) if p is None else (p[qkey], p["breadth"])


def reference(results):
    """The peer korvane's ratios are taken against: the native hnswlib when measured."""
    others = [r for r in results if not r["name"].startswith("korvane")]
    native = [r for r in others if r["name"] == NATIVE]
    return (native or others or [None])[0]


def summary_rows(data, n):
    lines = ["| system | build (s) | RSS bytes/vector | file bytes/vector | best recall | "
             + " | ".join(f"{mode} q/s, recall ≥ {floor}" for mode in ("single", "batched")
                          for floor in FLOORS) + " |",
             "|---|---:|---:|---:|---:|" + "---:|" * (2 * len(FLOORS))]
    results = data["results"]
    for r in results:
        cells = []
        for mode in ("single", "batch"):
            for floor in FLOORS:
                qps, b = qps_at(r, mode, floor)
                cells.append("—" if qps is None else f"{qps:,.0f} ({r['knob']}={b})")
        best = max((p["recall"] for p in r["points"]), default=0.0)
        lines.append(f"| {r['label']} | {r['build_s']:.1f} | {r['rss_growth'] / n:,.0f} | "
                     f"{r['saved_bytes'] / n:,.0f} | {best:.4f} | " + " | ".join(cells) + " |")
    ours = next((r for r in results if r["name"] == "korvane"), None)
    peer = reference(results)
    if ours and peer:
        def ratio(a, b):
            return "—" if a is None or b is None or b == 0 else f"{a / b:.2f}"
        cells = []
        for mode in ("single", "batch"):
            for floor in FLOORS:
                cells.append(ratio(qps_at(ours, mode, floor)[0], qps_at(peer, mode, floor)[0]))
        lines.append(f"| **korvane / {peer['label'].split(',')[0]}** | "
                     f"{ratio(ours['build_s'], peer['build_s'])} | "
                     f"{ratio(ours['rss_growth'], peer['rss_growth'])} | "
                     f"{ratio(ours['saved_bytes'], peer['saved_bytes'])} | | "
                     + " | ".join(cells) + " |")
    return lines


def fmt_range(p, key):
    lo, hi = p[key + "_range"]
    return f"{p[key]:,.0f}" if lo == hi else f"{p[key]:,.0f} ({lo:,.0f}–{hi:,.0f})"


def write_markdown(report, path, plot_name):
    meta, k = report["meta"], report["meta"]["k"]
    threads = meta["threads"]
    lines = [
        "# korvane against peers",
        "",
        f"Measured {meta['date']} by `bench/peers.py` ({meta['command']}), "
        f"{meta['total_s'] / 60:.0f} minutes in all.",
        "",
        f"- Machine: {meta['machine']}; load average before the run {meta['load_before']}, "
        f"after {meta['load_after']}" + (
            f"; 1-minute load {meta['loads'][0]:.1f} to {meta['loads'][1]:.1f} as the "
            f"measurements started (this benchmark keeps up to {threads} cores busy; more is "
            "other work sharing the machine)" if meta.get("loads") else "") + ".",
        f"- Method: every system is measured {meta['repeats']} times, each time in a fresh "
        "process (started with `OMP_NUM_THREADS=1`) that reads the data, builds and sweeps its "
        "search breadth; systems take turns within each repeat. Every figure is the median of "
        "the repeats (the sweeps give the range of the queries per second in parentheses).",
        f"- Ground truth: exact inner products (numpy); recall@{k} is the share of the true "
        f"{k} nearest among the {k} returned, computed from the returned ids.",
        f"- Threads: build and batched search on {threads} threads (korvane: `Index.add` and "
        f"`Index.search(threads={threads})`; native hnswlib: `addPoint` and `searchKnn` on a "
        f"pool of {threads} threads); single-query search on 1 thread, one call per query "
        "(from Python for every system but the native hnswlib, whose loop is in C++: the "
        "Python call, some microseconds, is in the others' figures).",
        "- q/s at recall ≥ 0.95 or 0.99: the queries per second of the first (smallest) "
        "setting of the sweep whose median recall reaches that level, not interpolated; — "
        "where none did. Ratios are korvane's figure over the peer's: for build time and "
        "memory below 1 favours korvane, for queries per second above 1 does.",
        "- Memory: RSS growth of the measuring process over the build (after `malloc_trim`), "
        "divided by n, fixed costs such as korvane's 36 MiB rotation included; the size of "
        "the saved index beside it.",
        "- Versions: " + ", ".join(f"{name} {v}" for name, v in meta["versions"].items()) +
        ". korvane is built for x86-64-v3 (AVX2, FMA); the native hnswlib for this CPU; the "
        "Debian Python builds of hnswlib and faiss for baseline x86-64 (SSE2).",
        "",
        "## Running",
        "",
        RUNNING,
        "",
        "## Data",
        "",
        f"Unit vectors of {DIM} components; queries drawn from the same distribution, never "
        "copies of indexed vectors. Intrinsic dimension: principal components for 90 % of "
        "the variance of a sample (at most 4,000 rows), and the two-NN estimate over 1,000 "
        "points.",
        "",
        f"| data | n | queries | mean top-{k} inner product | top-1 | PCs for 90 % | two-NN | "
        "generated as |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for d in report["kinds"]:
        pcs = f"{d['pcs_90']:,}" + (f" (of at most {d['pcs_cap']:,})"
                                     if d["pcs_90"] > 0.5 * d["pcs_cap"] else "")
        lines.append(f"| {d['kind']} | {d['n']:,} | {d['queries']:,} | {d['mean_top_k_ip']:.3f} | "
                     f"{d['mean_top1_ip']:.3f} | {pcs} | {d['two_nn']:.1f} | {d['about']} |")
    for d in report["kinds"]:
        lines += ["", f"## {d['title'][0].upper() + d['title'][1:]}: n = {d['n']:,}", ""]
        lines += summary_rows(d, d["n"])
    lines += ["", f"![recall@{k} against queries per second]({plot_name})", "", "## Settings", ""]
    seen = set()
    for d in report["kinds"]:
        for r in d["results"]:
            if r["name"] not in seen:
                seen.add(r["name"])
                lines.append(f"- {r['label']}: {r['params']}.")
    lines += ["", "Build times of the single repeats, seconds:", ""]
    for d in report["kinds"]:
        for r in d["results"]:
            lines.append(f"- {d['kind']}, {r['label']}: "
                         + ", ".join(f"{s:.1f}" for s in r["build_s_all"]))
    lines += ["", "## Sweeps", "",
              "Medians over the repeats; batched recall equals single-query recall unless shown. "
              "The first repeat stops a sweep once recall reaches 0.9995 or gains less than "
              "0.0005 over two steps.", ""]
    for d in report["kinds"]:
        for r in d["results"]:
            lines += [f"### {d['kind']}: {r['label']}", "",
                      f"| {r['knob']} | recall@{k} | q/s single | q/s batched |",
                      "|---:|---:|---:|---:|"]
            for p in r["points"]:
                rec = f"{p['recall']:.4f}"
                if abs(p["batch_recall"] - p["recall"]) > 1e-9:
                    rec += f" (batched {p['batch_recall']:.4f})"
                lines.append(f"| {p['breadth']} | {rec} | {fmt_range(p, 'qps_single')} | "
                             f"{fmt_range(p, 'qps_batch')} |")
            lines.append("")
    pathlib.Path(path).write_text("\n".join(lines))


def write_plot(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    meta, kinds = report["meta"], report["kinds"]
    fig, axes = plt.subplots(len(kinds), 2, figsize=(13, 5 * len(kinds)), squeeze=False)
    panels = [("qps_single", "recall", "one query at a time, 1 thread"),
              ("qps_batch", "batch_recall", f"all queries in one call, {meta['threads']} threads")]
    markers = "osD^vP*X"
    names = [r["name"] for d in kinds for r in d["results"]]
    style = {name: markers[i % len(markers)] for i, name in enumerate(dict.fromkeys(names))}
    for row, d in zip(axes, kinds):
        for ax, (key, rkey, title) in zip(row, panels):
            for r in d["results"]:
                pts = r["points"]
                ax.plot([p[rkey] for p in pts], [p[key] for p in pts], marker=style[r["name"]],
                        markersize=4, linewidth=1.4, label=r["label"])
            for floor in FLOORS:
                ax.axvline(floor, color="grey", linestyle=":", linewidth=0.8)
            ax.set_yscale("log")
            ax.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 1.5, 2.0, 3.0, 5.0, 7.0)))
            ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
            ax.yaxis.set_minor_formatter(NullFormatter())
            ax.set_xlim(RECALL_AXIS_FROM, 1.005)
            ax.set_xlabel(f"recall@{meta['k']} (points below {RECALL_AXIS_FROM} left out)")
            ax.set_ylabel("queries per second (log scale)")
            ax.set_title(f"{d['title']}, n = {d['n']:,}: {title}", fontsize=10)
            ax.grid(True, which="both", linewidth=0.3, alpha=0.6)
        row[0].legend(loc="lower left", fontsize=8)
    fig.suptitle(f"recall@{meta['k']} against throughput, {DIM} dimensions, medians of "
                 f"{meta['repeats']} repeats, {meta['machine_short']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_report(report, out, docs):
    md = out / ("benchmarks.md" if docs else "peers.md")
    write_plot(report, out / PLOT_NAME)
    write_markdown(report, md, PLOT_NAME)
    print(f"wrote {md} and {out / PLOT_NAME}", flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def available(names):
    """The systems that can run here; the missing ones are named and left out."""
    keep = []
    for name in names:
        module = MODULES.get(name)
        if module and importlib.util.find_spec(module) is None:
            print(f"{name}: the Python module {module} is not installed "
                  "(bench/setup_peers.sh installs it); left out", flush=True)
        else:
            keep.append(name)
    return keep


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(json.loads(sys.argv[2]))
        return
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--kinds", default="easy,clustered",
                        help="generated data sets, comma-separated: easy, clustered "
                             "(default both; ignored with --data)")
    parser.add_argument("--n", type=int, default=None,
                        help="vectors to index (default 60000 easy, 50000 clustered)")
    parser.add_argument("--queries", default="1000",
                        help="number of queries (default 1000), or a query file (.npy/.fbin)")
    parser.add_argument("--data", help="a .npy or .fbin file of float32 rows of 3072 components")
    parser.add_argument("--repeats", type=int, default=3, help="measurements per system (default 3)")
    parser.add_argument("--threads", type=int, default=2, help="build and batch threads (default 2)")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--latent", type=int, default=48, help="easy data: latent dimensions")
    parser.add_argument("--decay", type=float, default=0.9,
                        help="easy data: latent component j has scale j**-decay")
    parser.add_argument("--easy-noise", type=float, default=0.1,
                        help="easy data: norm of the added noise (default 0.1)")
    parser.add_argument("--clusters", type=int, default=0,
                        help="clustered data: centres (default n / 100)")
    parser.add_argument("--noise", type=float, default=1.0,
                        help="clustered data: norm of the noise added to a unit centre (default 1)")
    parser.add_argument("--ef-construction", type=int, default=64,
                        help="korvane's build breadth (default 64, its own)")
    parser.add_argument("--peer-ef-construction", type=int, default=200,
                        help="the HNSW peers' ef_construction (default 200, hnswlib's)")
    parser.add_argument("--M", type=int, default=16, help="the HNSW peers' M (default 16)")
    parser.add_argument("--ivf-niter", type=int, default=10)
    parser.add_argument("--systems", default=",".join(SYSTEM_ORDER),
                        help="comma-separated subset of " + ", ".join(SYSTEM_ORDER)
                             + " (default all; those not installed are left out)")
    parser.add_argument("--native", default=str(REPO / "build-peers" / "hnsw_native"),
                        help="the native hnswlib driver (default build-peers/hnsw_native)")
    parser.add_argument("--out", default=str(REPO / "bench-results"),
                        help="output directory (default bench-results/)")
    parser.add_argument("--write-docs", action="store_true",
                        help="write docs/benchmarks.md and docs/peers_recall_qps.png instead")
    parser.add_argument("--from-json", help="redraw the report from a peers.json; measure nothing")
    parser.add_argument("--tmp", default=None, help="directory for the data and index files")
    parser.add_argument("--timeout", type=int, default=7200,
                        help="seconds one measuring process may take (default 7200)")
    args = parser.parse_args()
    if args.queries.isdigit():
        args.queries, args.query_file = int(args.queries), None
    else:
        args.query_file, args.queries = args.queries, None

    out = REPO / "docs" if args.write_docs else pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.from_json:
        write_report(json.loads(pathlib.Path(args.from_json).read_text()), out, args.write_docs)
        return

    names = [s for s in args.systems.split(",") if s]
    unknown = set(names) - set(SYSTEM_ORDER)
    if unknown:
        raise SystemExit(f"unknown systems: {', '.join(sorted(unknown))}")
    names = available(names)
    if NATIVE in names:
        args.native = native_binary(args)
    kinds = ["file"] if args.data else [k for k in args.kinds.split(",") if k]
    if set(kinds) - set(KINDS) - {"file"}:
        raise SystemExit(f"unknown data kinds: {', '.join(sorted(set(kinds) - set(KINDS)))}")
    load_before = load_average()
    started = time.perf_counter()
    report = {"kinds": []}
    with tempfile.TemporaryDirectory(dir=args.tmp, prefix="korvane-peers-") as work:
        for kind in kinds:
            report["kinds"].append(measure_kind(kind, names, args, pathlib.Path(work)))
            partial = {"partial": True, "kinds": report["kinds"]}
            (out / "peers.json").write_text(json.dumps(partial, indent=1))

    model = machine()
    load_after = load_average()
    report["meta"] = {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "command": "`" + " ".join(["bench/peers.py"] + sys.argv[1:]) + "`",
        "machine": model,
        "machine_short": model.split(",")[0] + f", {args.threads} threads",
        "load_before": load_before, "load_after": load_after,
        "loads": [min(LOADS), max(LOADS)] if LOADS else None,
        "k": args.k, "threads": args.threads, "repeats": args.repeats,
        "versions": versions(names), "total_s": time.perf_counter() - started,
    }
    (out / "peers.json").write_text(json.dumps(report, indent=1))
    write_report(report, out, args.write_docs)
    for d in report["kinds"]:
        print(f"\n{d['title']}, n = {d['n']:,}:")
        print("\n".join(summary_rows(d, d["n"])))


if __name__ == "__main__":
    main()
