#!/usr/bin/python3
"""Build and search throughput of korvane.distributed against one local index.

    KORVANE_LIBRARY=build/libkorvane.so /usr/bin/python3 bench/distributed_bench.py --n 20000

Three set-ups, each measured --repeats times (the median is reported):

- local: one korvane.Index in this process, built and searched on --threads
  threads;
- dask, 1 worker: a LocalCluster of one worker process with --threads
  threads, holding one shard;
- dask, 2 workers: a LocalCluster of two worker processes with one thread
  each, holding one shard each.

Build throughput is that of add() alone (index creation is reported apart);
batched search answers all --queries queries in one call; single search
makes one call per query (--single of them). recall@10 is against exact
inner-product search. Also measured: the memory and file bytes per vector
of the local index, and the fixed cost of one query against one shard (a
search of an index holding one vector: rotation, quantization and score
table, almost no graph).

Data: clustered unit vectors (random unit centres plus Gaussian noise of
norm ~1, renormalised), queries drawn the same way. Prints a Markdown report.
"""

import argparse
import ctypes
import json
import logging
import os
import pathlib
import platform
import statistics
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
from distributed import Client, LocalCluster  # noqa: E402

from korvane.distributed import ShardedIndex  # noqa: E402

DIM = korvane.DIM
K = 10
PAGE = os.sysconf("SC_PAGE_SIZE")


