"""The Index class: a thin ctypes layer over one korvane index handle."""

import ctypes
import operator
import os
import re
import threading

import numpy as np

from . import _native

DIM = _native.DIM
#: Largest number of results one single-query search returns from a context.
MAX_K_SINGLE = 256
#: Id written into the unused entries of a batch result row.
MISSING_ID = np.iinfo(np.uint64).max
#: Score written into the unused entries of a batch result row.
MISSING_SCORE = np.float32(-np.inf)

_F32 = np.dtype(np.float32)
_U64 = np.dtype(np.uint64)
_SIZE = np.dtype(np.uintp)  # size_t on every platform the library runs on
_MAX_ID = (1 << 64) - 1
_MAX_SIZE = (1 << (8 * ctypes.sizeof(ctypes.c_size_t))) - 1
#: The rerank stores Index(store=...) takes and Index.store names.
STORES = ("sq8", "fp32", "none")
# Their KORVANE_STORE_* values.
_STORE_CODES = {"none": 0, "fp32": 1, "sq8": 2}
_STORE_NAMES = {code: name for name, code in _STORE_CODES.items()}
#: The breadth m a search uses when none is given is max(DEFAULT_M, k).
DEFAULT_M = 64
# At most this many threads answer one search_filtered() batch.
_MAX_THREADS = 4 * (os.cpu_count() or 1)
# Idle contexts kept per breadth m; more than this many threads searching
# with one m at once make (and then drop) extra contexts.
_POOL_LIMIT = 8


class DuplicateIdError(KeyError):
    """An id that is already live in the index, or occurs twice in one batch.

    `id` is that id; `position` its position in the batch (for a repeated
    id, that of its second occurrence), or None for a single add()."""

    def __init__(self, message, id=None, position=None):
        super().__init__(message)
        self.id = id
        self.position = position

    def __str__(self):
        return str(self.args[0])


class IndexFileError(OSError):
    """A file failure that no system call reported, so with errno None: the
    path is not a regular file (a directory, say), or the file is not a
    korvane index or was made by a library built with other constants.
    `filename` is the path, `strerror` the library's reason."""

    def __init__(self, message, filename=None):
        super().__init__(None, message, filename)

    def __str__(self):
        return f"korvane: {self.filename!r} {self.strerror}"

    def __reduce__(self):  # raised on a worker, re-raised on a client
        return (type(self), (self.strerror, self.filename))


class CorruptIndexError(IndexFileError):
    """A korvane index file that is damaged: truncated, or failing its
    checksum or a consistency check. `offset` is the byte offset of the
    failed check when the library names one, else None."""

    def __init__(self, message, filename=None, offset=None):
        super().__init__(message, filename)
        self.offset = offset

    def __reduce__(self):
        return (type(self), (self.strerror, self.filename, self.offset))


def _check_vectors(a, name):
    """Returns `a` unchanged if the library can read it in place, else raises ValueError."""
    if not isinstance(a, np.ndarray):
        raise ValueError(f"{name} must be a numpy.ndarray of float32, not {type(a).__name__}")
    if a.dtype != _F32:
        raise ValueError(f"{name} must have dtype float32 (native byte order), not {a.dtype}")
    if a.ndim not in (1, 2):
        raise ValueError(f"{name} must have shape ({DIM},) or (n, {DIM}), not {a.shape}")
    if a.shape[-1] != DIM:
        raise ValueError(f"{name} must have {DIM} components per vector, not {a.shape[-1]}")
    if not a.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous (numpy.ascontiguousarray makes a copy that is)")
    if not a.flags.aligned:
        raise ValueError(f"{name} must be aligned to 4 bytes")
    return a


def _check_id(value, name="id"):
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be an integer, not a bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 <= value <= _MAX_ID:
        raise ValueError(f"{name} must be in [0, 2**64 - 1], not {value}")
    return value


