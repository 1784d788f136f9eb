#!/usr/bin/python3
"""Resident memory per vector of a korvane index, after building and after loading.

    make build
    /usr/bin/python3 bench/memory_bench.py [--n 100000] [--stores sq8,fp32,none]

For each store kind, one fresh process builds an index of N clustered unit
vectors (made in chunks, as tools/synthetic.cc makes them) with add on 2
threads, frees the input, hands free heap memory back (malloc_trim) and
reports the growth of its resident size over the process before the index
was created, divided by N. A second fresh process loads the saved file and
reports the same. The 36 MiB rotation is included (377 bytes a vector at
100,000); the figure without it is given too, with the library's own count
(index.nbytes) and the file's size.
"""

import argparse
import ctypes
import json
import os
import pathlib
import subprocess
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parent.parent
ROTATION_BYTES = 3072 * 3072 * 4


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    ctypes.CDLL("libc.so.6").malloc_trim(0)


def import_korvane():
    sys.path.insert(0, str(REPO / "python"))
    import korvane
    return korvane


def build(spec):
    import numpy as np
    korvane = import_korvane()
    n, chunk = spec["n"], 10000
    rng = np.random.default_rng(spec["seed"])
    centres = rng.standard_normal((max(1, n // 100), 3072), dtype=np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    settle()
    before = rss_bytes()
    index = korvane.Index(ef_construction=64, seed=1, store=spec["store"])
    for start in range(0, n, chunk):
        rows = min(chunk, n - start)
        x = centres[rng.integers(0, centres.shape[0], rows)]
        x += rng.standard_normal(x.shape, dtype=np.float32) / np.float32(np.sqrt(3072))
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        index.add(np.arange(start, start + rows, dtype=np.uint64), x, threads=2)
        del x
    settle()
    grown = rss_bytes() - before
    index.save(spec["path"])
    return {"rss": grown, "nbytes": index.nbytes}


def load(spec):
    korvane = import_korvane()
    settle()
    before = rss_bytes()
    index = korvane.Index.load(spec["path"])
    settle()
    return {"rss": rss_bytes() - before, "nbytes": index.nbytes, "len": len(index)}


def child(role, spec):
    done = subprocess.run([sys.executable, __file__, "--worker", role, json.dumps(spec)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--stores", default="sq8,fp32,none")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--tmp", default=None, help="directory for the saved files")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        role, spec = args.worker[0], json.loads(args.worker[1])
        print(json.dumps((build if role == "build" else load)(spec)))
        return
    n = args.n
    print(f"n = {n:,}; bytes per vector (rotation share {ROTATION_BYTES / n:,.0f} included "
          "in RSS, left out in 'less rotation')")
    print("| store | RSS after add | less rotation | RSS after load | less rotation | "
          "index.nbytes | file |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory(dir=args.tmp, prefix="korvane-memory-") as work:
        for store in args.stores.split(","):
            path = os.path.join(work, f"{store}.korvane")
            spec = {"n": n, "seed": args.seed, "store": store, "path": path}
            built = child("build", spec)
            loaded = child("load", spec)
            size = os.path.getsize(path)
            os.unlink(path)
            per = lambda b: f"{b / n:,.0f}"
            print(f"| {store} | {per(built['rss'])} | {per(built['rss'] - ROTATION_BYTES)} | "
                  f"{per(loaded['rss'])} | {per(loaded['rss'] - ROTATION_BYTES)} | "
                  f"{per(built['nbytes'])} | {per(size)} |", flush=True)


if __name__ == "__main__":
    main()
