#!/usr/bin/python3
"""Builds a small korvane index from random data, searches it, saves it and
loads it back.

    KORVANE_LIBRARY=build/libkorvane.so /usr/bin/python3 examples/example.py

Uses an installed korvane package, or else the one in this source tree.
"""

import os
import pathlib
import sys
import tempfile
import time

import numpy as np

try:
    import korvane
except ImportError:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
    import korvane


def unit_rows(rng, n):
    x = rng.standard_normal((n, korvane.DIM), dtype=np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def main():
    rng = np.random.default_rng(1)
    centres = unit_rows(rng, 20)
    # 2,000 vectors in 20 clusters, and 5 queries drawn the same way.
    vectors = unit_rows(rng, 2000) * np.float32(0.6) + centres[rng.integers(0, 20, 2000)]
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    queries = vectors[:5] + unit_rows(rng, 5) * np.float32(0.3)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    ids = np.arange(1000, 3000, dtype=np.uint64)

    # store="sq8" (the default) keeps an 8-bit copy of each vector for the
    # final scores; "fp32" keeps the vector itself (exact scores), "none"
    # nothing (least memory, payload scores).
    with korvane.Index(ef_construction=64, seed=42, store="sq8") as index:
        start = time.perf_counter()
        index.add(ids, vectors, threads=2)
        print(f"added {len(index)} vectors in {time.perf_counter() - start:.2f} s: {index!r}, "
              f"{index.nbytes / 2**20:.1f} MiB")

        # m, the search breadth, defaults to max(64, k); larger is slower
        # and finds more of the true top k.
        found, scores = index.search(queries[0], k=5)
        print("query 0:", ", ".join(f"{i} ({s:.3f})" for i, s in zip(found, scores)))
        exact = ids[np.argsort(-(vectors @ queries[0]))[:5]]
        print("exact:  ", ", ".join(str(i) for i in exact))

        index.remove(ids[:10])  # one id or many; KeyError if one is absent
        print(f"{int(ids[0])} in index: {int(ids[0]) in index}; "
              f"first live ids: {index.ids()[:3]}")

        batch_ids, _ = index.search(queries, k=5, m=128, threads=2)
        print("batch top ids:", batch_ids[:, 0])

        # Only allowed ids may answer: each is scored, without the graph.
        even = ids[::2]
        allowed_ids, _ = index.search_filtered(queries, even, k=5, threads=2)
        print("best even ids:", allowed_ids[:, 0])

        path = os.path.join(tempfile.mkdtemp(), "example.korvane")
        index.save(path)
        print(f"saved {os.path.getsize(path) / 2**20:.1f} MiB to {path}")

    with korvane.Index.load(path) as loaded:
        again, _ = loaded.search(queries, k=5, m=128)
        print(f"loaded {loaded!r}; same results: {bool((again == batch_ids).all())}")
    os.remove(path)
    try:
        korvane.Index.load(path)
    except FileNotFoundError as err:  # OSError with the errno; CorruptIndexError if damaged
        print(f"loading again: {err}")
    os.rmdir(os.path.dirname(path))


if __name__ == "__main__":
    main()