def _check_ids(ids, name):
    """A C-contiguous uint64 array of the ids. Integer arrays and sequences of
    ints are converted (ids are small next to the vectors); nothing else is."""
    if isinstance(ids, np.ndarray):
        if ids.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, not of shape {ids.shape}")
        if ids.dtype == _U64:
            return np.ascontiguousarray(ids)
        if ids.dtype.kind == "u" or (ids.dtype.kind == "i" and (ids.size == 0 or ids.min() >= 0)):
            return ids.astype(_U64)
        if ids.dtype.kind == "i":
            raise ValueError(f"{name} must not be negative")
        raise ValueError(f"{name} must hold integers, not {ids.dtype}")
    if isinstance(ids, (str, bytes)):
        raise ValueError(f"{name} must be a sequence of integers")
    try:
        values = [_check_id(v, name) for v in ids]
    except TypeError:
        raise ValueError(f"{name} must be a sequence of integers, not {type(ids).__name__}") from None
    return np.array(values, dtype=_U64)


def _is_sequence(value):
    """Whether `value` is a collection of ids rather than one."""
    if isinstance(value, np.ndarray):
        return value.ndim != 0
    try:
        operator.index(value)
    except TypeError:
        return not isinstance(value, (str, bytes, float))
    return False


def _check_count(value, name, minimum, maximum=_MAX_SIZE):
    """`value` as an int in [minimum, maximum] (by default, what a size_t
    holds: ctypes would silently wrap a larger one), else ValueError."""
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be an integer, not a bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer, not {type(value).__name__}") from None
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    if value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, not {value}")
    return value


def _encode_path(path):
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError("path must not contain a NUL byte")
    return raw


# The library quotes at most this many bytes of a path in its messages.
_PATH_BYTES_QUOTED = 400
_ERRNO_TAIL = re.compile(rb"(.*) \(errno (\d+)\)", re.DOTALL)
_DAMAGED = re.compile(rb"is damaged: (.*?)(?: \(at byte (\d+)\))?", re.DOTALL)


def _last_error(lib):
    """The library's reason for the last failed call on this thread."""
    return lib.korvane_last_error() or b""


def _file_error(lib, raw):
    """The exception for a failed save or load of the path `raw`, from the
    library's message:

    - "<step> '<path>': <reason> (errno N)": OSError(N, "<reason> (<step> it)",
      path), which Python turns into FileNotFoundError, PermissionError,
      IsADirectoryError ... by the errno;
    - "'<path>' is damaged: <check> (at byte N)": CorruptIndexError;
    - "out of memory with '<path>'": MemoryError;
    - any other "'<path>' <reason>": IndexFileError.
    """
    message = _last_error(lib)
    path = os.fsdecode(raw)
    quoted = b"'" + raw[:_PATH_BYTES_QUOTED] + b"'"
    text = message.decode("utf-8", "replace")
    if message.startswith(b"out of memory"):
        return MemoryError(f"korvane: {text}")
    before, sep, after = message.partition(b" " + quoted + b": ")
    if sep:
        tail = _ERRNO_TAIL.fullmatch(after)
        if tail:
            code = int(tail.group(2))
            step = before.decode("utf-8", "replace")
            reason = tail.group(1).decode("utf-8", "replace")
            return OSError(code, f"{reason} ({step} it)", path)
    if message.startswith(quoted + b" "):
        reason = message[len(quoted) + 1:]
        damaged = _DAMAGED.fullmatch(reason)
        if damaged:
            offset = damaged.group(2)
            return CorruptIndexError(reason.decode("utf-8", "replace"), path,
                                     None if offset is None else int(offset))
        return IndexFileError(reason.decode("utf-8", "replace"), path)
    return IndexFileError(text or "cannot be used", path)


_DUPLICATE = re.compile(
    rb"id (\d+) (?:is already in the index"
    rb"|\(position (\d+) of the batch\) is already in the index"
    rb"|occurs twice in the batch \(again at position (\d+)\))")


