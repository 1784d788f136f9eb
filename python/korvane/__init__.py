"""korvane: approximate nearest-neighbour search over 3072-component float32
vectors by inner product, through the C library libkorvane.so.

    import numpy as np, korvane
    with korvane.Index(seed=42) as index:
        index.add(np.arange(n, dtype=np.uint64), vectors, threads=4)  # (n, 3072) float32
        ids, scores = index.search(query, k=10, m=128)                 # (3072,) float32
        index.save("vectors.korvane")
    index = korvane.Index.load("vectors.korvane")

The library is looked up in $KORVANE_LIBRARY, next to this package (where a
wheel puts it), in the source tree's build/ directory (when the package is
run from a source tree), then by the dynamic loader. It must be the same
version as the package (korvane.__version__); a stale one is refused.

korvane.distributed (imported on its own; it needs Dask's distributed)
splits an index into shards held by the workers of a Dask cluster.
"""

from ._index import (
    DIM, MISSING_ID, MISSING_SCORE, STORES, CorruptIndexError, DuplicateIdError, Index,
    IndexFileError)

__all__ = ["DIM", "MISSING_ID", "MISSING_SCORE", "STORES", "CorruptIndexError",
           "DuplicateIdError", "Index", "IndexFileError"]
from ._version import __version__  # the CMake project version