def clustered(rng, n, centres):
    picks = rng.integers(0, centres.shape[0], size=n)
    x = centres[picks] + rng.standard_normal((n, DIM), dtype=np.float32) * np.float32(1 / np.sqrt(DIM))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def make_data(n, q, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((max(10, n // 100), DIM), dtype=np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    return (np.arange(n, dtype=np.uint64), clustered(rng, n, centres), clustered(rng, q, centres))


def exact_top(vectors, queries, k):
    out = []
    for start in range(0, len(queries), 256):
        scores = queries[start:start + 256] @ vectors.T
        out.append(np.argsort(-scores, axis=1, kind="stable")[:, :k])
    return np.concatenate(out)


def recall(found, truth):
    return float(np.mean([len(set(f.tolist()) & set(t.tolist())) / K for f, t in zip(found, truth)]))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def trim():
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def run_local(args, ids, vectors, queries, truth):
    runs = []
    for r in range(args.repeats):
        trim()
        before = rss()
        create, index = timed(lambda: korvane.Index(ef_construction=args.ef, seed=args.seed))
        empty = rss()
        build, _ = timed(lambda: index.add(ids, vectors, threads=args.threads))
        trim()
        grown = rss() - empty
        batch, (found, _) = timed(lambda: index.search(queries, k=K, m=args.m, threads=args.threads))
        single, _ = timed(lambda: [index.search(q, k=K, m=args.m) for q in queries[:args.single]])
        run = {"create_s": create, "build_s": build, "batch_s": batch, "single_s": single,
               "recall": recall(found, truth)}
        if r == 0:
            with tempfile.TemporaryDirectory() as d, \
                    korvane.Index(seed=args.seed) as nothing:
                index.save(os.path.join(d, "x.korvane"))
                nothing.save(os.path.join(d, "empty.korvane"))
                file_bytes = os.path.getsize(os.path.join(d, "x.korvane"))
                empty_file = os.path.getsize(os.path.join(d, "empty.korvane"))
            run["rss_fixed_bytes"] = empty - before
            run["rss_bytes_per_vector"] = grown / len(ids)
            run["file_fixed_bytes"] = empty_file
            run["file_bytes_per_vector"] = (file_bytes - empty_file) / len(ids)
        index.close()
        runs.append(run)
    return runs


def run_dask(args, ids, vectors, queries, truth, workers, threads_per_worker):
    runs = []
    with LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                      dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(workers)
        for _ in range(args.repeats):
            create, index = timed(lambda: ShardedIndex(client, workers, ef_construction=args.ef,
                                                       seed=args.seed))
            build, _ = timed(lambda: index.add(ids, vectors))
            batch, (found, _) = timed(lambda: index.search(queries, k=K, m=args.m))
            single, _ = timed(lambda: [index.search(q, k=K, m=args.m) for q in queries[:args.single]])
            runs.append({"create_s": create, "build_s": build, "batch_s": batch,
                         "single_s": single, "recall": recall(found, truth)})
            index.close()
    return runs


def fixed_query_cost(args, queries):
    """Seconds per query against an index of one vector: batched (one
    thread) and one call per query."""
    with korvane.Index(seed=args.seed) as index:
        index.add(np.array([0], dtype=np.uint64), queries[:1])
        batch = statistics.median(timed(lambda: index.search(queries, k=K, m=args.m, threads=1))[0]
                                  for _ in range(args.repeats)) / len(queries)
        single = statistics.median(
            timed(lambda: [index.search(q, k=K, m=args.m) for q in queries[:args.single]])[0]
            for _ in range(args.repeats)) / args.single
    return batch, single


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=20000, help="vectors (default 20000)")
    parser.add_argument("--queries", type=int, default=1000, help="batched queries (default 1000)")
    parser.add_argument("--single", type=int, default=200, help="one-call-per-query queries (default 200)")
    parser.add_argument("--m", type=int, default=64, help="search breadth (default 64)")
    parser.add_argument("--ef", type=int, default=64, help="ef_construction (default 64)")
    parser.add_argument("--threads", type=int, default=os.cpu_count(), help="local threads (default: CPUs)")
    parser.add_argument("--repeats", type=int, default=3, help="repeats per set-up (default 3)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", help="also write the measurements here")
    args = parser.parse_args()
    args.single = min(args.single, args.queries)

    load_before = os.getloadavg()
    ids, vectors, queries = make_data(args.n, args.queries, 2024)
    truth = ids[exact_top(vectors, queries, K)]
    results = {
        "local": run_local(args, ids, vectors, queries, truth),
        "dask, 1 worker": run_dask(args, ids, vectors, queries, truth, 1, args.threads),
        "dask, 2 workers": run_dask(args, ids, vectors, queries, truth, 2, max(1, args.threads // 2)),
    }
    fixed_batch, fixed_single = fixed_query_cost(args, queries)
    load_after = os.getloadavg()

    print("# korvane.distributed throughput\n")
    print(f"`bench/distributed_bench.py {' '.join(sys.argv[1:])}`, "
          f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}\n")
    print(f"- Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Linux {platform.release()}; load average before {load_before[0]:.2f}, "
          f"after {load_after[0]:.2f}.")
    print(f"- n = {args.n:,} clustered unit vectors, {args.queries:,} queries "
          f"({args.single} for one-call-per-query), k = {K}, m = {args.m}, "
          f"ef_construction = {args.ef}; medians of {args.repeats} repeats.")
    print(f"- local: {args.threads} threads; dask, 1 worker: one process of {args.threads} "
          f"threads, 1 shard; dask, 2 workers: two processes of "
          f"{max(1, args.threads // 2)} thread(s), 1 shard each.\n")
    print("| set-up | create (s) | build (vectors/s) | batched search (q/s) | "
          "single search (q/s) | recall@10 |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, runs in results.items():
        print(f"| {name} | {median(runs, 'create_s'):.2f} | {args.n / median(runs, 'build_s'):,.0f} | "
              f"{args.queries / median(runs, 'batch_s'):,.0f} | "
              f"{args.single / median(runs, 'single_s'):,.0f} | {median(runs, 'recall'):.4f} |")
    local = results["local"][0]
    print(f"\n- Local index: {local['rss_bytes_per_vector']:,.0f} bytes of memory per vector "
          f"(RSS growth over the build, after malloc_trim) on top of "
          f"{local['rss_fixed_bytes'] / 2**20:.1f} MiB for the empty index; "
          f"{local['file_bytes_per_vector']:,.0f} bytes of file per vector on top of "
          f"{local['file_fixed_bytes']:,} for the empty index.")
    print(f"- Fixed cost of one query against one shard (index of one vector): "
          f"{fixed_batch * 1e3:.3f} ms batched on one thread, {fixed_single * 1e3:.3f} ms "
          "one call per query.")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"args": vars(args), "results": results, "fixed_batch_s": fixed_batch,
                       "fixed_single_s": fixed_single, "load": [load_before, load_after]}, f, indent=1)


if __name__ == "__main__":
    main()