def _duplicate_error(lib, batch):
    """DuplicateIdError from the library's message about a refused add."""
    message = _last_error(lib)
    text = message.decode("utf-8", "replace")
    found = _DUPLICATE.fullmatch(message)
    if found is None:
        return DuplicateIdError(f"korvane: {text or 'a duplicate id'}")
    position = found.group(2) or found.group(3)
    suffix = "; nothing was inserted" if batch else ""
    return DuplicateIdError(f"{text}{suffix}", int(found.group(1)),
                            None if position is None else int(position))


class _ReadWriteLock:
    """Many readers or one writer, the writer first. Searches, len() and
    save() read; adding, removing and closing write, so a Python program
    cannot free or change a handle under a running search. A writer that is
    waiting stops new readers, so threads that keep searching cannot hold
    add(), remove() or close() off for ever. Not reentrant: a thread holding
    the lock must not take it again (a read taken inside a read would wait
    for a writer that waits for the outer read)."""

    def __init__(self):
        self._cond = threading.Condition(threading.Lock())
        self._readers = 0
        self._writing = False
        self._writers_waiting = 0

    def acquire_read(self):
        with self._cond:
            while self._writing or self._writers_waiting:
                self._cond.wait()
            self._readers += 1

    def release_read(self):
        with self._cond:
            self._readers -= 1
            if self._readers == 0:
                self._cond.notify_all()

    def acquire_write(self):
        with self._cond:
            self._writers_waiting += 1
            try:
                while self._writing or self._readers:
                    self._cond.wait()
            except BaseException:  # interrupted: let the readers it held back in
                self._writers_waiting -= 1
                self._cond.notify_all()
                raise
            self._writers_waiting -= 1
            self._writing = True

    def release_write(self):
        with self._cond:
            self._writing = False
            self._cond.notify_all()


