#!/usr/bin/python3
"""Builds a korvane index sharded over a local Dask cluster, searches it,
saves it, kills a worker process and lets the index recover from the save.

    KORVANE_LIBRARY=build/libkorvane.so /usr/bin/python3 examples/distributed.py

Needs Dask's distributed package (Debian: python3-distributed). Uses an
installed korvane package, or else the one in this source tree. On a real
cluster, replace the LocalCluster with the scheduler's address and save to a
directory that the client and every worker see.
"""

import logging
import os
import pathlib
import shutil
import signal
import sys
import tempfile
import time
import warnings

# Run as a script, this file's directory comes first on the path, where its
# name would hide Dask's distributed package.
HERE = pathlib.Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != HERE]

import numpy as np  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

try:
    import korvane
except ImportError:
    sys.path.insert(0, str(HERE.parent / "python"))
    import korvane
from korvane.distributed import ShardedIndex, ShardsRestoredWarning  # noqa: E402


def unit_rows(rng, n):
    x = rng.standard_normal((n, korvane.DIM), dtype=np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def main():
    rng = np.random.default_rng(1)
    centres = unit_rows(rng, 20)
    vectors = unit_rows(rng, 4000) * np.float32(0.6) + centres[rng.integers(0, 20, 4000)]
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    queries = vectors[:5] + unit_rows(rng, 5) * np.float32(0.3)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    ids = np.arange(10_000, 14_000, dtype=np.uint64)

    # Two worker processes of one thread each; the nanny of each restarts
    # its worker if the process dies.
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        start = time.perf_counter()
        index = ShardedIndex(client, shards=4, ef_construction=64, seed=42)
        print(f"made {index.shards} shards in {time.perf_counter() - start:.1f} s:",
              ", ".join(f"{s} on {a}" for s, a in index.shard_workers().items()))

        start = time.perf_counter()
        index.add(ids[:3000], vectors[:3000])
        print(f"added {len(index)} vectors in {time.perf_counter() - start:.1f} s")

        found, scores = index.search(queries, k=5, m=64)
        print("top ids per query:", found[:, 0])
        exact = ids[:3000][np.argsort(-(queries @ vectors[:3000].T), axis=1)[:, 0]]
        print("exact top ids:    ", exact)

        directory = tempfile.mkdtemp(prefix="korvane-sharded-")
        start = time.perf_counter()
        index.save(directory)
        print(f"saved to {directory} in {time.perf_counter() - start:.1f} s:",
              ", ".join(sorted(os.listdir(directory))))

        # Added after the save: lost again on the shards of the worker killed below.
        index.add(ids[3000:], vectors[3000:])
        print(f"added 1000 more: {len(index)} vectors")

        victim = index.shard_workers()[0]
        pid = client.run(os.getpid, workers=[victim])[victim]
        os.kill(pid, signal.SIGKILL)
        print(f"killed worker {victim} (pid {pid}), which held shards",
              [s for s, a in index.shard_workers().items() if a == victim])
        while victim in client.nthreads():  # until the scheduler has noticed
            time.sleep(0.1)

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ShardsRestoredWarning)
            again, _ = index.search(queries, k=5, m=64)
        for w in caught:
            print("warning:", w.message)
        print("restored shards:", index.restored_shards, "now on",
              {s: index.shard_workers()[s] for s in index.restored_shards})
        print(f"{len(index)} vectors; same top ids as before: {bool((again[:, 0] == found[:, 0]).all())}")

        # A reloaded copy of the save answers as the index did when saved.
        with ShardedIndex.load(client, directory) as loaded:
            same = (loaded.search(queries, k=5, m=64)[0] == found).all()
            print(f"loaded {len(loaded)} vectors from the save; same results: {bool(same)}")
        index.close()
    shutil.rmtree(directory)


if __name__ == "__main__":
    main()