class Index:
    """An approximate nearest-neighbour index over 3072-component float32
    vectors by inner product (larger scores are more similar), under
    caller-chosen ids in [0, 2**64 - 1].

    Vectors and queries are numpy float32 arrays, C-contiguous, of shape
    (3072,) for one or (n, 3072) for many; they are read in place, never
    copied or converted, and anything else raises ValueError.

    Threads: searches, len() and save() may run at the same time from
    several threads (each takes its own search context); add(), remove()
    and close() wait until they have the index to themselves, and once one
    waits, new searches wait behind it. The native calls release the GIL.
    """

    def __init__(self, ef_construction=64, seed=0, store="sq8"):
        """Creates an empty index. `seed` (an integer in [0, 2**64 - 1])
        fixes the random rotation; `ef_construction` is the insertion beam
        width (raised to at least 32; larger builds a better graph, more
        slowly).

        `store` is what the index keeps of every vector to rescore the best
        candidates of a search, and so what the scores are:

        - "sq8" (the default): an 8-bit copy, about 3 KiB a vector; scores
          close to the exact inner products.
        - "fp32": the full vector, 12 KiB a vector; scores are the exact
          inner products (in float32).
        - "none": nothing; results are ranked and scored by the 3-bit
          payloads, rough estimates of the inner products, and recall is
          lower.

        Takes about a second. Raises ValueError for a bad argument,
        MemoryError when memory runs out."""
        ef_construction = _check_count(ef_construction, "ef_construction", 0)
        seed = _check_id(seed, "seed")
        if not isinstance(store, str) or store not in _STORE_CODES:
            raise ValueError(f"store must be one of {', '.join(map(repr, STORES))}, "
                             f"not {store!r}")
        lib = _native.library()
        handle = lib.korvane_index_create_with_store(ef_construction, seed, _STORE_CODES[store])
        if not handle:
            raise MemoryError(f"korvane: {_last_error(lib).decode()} creating an index")
        self._adopt(lib, handle, seed)

    @classmethod
    def load(cls, path):
        """Reads an index written by save() from `path` (str, bytes or
        os.PathLike).

        Raises, each carrying the path as `filename`: OSError with the errno
        of a failed system call (FileNotFoundError, PermissionError, ...);
        CorruptIndexError (an OSError) for a damaged file; IndexFileError
        (an OSError) for a path that is not a regular file or a file that is
        not a korvane index or was made by a library built with other
        constants. MemoryError when memory runs out."""
        raw = _encode_path(path)
        lib = _native.library()
        handle = lib.korvane_index_load(raw)
        if not handle:
            raise _file_error(lib, raw)
        self = cls.__new__(cls)
        self._adopt(lib, handle, None)  # a file does not record its seed
        return self

    def _adopt(self, lib, handle, seed):
        self._lib = lib
        self._handle = handle
        self._seed = seed
        self._store = _STORE_NAMES[lib.korvane_index_store(handle)]
        self._lock = _ReadWriteLock()
        self._contexts = {}  # m -> idle contexts of breadth m

    # -- what the index is -------------------------------------------------

    @property
    def store(self):
        """The rerank store: "sq8", "fp32" or "none" (see Index()). A loaded
        index has that of its file."""
        return self._store

    @property
    def seed(self):
        """The seed the index was created with; None for a loaded index (its
        file holds the rotation, not the seed)."""
        return self._seed

    @property
    def dim(self):
        """The number of components of every vector: 3072."""
        return DIM

    @property
    def nbytes(self):
        """The bytes of memory the index holds (the 36 MiB rotation
        included; search contexts not)."""
        handle = self._read()
        try:
            return self._lib.korvane_index_memory_bytes(handle)
        finally:
            self._lock.release_read()

    # -- lifetime ---------------------------------------------------------

    def close(self):
        """Releases the index and its contexts. Closing twice does nothing;
        every other method of a closed index raises ValueError."""
        handle = getattr(self, "_handle", None)
        if handle is None:
            return
        self._lock.acquire_write()
        try:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            for pool in self._contexts.values():
                for ctx in pool:
                    self._lib.korvane_context_destroy(ctx)
            self._contexts.clear()
            self._lib.korvane_index_destroy(handle)
        finally:
            self._lock.release_write()

    @property
    def closed(self):
        return getattr(self, "_handle", None) is None

    def __enter__(self):
        self._open_handle()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def __reduce__(self):
        # A copy would share the handle and free it twice.
        raise TypeError("a korvane.Index cannot be copied or pickled; save() and load() it")

    def __repr__(self):
        if self.closed:
            return "<korvane.Index (closed)>"
        try:
            count = len(self)
        except ValueError:  # closed meanwhile
            return "<korvane.Index (closed)>"
        return f"<korvane.Index of {count} vectors, store={self._store!r}, seed={self._seed}>"

    def _open_handle(self):
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed korvane index")
        return handle

    def _read(self):
        self._lock.acquire_read()
        try:
            return self._open_handle()
        except BaseException:
            self._lock.release_read()
            raise

    def _write(self):
        self._lock.acquire_write()
        try:
            return self._open_handle()
        except BaseException:
            self._lock.release_write()
            raise

    # -- changing the index ----------------------------------------------

    def add(self, ids, vectors, threads=0):
        """Adds one vector (an int id and an array of shape (3072,)) or a
        batch (n ids and an array of shape (n, 3072)), the batch spread over
        `threads` worker threads (0 counts as 1; the index is the same for
        every thread count).

        Raises DuplicateIdError (a KeyError) when an id is live or occurs
        twice in the batch; nothing is inserted then, and the error's `id`
        and `position` name the first such id and its place in the batch.
        Raises MemoryError when memory runs out (or, in a batch, a worker
        thread fails to start): a single vector is then not added; of a
        batch, the vectors before the failing one stay (len() tells how
        many). Raises ValueError for malformed arguments, among them the
        vectors passed first and the ids second."""
        if isinstance(ids, np.ndarray) and ids.dtype.kind == "f" and (
                ids.ndim == 2 or ids.shape == (DIM,)):
            raise ValueError(f"add(ids, vectors) takes the ids first: the ids argument is a "
                             f"float array of shape {ids.shape}, which looks like the vectors "
                             "(were the two swapped?)")
        vectors = _check_vectors(vectors, "vectors")
        threads = _check_count(threads, "threads", 0)
        if vectors.ndim == 1:
            if isinstance(ids, (np.ndarray, list, tuple)):
                raise ValueError("one vector of shape (3072,) takes one integer id; "
                                 "pass vectors of shape (n, 3072) for a batch")
            id_ = _check_id(ids)
            handle = self._write()
            try:
                code = self._lib.korvane_index_add(handle, id_, vectors.ctypes.data)
                if code == 0:
                    self._drop_contexts()
            finally:
                self._lock.release_write()
            if code == -2:
                raise _duplicate_error(self._lib, batch=False)
            if code != 0:
                raise MemoryError(f"korvane: {_last_error(self._lib).decode()} adding a vector")
            return
        ids = _check_ids(ids, "ids")
        n = vectors.shape[0]
        if ids.shape[0] != n:
            raise ValueError(f"{ids.shape[0]} ids for {n} vectors")
        if n == 0:
            return
        handle = self._write()
        try:
            before = self._lib.korvane_index_len(handle)
            code = self._lib.korvane_index_add_batch(
                handle, ids.ctypes.data, vectors.ctypes.data, n, threads)
            added = self._lib.korvane_index_len(handle) - before
            if added:
                self._drop_contexts()
        finally:
            self._lock.release_write()
        if code == -2:
            raise _duplicate_error(self._lib, batch=True)
        if code != 0:
            raise MemoryError(f"korvane: {_last_error(self._lib).decode()} after adding "
                              f"{added} of {n} vectors")

    def remove(self, ids):
        """Deletes the vectors with these ids: one int, or a sequence or
        integer array of them. All or nothing: when an id is not live (never
        added, already removed) or occurs twice, raises KeyError naming the
        first such id and removes none. Returns the number removed (1 for
        one id). Raises MemoryError when memory runs out: the index then
        keeps the vector of the failing id, and the ids before it are
        removed (the message tells how many)."""
        if _is_sequence(ids):
            batch = _check_ids(ids, "ids")
        else:
            batch = np.array([_check_id(ids)], dtype=_U64)
        values, counts = np.unique(batch, return_counts=True)
        if (counts > 1).any():
            raise KeyError(int(values[counts > 1][0]))
        handle = self._write()
        try:
            for id_ in batch.tolist():
                if not self._lib.korvane_index_contains(handle, id_):
                    raise KeyError(id_)
            for done, id_ in enumerate(batch.tolist()):
                if self._lib.korvane_index_remove(handle, id_) != 0:
                    raise MemoryError(f"korvane: {_last_error(self._lib).decode()} removing id "
                                      f"{id_}, after removing {done} of {batch.size}")
        finally:
            self._lock.release_write()
        return int(batch.size)

    def __contains__(self, id):
        """Whether `id` is live in the index. Anything that is not an integer
        in [0, 2**64 - 1] is not."""
        try:
            id_ = _check_id(id)
        except ValueError:
            return False
        handle = self._read()
        try:
            return bool(self._lib.korvane_index_contains(handle, id_))
        finally:
            self._lock.release_read()

    def ids(self):
        """The live ids, in the order they were added, as a uint64 array."""
        handle = self._read()
        try:
            count = self._lib.korvane_index_ids(handle, None, 0)
            out = np.empty(count, dtype=_U64)
            if count:
                self._lib.korvane_index_ids(handle, out.ctypes.data, count)
        finally:
            self._lock.release_read()
        return out

    def __len__(self):
        """The number of live vectors (added and not removed)."""
        handle = self._read()
        try:
            return self._lib.korvane_index_len(handle)
        finally:
            self._lock.release_read()

    # -- searching --------------------------------------------------------

    def _drop_contexts(self):
        # Called with the write lock held after the index has grown: a context
        # is sized for the index at its making, and one made now keeps later
        # searches free of allocation (and of a growth that could fail).
        for pool in self._contexts.values():
            for ctx in pool:
                self._lib.korvane_context_destroy(ctx)
        self._contexts.clear()

    def _take_context(self, handle, m):
        pool = self._contexts.get(m)
        if pool:
            try:
                return pool.pop()  # atomic under the GIL: no two threads get one context
            except IndexError:
                pass
        ctx = self._lib.korvane_context_create(handle, m)
        if not ctx:
            raise MemoryError("korvane: out of memory creating a search context")
        return ctx

    def _return_context(self, m, ctx):
        pool = self._contexts.setdefault(m, [])
        if len(pool) < _POOL_LIMIT:
            pool.append(ctx)
        else:
            self._lib.korvane_context_destroy(ctx)

    def search(self, queries, k=10, m=None, threads=0, return_counts=False):
        """Finds the k vectors with the largest inner product with each query.

        `m` is the search breadth: the number of graph candidates a search
        considers, and so also a cap on its results (a query gets at most
        min(k, m)). A larger m finds more of the true top k (better recall)
        and costs time about in proportion; 64 to 256 is typical for k = 10.
        None, the default, is max(64, k), which lets k results come back.

        The scores, in descending order, are the inner products as the
        index's store gives them: exact for "fp32", 8-bit approximations for
        "sq8", payload estimates for "none" (see Index()). A NaN score (from
        a NaN or infinite component) ranks below every number.

        One query of shape (3072,): returns (ids, scores), a uint64 and a
        float32 array of the found count. k above 256 is served through the
        batch path (one query, one thread).

        A batch of shape (n, 3072), answered on `threads` worker threads
        (0 counts as 1): returns (ids, scores) of shape (n, k); row q holds
        counts[q] results, and the entries after them are MISSING_ID
        (2**64 - 1) and MISSING_SCORE (-inf). Since any id, 2**64 - 1
        included, may be a real one, pass return_counts=True to get
        (ids, scores, counts) with counts a uint64 array of shape (n,).

        Raises ValueError for malformed queries or arguments, MemoryError
        when memory runs out."""
        queries = _check_vectors(queries, "queries")
        k = _check_count(k, "k", 0)
        m = max(DEFAULT_M, k) if m is None else _check_count(m, "m", 1)
        threads = _check_count(threads, "threads", 0)
        if queries.ndim == 1 and k <= MAX_K_SINGLE:
            if return_counts:
                raise ValueError("return_counts applies to a batch of queries")
            return self._search_one(queries, k, m)
        if queries.ndim == 1:
            if return_counts:
                raise ValueError("return_counts applies to a batch of queries")
            ids, scores, counts = self._search_batch(queries.reshape(1, DIM), k, m, 1)
            found = int(counts[0])
            return ids[0, :found], scores[0, :found]
        ids, scores, counts = self._search_batch(queries, k, m, threads)
        return (ids, scores, counts) if return_counts else (ids, scores)

    def _search_one(self, query, k, m):
        capacity = min(k, m)
        ids = np.empty(capacity, dtype=_U64)
        scores = np.empty(capacity, dtype=_F32)
        handle = self._read()
        try:
            ctx = self._take_context(handle, m)
            try:
                found = self._lib.korvane_search(handle, ctx, query.ctypes.data, k,
                                                 ids.ctypes.data, scores.ctypes.data)
            finally:
                self._return_context(m, ctx)
        finally:
            self._lock.release_read()
        return ids[:found], scores[:found]

    def _search_batch(self, queries, k, m, threads):
        n = queries.shape[0]
        ids = np.full((n, k), MISSING_ID, dtype=_U64)
        scores = np.full((n, k), MISSING_SCORE, dtype=_F32)
        counts = np.zeros(n, dtype=_SIZE)
        if n == 0 or k == 0:
            return ids, scores, counts.astype(_U64, copy=False)
        handle = self._read()
        try:
            code = self._lib.korvane_search_batch(
                handle, queries.ctypes.data, n, k, m, threads,
                ids.ctypes.data, scores.ctypes.data, counts.ctypes.data)
        finally:
            self._lock.release_read()
        if code != 0:
            raise MemoryError("korvane: out of memory (or a worker thread failed to start) "
                              "in a batch search")
        return ids, scores, counts.astype(_U64, copy=False)

    def search_filtered(self, queries, allowed_ids, k=10, threads=0, return_counts=False):
        """Scores exactly the live vectors whose ids are in `allowed_ids`
        (a sequence or integer array; unknown and removed ids are skipped, an
        id listed twice may be returned twice) against each query, without
        the graph, and keeps the best min(k, 256), by descending score.

        One query of shape (3072,): returns (ids, scores) of the found
        count, as search() does for one query.

        A batch of shape (n, 3072), answered on `threads` Python threads
        (0 counts as 1; each with a search context of its own, the native
        calls releasing the GIL; the results are the same for every thread
        count): returns (ids, scores) of shape (n, min(k, 256)), padded with
        MISSING_ID and MISSING_SCORE, and with return_counts=True also the
        uint64 counts, as search() does for a batch."""
        queries = _check_vectors(queries, "queries")
        allowed = _check_ids(allowed_ids, "allowed_ids")
        k = _check_count(k, "k", 0)
        threads = _check_count(threads, "threads", 0)
        single = queries.ndim == 1
        if single and return_counts:
            raise ValueError("return_counts applies to a batch of queries")
        batch = queries.reshape(1, DIM) if single else queries
        width = min(k, MAX_K_SINGLE)
        n = batch.shape[0]
        ids = np.full((n, width), MISSING_ID, dtype=_U64)
        scores = np.full((n, width), MISSING_SCORE, dtype=_F32)
        counts = np.zeros(n, dtype=_U64)
        handle = self._read()  # a closed index is refused even with nothing to search
        try:
            if n and width and allowed.size:
                self._filter_rows(handle, batch, allowed, width, ids, scores, counts,
                                  max(1, min(threads, n, _MAX_THREADS)))
        finally:
            self._lock.release_read()
        if single:
            found = int(counts[0])
            return ids[0, :found], scores[0, :found]
        return (ids, scores, counts) if return_counts else (ids, scores)

    def _filter_rows(self, handle, queries, allowed, width, ids, scores, counts, threads):
        # Called with the read lock held; the worker threads rely on it and
        # take no lock themselves. Thread t answers rows t, t + threads, ...
        m = MAX_K_SINGLE  # the filter, not the breadth, bounds this search
        errors = []
        stop = threading.Event()

        def rows(start):
            try:
                ctx = self._take_context(handle, m)
                try:
                    for q in range(start, queries.shape[0], threads):
                        if stop.is_set():
                            return
                        counts[q] = self._lib.korvane_search_filtered(
                            handle, ctx, queries[q].ctypes.data, allowed.ctypes.data,
                            allowed.size, width, ids[q].ctypes.data, scores[q].ctypes.data)
                finally:
                    self._return_context(m, ctx)
            except BaseException as err:
                errors.append(err)
                stop.set()

        if threads == 1:
            rows(0)
        else:
            workers = []
            try:
                for t in range(threads):
                    workers.append(threading.Thread(target=rows, args=(t,), daemon=True))
                    workers[-1].start()
                for w in workers:
                    w.join()
            finally:
                # Interrupted, or a thread failed to start: no worker may
                # outlive the read lock that the caller releases next.
                stop.set()
                for w in workers:
                    if w.ident is not None:
                        w.join()
        if errors:
            raise errors[0]

    # -- persistence ------------------------------------------------------

    def save(self, path):
        """Writes the index to `path` (str, bytes or os.PathLike), replacing
        any file there only once the new one is complete. On failure the
        index stays usable and any previous file at `path` intact; raises,
        carrying the path as `filename`, OSError with the errno of the
        failed system call (FileNotFoundError for a missing directory,
        PermissionError, ...), IndexFileError (an OSError, errno None) when
        `path` exists and is not a regular file, MemoryError when memory
        runs out."""
        raw = _encode_path(path)
        handle = self._read()
        try:
            code = self._lib.korvane_index_save(handle, raw)
        finally:
            self._lock.release_read()
        if code != 0:
            raise _file_error(self._lib, raw)
