"""A korvane index split into shards held by the workers of a Dask cluster.

    from distributed import Client, LocalCluster
    from korvane.distributed import ShardedIndex

    client = Client(LocalCluster(n_workers=2, threads_per_worker=1))
    index = ShardedIndex(client, shards=4, seed=42)
    index.add(ids, vectors)                     # (n,) ids, (n, 3072) float32
    ids, scores = index.search(queries, k=10, m=64)
    index.save("/shared/vectors")               # one file per shard + manifest.json
    index = ShardedIndex.load(client, "/shared/vectors")

Shards
    Every shard is an ordinary korvane.Index made with the same seed, so all
    shards share one rotation and a shard answers exactly as a local Index
    holding the same vectors, added by the same calls, would. Vector `id`
    lives in shard ``mix64(id) % shards``, where mix64 is the SplitMix64
    finaliser (Stafford's "Mix13"), on unsigned 64-bit integers:

        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB
        z =  z ^ (z >> 31)

    The placement depends on the id and the shard count only, never on the
    process (Python's own hash() is salted per process).

Where a shard lives: a worker-resident object, not a Dask actor
    A shard's Index is kept in a registry inside the worker process and used
    by ordinary tasks pinned to that worker (``workers=[address]``,
    ``allow_other_workers=False``). Vectors and queries are scattered straight
    from the client to the shard's worker and reach the task as ordinary
    dependencies, already in that worker's memory. Tasks for several shards
    of one worker run on its thread pool side by side, and every call shows
    on the scheduler like any other task.

    Actors were the alternative. In this Dask an actor's methods run one at a
    time on a single thread per worker, futures are not resolved in their
    arguments (a scattered chunk would have to be looked up by hand), and
    when the worker holding an actor dies the scheduler may recompute the
    actor's creation task elsewhere, handing back an empty shard, while the
    client's handle keeps calling the dead address. A resident object fails
    more plainly: its task is cancelled or stranded, or it runs where the
    registry has no such shard, and the client turns all three into an error
    that names the shard.

    Neither kind is seen by Dask's memory accounting: a worker's memory
    limit should leave room for its shards (about 6-7 KB a vector plus 36
    MiB per shard).

Losing a worker
    Every call first asks the scheduler which workers are alive. A shard
    whose worker is gone is reloaded, on the live worker holding the fewest
    shards, from the files of the last save() or load() of this index; the
    call then warns with ShardsRestoredWarning, and ``restored_shards`` lists
    every shard restored since that save or load. Whatever was added to or
    removed from a restored shard after that save is lost; the other shards
    keep their changes. (Turn the warning into an error with
    ``warnings.simplefilter("error", ShardsRestoredWarning)``: it is raised
    once the shards are back, before the call does anything.)

    With no save to recover from, or when a worker dies while a call is
    running, the call raises ShardUnavailableError naming the shards. Calls
    that change the index may then have changed the other shards. Searches
    accept ``allow_partial=True`` to get the merged answer of the shards that
    could answer instead; ``missing_shards`` then names the others.

Files
    save(directory) has each worker write its shards' files (one korvane
    index file per shard) and then writes manifest.json: format version,
    seed, shard count, store kind, ef_construction, and per shard the file
    name, size, blake2b-256 checksum and vector count. The manifest is
    written last, to a temporary file that is flushed, synced and renamed
    over the old one; shard files carry a name unique to their save, so an
    interrupted save leaves the previous one whole. The directory must be
    one path that the client and every worker see (a shared file system;
    on one machine, any directory).

Threads
    A ShardedIndex may be used from several client threads: calls that
    change it (and the restoring of shards) take turns, and searches run
    side by side, waiting only while a change or a restore is under way.
    Workers must be able to import korvane and load libkorvane.so.
"""

import datetime
import errno
import hashlib
import json
import os
import re
import threading
import uuid
import warnings
import weakref

import numpy as np

import distributed
from distributed.scheduler import KilledWorker

from . import _index
from ._index import DIM, MISSING_ID, MISSING_SCORE, STORES, DuplicateIdError, Index

__all__ = [
    "ManifestError", "ShardFileError", "ShardUnavailableError", "ShardedIndex",
    "ShardsRestoredWarning", "mix64", "shard_of",
]

FORMAT = "korvane-sharded-index"
FORMAT_VERSION = 1
MANIFEST = "manifest.json"
#: Rows of vectors sent to a shard per add task (12 KiB each as float32).
CHUNK_ROWS = 4096
# Add tasks in flight per shard: the next chunk travels while one is inserted.
_WINDOW = 2
# How often a call that is waiting on workers checks that they are alive.
_POLL_SECONDS = 0.5
# Queries up to this size travel inside the search tasks (through the
# scheduler) rather than in a scatter of their own: a round trip less.
_INLINE_BYTES = 64 << 10
# Ceiling on the transfer of finished results before liveness is checked again.
_GATHER_SECONDS = 60
_FILTER_CAP = _index.MAX_K_SINGLE
_HASH_BLOCK = 1 << 20
_SHARD_FILE = re.compile(r"shard-\d{5,}-[0-9a-f]{12}\.korvane")

_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def mix64(ids):
    """The SplitMix64 finaliser of each id, as a uint64 array (or int for an int)."""
    if isinstance(ids, (int, np.integer)) and not isinstance(ids, (bool, np.bool_)):
        return int(mix64(np.array([_index._check_id(ids)], dtype=np.uint64))[0])
    z = np.array(_index._check_ids(ids, "ids"), dtype=np.uint64, copy=True)
    z ^= z >> np.uint64(30)
    z *= _MIX1
    z ^= z >> np.uint64(27)
    z *= _MIX2
    z ^= z >> np.uint64(31)
    return z


def shard_of(ids, shards):
    """The shard of each id among `shards`: mix64(id) % shards, as an intp array."""
    shards = _index._check_count(shards, "shards", 1)
    return (mix64(ids) % np.uint64(shards)).astype(np.intp)


# -- errors ---------------------------------------------------------------

class ShardUnavailableError(RuntimeError):
    """Shards that a call needs are not held by any live worker.

    `shards` is the tuple of their numbers; `recoverable` tells whether a
    save exists from which the next call restores them."""

    def __init__(self, message, shards, recoverable):
        super().__init__(message)
        self.shards = tuple(shards)
        self.recoverable = recoverable


class ShardsRestoredWarning(UserWarning):
    """Shards were reloaded from the last save after their worker was lost;
    their changes since that save are gone. `shards` names them."""

    def __init__(self, message, shards):
        super().__init__(message)
        self.shards = tuple(shards)


class ShardFileError(OSError):
    """A shard file named by a manifest is missing, differs from the manifest
    in size, checksum or vector count, or is not a readable korvane index.
    `filename` is its path, `shard` its number."""

    def __init__(self, message, filename=None, shard=None, code=None):
        super().__init__(code, message, filename)
        self.shard = shard

    def __str__(self):
        return self.strerror

    def __reduce__(self):  # raised on a worker, re-raised on the client
        return (type(self), (self.strerror, self.filename, self.shard, self.errno))


class ManifestError(OSError):
    """A manifest that is missing, unreadable or not one this version writes."""

    def __init__(self, message, filename=None, code=None):
        super().__init__(code, message, filename)

    def __str__(self):
        return self.strerror


class _ShardNotResident(LookupError):
    """Raised on a worker that holds no such shard: the task ran on a worker
    that replaced the one holding it."""

    def __init__(self, shard, address):
        super().__init__(shard, address)
        self.shard = shard
        self.address = address

    def __str__(self):
        return f"shard {self.shard} is not held by worker {self.address}"


# -- worker side ----------------------------------------------------------
#
# Each worker keeps its shards in a registry of its own, keyed by the
# ShardedIndex's token and the shard number. The functions below are the
# tasks that the client pins to the shard's worker.

_registry_lock = threading.Lock()
_registries = weakref.WeakKeyDictionary()  # Worker -> {(token, shard): Index}


def _registry():
    worker = distributed.get_worker()
    with _registry_lock:
        return _registries.setdefault(worker, {})


def _held(token, shard):
    index = _registry().get((token, shard))
    if index is None:
        raise _ShardNotResident(shard, distributed.get_worker().address)
    return index


def _install(token, shard, index):
    registry = _registry()
    with _registry_lock:
        old = registry.get((token, shard))
        registry[(token, shard)] = index
    if old is not None:
        old.close()
    return distributed.get_worker().address


def _threads(threads):
    return distributed.get_worker().state.nthreads if threads is None else threads


def _readable(a):
    """`a` as an array the library reads in place (a copy only when a transfer
    left it misaligned)."""
    return np.require(a, requirements=("C_CONTIGUOUS", "ALIGNED"))


def _w_create(token, shard, ef_construction, seed, store):
    return _install(token, shard, Index(ef_construction, seed, store=store))


def _w_drop(token, shard):
    registry = _registry()
    with _registry_lock:
        index = registry.pop((token, shard), None)
    if index is not None:
        index.close()


def _w_len(token, shard):
    return len(_held(token, shard))


def _w_live(token, shard, ids):
    """The ids of `ids` (distinct) that are live in the shard, in their order."""
    index = _held(token, shard)
    if ids.size >= len(index):
        # At least as many ids to check as the shard holds: one pass over its own.
        return ids[np.isin(ids, index.ids(), assume_unique=True)]
    return ids[np.fromiter((id_ in index for id_ in ids.tolist()), dtype=bool, count=ids.size)]


def _w_add(token, shard, ids, start, stop, vectors, threads, after=None):
    # `after` is the shard's previous add task: chunks go in in order.
    _held(token, shard).add(ids[start:stop], _readable(vectors), threads=_threads(threads))
    return stop - start


def _w_remove(token, shard, ids):
    return _held(token, shard).remove(ids)


def _w_search(token, shard, queries, k, m, threads):
    return _held(token, shard).search(_readable(queries), k=k, m=m, threads=_threads(threads),
                                      return_counts=True)


def _w_search_filtered(token, shard, queries, allowed, k):
    return _held(token, shard).search_filtered(_readable(queries), allowed, k=k,
                                               threads=_threads(None), return_counts=True)


def _file_digest(path):
    h = hashlib.blake2b(digest_size=32)
    size = 0
    with open(path, "rb") as f:
        while block := f.read(_HASH_BLOCK):
            h.update(block)
            size += len(block)
    return size, h.hexdigest()


def _w_save(token, shard, path):
    index = _held(token, shard)
    index.save(path)
    size, digest = _file_digest(path)
    return {"bytes": size, "blake2b": digest, "vectors": len(index)}


def _w_load(token, shard, path, entry):
    """Loads the shard file at `path` after checking it against its manifest
    entry; raises ShardFileError naming the file otherwise."""
    try:
        size, digest = _file_digest(path)
    except FileNotFoundError:
        raise ShardFileError(f"shard {shard} file {path!r} is missing", path, shard,
                             errno.ENOENT) from None
    except OSError as err:
        raise ShardFileError(f"shard {shard} file {path!r} cannot be read: {err}", path,
                             shard, err.errno) from None
    if size != entry["bytes"]:
        raise ShardFileError(f"shard {shard} file {path!r} has {size} bytes, the manifest "
                             f"says {entry['bytes']}", path, shard)
    if digest != entry["blake2b"]:
        raise ShardFileError(f"shard {shard} file {path!r} is damaged: its blake2b checksum "
                             "differs from the manifest's", path, shard)
    try:
        index = Index.load(path)
    except OSError as err:
        raise ShardFileError(f"shard {shard} file {path!r} is not a readable korvane index "
                             f"({err})", path, shard) from None
    if len(index) != entry["vectors"]:
        count = len(index)
        index.close()
        raise ShardFileError(f"shard {shard} file {path!r} holds {count} vectors, the "
                             f"manifest says {entry['vectors']}", path, shard)
    return _install(token, shard, index)


# -- manifest -------------------------------------------------------------

def _write_atomically(path, text):
    """Writes `text` to `path` through a synced temporary file renamed over it."""
    directory = os.path.dirname(path)
    tmp = os.path.join(directory, f".{os.path.basename(path)}.{uuid.uuid4().hex}.tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _read_manifest(directory):
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
    except FileNotFoundError:
        raise ManifestError(f"no manifest {path!r}: not a saved sharded index", path,
                            errno.ENOENT) from None
    except (OSError, ValueError) as err:
        raise ManifestError(f"manifest {path!r} cannot be read: {err}", path) from None
    try:
        _check_manifest(manifest)
    except (KeyError, TypeError, ValueError) as err:
        raise ManifestError(f"manifest {path!r} is not valid: {err}", path) from None
    return manifest


def _check_manifest(m):
    if m["format"] != FORMAT:
        raise ValueError(f"format {m['format']!r}, not {FORMAT!r}")
    if m["version"] != FORMAT_VERSION:
        raise ValueError(f"version {m['version']!r}; this korvane reads version {FORMAT_VERSION}")
    if m["store"] not in STORES:
        raise ValueError(f"unknown store {m['store']!r}")
    for name in ("seed", "ef_construction", "shards"):
        if type(m[name]) is not int or m[name] < 0:
            raise ValueError(f"{name} is {m[name]!r}")
    if m["shards"] < 1 or len(m["files"]) != m["shards"]:
        raise ValueError(f"{len(m['files'])} files for {m['shards']} shards")
    for s, entry in enumerate(m["files"]):
        if entry["shard"] != s:
            raise ValueError(f"entry {s} is for shard {entry['shard']!r}")
        if not isinstance(entry["name"], str) or not _SHARD_FILE.fullmatch(entry["name"]):
            raise ValueError(f"shard {s} has the file name {entry['name']!r}")
        for name in ("bytes", "vectors"):
            if type(entry[name]) is not int or entry[name] < 0:
                raise ValueError(f"shard {s} has {name} {entry[name]!r}")
        if not isinstance(entry["blake2b"], str) or not re.fullmatch(r"[0-9a-f]{64}", entry["blake2b"]):
            raise ValueError(f"shard {s} has the checksum {entry['blake2b']!r}")


# -- merging --------------------------------------------------------------

def _merge(parts, n, width):
    """The best `width` results per row of several (ids, scores, counts)
    answers of at least `width` columns each, by descending score, equal
    scores by ascending id, padded as a batch search pads. Returns (ids,
    scores, counts)."""
    if not parts:
        return (np.full((n, width), MISSING_ID, dtype=np.uint64),
                np.full((n, width), MISSING_SCORE, dtype=np.float32),
                np.zeros(n, dtype=np.uint64))
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    missing = np.concatenate(
        [np.arange(p[0].shape[1])[None, :] >= p[2].astype(np.intp)[:, None] for p in parts], axis=1)
    # Present entries first, then larger scores, then smaller ids.
    top = np.lexsort((ids, -scores, missing), axis=1)[:, :width]
    out_ids = np.take_along_axis(ids, top, axis=1)
    out_scores = np.take_along_axis(scores, top, axis=1)
    counts = np.minimum((~missing).sum(axis=1), width).astype(np.uint64)
    unused = np.arange(width)[None, :] >= counts.astype(np.intp)[:, None]
    out_ids[unused] = MISSING_ID
    out_scores[unused] = MISSING_SCORE
    return out_ids, out_scores, counts


def _single_or_batch(ids, scores, counts, single, return_counts):
    if single:
        found = int(counts[0])
        return ids[0, :found], scores[0, :found]
    return (ids, scores, counts) if return_counts else (ids, scores)


def _check_threads(threads):
    return None if threads is None else _index._check_count(threads, "threads", 0)


def _names(shards):
    shards = sorted(shards)
    return ("shard " if len(shards) == 1 else "shards ") + ", ".join(map(str, shards))


# -- the client-side index ------------------------------------------------

class ShardedIndex:
    """A korvane index over 3072-component float32 vectors split into
    `shards` korvane.Index shards held by the workers of `client`'s cluster
    (see the module's documentation for placement, files and failures).

    Methods take and return what korvane.Index takes and returns; they add
    `allow_partial` to the searches and raise ShardUnavailableError when a
    shard cannot be reached."""

    def __init__(self, client, shards, ef_construction=64, seed=0, store="sq8", workers=None):
        """Creates `shards` empty shards on the workers (the given addresses,
        or every worker of the cluster), dealt out in turn. Each shard is a
        korvane.Index(ef_construction, seed, store), `store` one of "sq8"
        (the default), "fp32" and "none" (see korvane.Index). Takes about a
        second per shard, the workers working in parallel."""
        shards = _index._check_count(shards, "shards", 1)
        ef_construction = _index._check_count(ef_construction, "ef_construction", 0)
        seed = _index._check_id(seed, "seed")
        if store not in STORES:
            raise ValueError(f"store must be one of {', '.join(STORES)}, not {store!r}")
        self._setup(client, shards, ef_construction, seed, store)
        where = self._deal(workers, shards)
        futures = {s: self._submit(_w_create, s, where[s], self._token, s, ef_construction,
                                   seed, store) for s in range(shards)}
        self._where = dict(where)
        try:
            self._collect(futures, "creating the index")
        except BaseException:
            self._drop_all()
            raise

    def _setup(self, client, shards, ef_construction, seed, store):
        self._client = client
        self._shards = shards
        self._ef_construction = ef_construction
        self._seed = seed
        self._store = store
        self._token = uuid.uuid4().hex
        self._where = {}            # shard -> address of the worker holding it
        self._lost = set()          # shards found gone, not yet restored
        self._save = None           # (directory, manifest) of the last save or load
        self._lock = threading.RLock()
        self._closed = False
        self.restored_shards = ()   # restored since the last save or load
        self.missing_shards = ()    # left out of the last partial search

    # -- properties --------------------------------------------------------

    @property
    def shards(self):
        return self._shards

    @property
    def seed(self):
        return self._seed

    @property
    def ef_construction(self):
        return self._ef_construction

    @property
    def store(self):
        return self._store

    @property
    def client(self):
        return self._client

    def shard_workers(self):
        """{shard: address of the worker holding it} as last known."""
        return dict(self._where)

    def __repr__(self):
        if self._closed:
            return "<korvane.distributed.ShardedIndex (closed)>"
        return (f"<korvane.distributed.ShardedIndex of {self._shards} shards on "
                f"{len(set(self._where.values()))} workers>")

    def __reduce__(self):
        raise TypeError("a ShardedIndex cannot be copied or pickled; save() and load() it")

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Frees every shard on its worker. Closing twice does nothing; every
        other method of a closed index raises ValueError."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._drop_all()

    def _drop_all(self):
        alive = self._alive()
        futures = {s: self._submit(_w_drop, s, a, self._token, s)
                   for s, a in self._where.items() if a in alive}
        self._settle(futures)

    def _check_open(self):
        if self._closed:
            raise ValueError("operation on a closed ShardedIndex")

    # -- talking to workers ----------------------------------------------

    def _alive(self):
        return set(self._client.nthreads())

    def _deal(self, workers, count):
        alive = sorted(self._alive())
        if workers is not None:
            workers = list(workers)
            absent = [w for w in workers if w not in alive]
            if absent:
                raise ValueError(f"not workers of this cluster: {', '.join(map(str, absent))}")
            alive = workers
        if not alive:
            raise RuntimeError("the cluster has no workers to hold shards")
        return {s: alive[s % len(alive)] for s in range(count)}

    def _submit(self, fn, shard, address, *args, **kwargs):
        name = fn.__name__.removeprefix("_w_").replace("_", "-")
        return self._client.submit(fn, *args, **kwargs, key=f"korvane-{name}-{shard}-{uuid.uuid4().hex}",
                                   workers=[address], allow_other_workers=False, pure=False)

    def _put(self, address, value):
        """Sends `value` from here straight into the memory of one worker.
        Raises ShardUnavailableError when that worker has gone."""
        try:
            return self._client.scatter([value], workers=[address], direct=True, hash=False)[0]
        except Exception:
            if address in self._alive():
                raise
            lost = {s for s, a in self._where.items() if a == address}
            self._lost |= lost
            raise self._unavailable(lost, "their worker was lost") from None

    def _send(self, where, value, allow_partial):
        """`value` sent once to every worker of {shard: address}. Returns
        ({address: future, or the value itself when it is small enough to
        travel inside the tasks}, shards whose worker could not be reached)."""
        if value.nbytes <= _INLINE_BYTES:
            return {address: value for address in where.values()}, set()
        sent, lost = {}, set()
        for address in sorted(set(where.values())):
            try:
                sent[address] = self._put(address, value)
            except ShardUnavailableError as err:
                if not allow_partial:
                    raise
                lost |= set(err.shards)
        return sent, lost

    def _settle(self, futures):
        """Waits for {shard: future}. Returns (results, lost, failures): the
        results by shard, the shards whose worker went away (or no longer
        holds them), and the other exceptions by shard."""
        pending = dict(futures)
        results, lost, failures = {}, set(), {}
        while pending:
            for s, f in list(pending.items()):
                if f.status == "cancelled":
                    lost.add(s)
                    del pending[s]
                elif f.status == "error":
                    exc = f.exception()
                    if isinstance(exc, (_ShardNotResident, KilledWorker)):
                        lost.add(s)
                    else:
                        failures[s] = exc
                    del pending[s]
            if not pending:
                break
            keys = list(pending)
            # While tasks run, wake up now and then: a task pinned to a worker
            # that died is stranded, never failed. Once all have finished,
            # give the transfer of their results time.
            running = any(pending[s].status == "pending" for s in keys)
            try:
                values = self._client.sync(
                    lambda: self._client.gather([pending[s] for s in keys], direct=True,
                                                asynchronous=True),
                    callback_timeout=_POLL_SECONDS if running else _GATHER_SECONDS)
            except Exception:
                # Still running, failed (sorted out above on the next turn),
                # or lost with its worker.
                alive = self._alive()
                for s in keys:
                    if self._where[s] not in alive:
                        pending.pop(s).cancel()
                        lost.add(s)
                continue
            results.update(zip(keys, values))
            break
        if failures:
            # An error from a shard whose worker has just died is its loss.
            alive = self._alive()
            for s in [s for s in failures if self._where[s] not in alive]:
                del failures[s]
                lost.add(s)
        return results, lost, failures

    def _collect(self, futures, doing, allow_partial=False):
        """_settle, then: a lost shard raises ShardUnavailableError (unless
        allow_partial), another failure is re-raised. Returns the results and
        the lost shards."""
        results, lost, failures = self._settle(futures)
        if lost:
            self._lost |= lost
        if failures:
            raise failures[min(failures)]
        if lost and not allow_partial:
            raise self._unavailable(lost, f"their worker was lost while {doing}")
        return results, lost

    def _unavailable(self, shards, why):
        if self._save is None:
            return ShardUnavailableError(
                f"{_names(shards)} unavailable: {why}, and there is no save to recover "
                "from (save() or load() the index to make recovery possible)", shards, False)
        return ShardUnavailableError(
            f"{_names(shards)} unavailable: {why}; the next call restores them from the "
            f"save in {self._save[0]!r}", shards, True)

    # -- recovery ----------------------------------------------------------

    def _dead(self, alive):
        return {s for s, a in self._where.items() if a not in alive} | self._lost

    def _ready(self, allow_partial=False):
        """Restores shards whose worker is gone, from the last save, and warns
        about them. Returns the shards that stay missing, which only
        allow_partial accepts (ShardUnavailableError otherwise)."""
        self._check_open()
        with self._lock:
            alive = self._alive()
            dead = self._dead(alive)
            if not dead:
                return ()
            if self._save is None:
                if allow_partial:
                    return tuple(sorted(dead))
                raise self._unavailable(dead, "their worker was lost")
            restored, error = self._restore(dead, alive)
        if restored:
            warnings.warn(ShardsRestoredWarning(
                f"{_names(restored)} restored from the save in {self._save[0]!r} after their "
                "worker was lost; what was added to or removed from them since that save is "
                "lost", restored), stacklevel=3)
        if error is not None:
            if allow_partial:
                return error.shards
            raise error
        return ()

    def _restore(self, dead, alive):
        """Loads the dead shards from the last save onto the live workers
        holding the fewest shards. Returns (restored shards, None or the
        ShardUnavailableError of those that could not be restored)."""
        directory, manifest = self._save
        held = {a: 0 for a in alive}
        for s, a in self._where.items():
            if s not in dead and a in held:
                held[a] += 1
        if not held:
            return (), ShardUnavailableError(
                f"{_names(dead)} unavailable: their worker was lost and the cluster has no "
                "workers left", dead, True)
        futures = {}
        for s in sorted(dead):
            address = min(held, key=lambda a: (held[a], a))
            held[address] += 1
            self._where[s] = address
            entry = manifest["files"][s]
            futures[s] = self._submit(_w_load, s, address, self._token, s,
                                      os.path.join(directory, entry["name"]), entry)
        _, lost, failures = self._settle(futures)
        failed = set(failures) | lost
        self._lost = (self._lost - dead) | failed
        restored = tuple(sorted(dead - failed))
        self.restored_shards = tuple(sorted(set(self.restored_shards) | set(restored)))
        if not failed:
            return restored, None
        cause = failures.get(min(failed))
        why = f"restoring them failed: {cause}" if cause else "their new worker was lost too"
        error = ShardUnavailableError(
            f"{_names(failed)} unavailable: their worker was lost and {why} (the next call "
            "tries again)", failed, True)
        error.__cause__ = cause
        return restored, error

    def recover(self):
        """Restores now any shard whose worker is gone, as the next call
        would, without the warning. Returns the restored shards; raises
        ShardUnavailableError for those that cannot be."""
        self._check_open()
        with self._lock:
            alive = self._alive()
            dead = self._dead(alive)
            if not dead:
                return ()
            if self._save is None:
                raise self._unavailable(dead, "their worker was lost")
            restored, error = self._restore(dead, alive)
        if error is not None:
            raise error
        return restored

    # -- changing the index ----------------------------------------------

    def _routed(self, ids):
        """{shard: positions of its ids in `ids`, in input order}."""
        owner = shard_of(ids, self._shards)
        order = np.argsort(owner, kind="stable")
        bounds = np.searchsorted(owner[order], np.arange(self._shards + 1))
        return {s: order[bounds[s]:bounds[s + 1]] for s in range(self._shards)
                if bounds[s + 1] > bounds[s]}

    def add(self, ids, vectors, threads=None, chunk_rows=CHUNK_ROWS):
        """Adds one vector (an int id, an array of shape (3072,)) or a batch
        (n ids, an array of shape (n, 3072) float32, C-contiguous). Each
        shard gets its vectors in input order, `chunk_rows` at a time, each
        chunk one korvane.Index.add on `threads` threads (None: the
        worker's thread count).

        Raises DuplicateIdError, with nothing inserted in any shard, when an
        id is live in its shard or occurs twice in the batch: every shard is
        checked before any inserts. Raises ShardUnavailableError when a
        shard's worker is lost (the other shards may then have taken their
        vectors), and MemoryError as a shard's Index.add does."""
        vectors = _index._check_vectors(vectors, "vectors")
        threads = _check_threads(threads)
        chunk_rows = _index._check_count(chunk_rows, "chunk_rows", 1)
        if vectors.ndim == 1:
            if isinstance(ids, (np.ndarray, list, tuple)):
                raise ValueError("one vector of shape (3072,) takes one integer id; "
                                 "pass vectors of shape (n, 3072) for a batch")
            ids = np.array([_index._check_id(ids)], dtype=np.uint64)
            vectors = vectors.reshape(1, DIM)
        ids = _index._check_ids(ids, "ids")
        if ids.shape[0] != vectors.shape[0]:
            raise ValueError(f"{ids.shape[0]} ids for {vectors.shape[0]} vectors")
        values, counts = np.unique(ids, return_counts=True)
        if (counts > 1).any():
            id_ = int(values[counts > 1][0])
            raise DuplicateIdError(f"id {id_} occurs more than once in the batch; nothing was "
                                   "inserted", id_)
        self._ready()
        with self._lock:
            self._check_open()
            if ids.size == 0:
                return
            routed = self._routed(ids)
            shard_ids = {s: self._put(self._where[s], ids[pos]) for s, pos in routed.items()}
            # Check every shard before touching any.
            live, _ = self._collect(
                {s: self._submit(_w_live, s, self._where[s], self._token, s, shard_ids[s])
                 for s in routed}, "checking ids")
            present = [(s, v) for s, found in sorted(live.items()) for v in found.tolist()]
            if present:
                s, id_ = present[0]
                raise DuplicateIdError(f"id {id_} is already in the index (shard {s}); nothing "
                                       "was inserted", id_)
            self._insert(routed, shard_ids, vectors, threads, chunk_rows)

    def _insert(self, routed, shard_ids, vectors, threads, chunk_rows):
        chains = {s: [] for s in routed}  # add futures in flight, oldest first
        rounds = max(-(-pos.size // chunk_rows) for pos in routed.values())
        try:
            for r in range(rounds):
                for s, pos in routed.items():
                    start, stop = r * chunk_rows, min((r + 1) * chunk_rows, pos.size)
                    if start >= stop:
                        continue
                    chain = chains[s]
                    if len(chain) >= _WINDOW:
                        self._collect({s: chain.pop(0)}, "adding vectors")
                    address = self._where[s]
                    chunk = self._put(address, np.ascontiguousarray(vectors[pos[start:stop]]))
                    chain.append(self._submit(_w_add, s, address, self._token, s, shard_ids[s],
                                              start, stop, chunk, threads,
                                              chain[-1] if chain else None))
        except BaseException:
            # Let what was sent finish, so that nothing is inserted after
            # this call has returned.
            self._settle({s: chain[-1] for s, chain in chains.items() if chain})
            raise
        self._collect({s: chain[-1] for s, chain in chains.items() if chain}, "adding vectors")


    def remove(self, ids):
        """Deletes the vectors with these ids (one int or a sequence). Raises
        KeyError, with nothing removed, when an id is not live or occurs
        twice."""
        if isinstance(ids, (int, np.integer)):
            ids = [ids]
        ids = _index._check_ids(ids, "ids")
        values, counts = np.unique(ids, return_counts=True)
        if (counts > 1).any():
            raise KeyError(int(values[counts > 1][0]))
        self._ready()
        with self._lock:
            self._check_open()
            if ids.size == 0:
                return
            routed = self._routed(ids)
            shard_ids = {s: self._put(self._where[s], ids[pos]) for s, pos in routed.items()}
            live, _ = self._collect(
                {s: self._submit(_w_live, s, self._where[s], self._token, s, shard_ids[s])
                 for s in routed}, "checking ids")
            found = set(np.concatenate(list(live.values())).tolist())
            for id_ in ids.tolist():
                if id_ not in found:
                    raise KeyError(id_)
            self._collect({s: self._submit(_w_remove, s, self._where[s], self._token, s,
                                           shard_ids[s]) for s in routed}, "removing vectors")

    def __len__(self):
        """The number of live vectors over all shards."""
        self._ready()
        where = dict(self._where)
        results, _ = self._collect({s: self._submit(_w_len, s, a, self._token, s)
                                    for s, a in where.items()}, "counting vectors")
        return sum(results.values())

    # -- searching --------------------------------------------------------

    def search(self, queries, k=10, m=None, threads=None, return_counts=False,
               allow_partial=False):
        """Finds the k vectors with the largest inner product with each query,
        as korvane.Index.search does: every shard answers the whole batch
        with breadth m (None: max(64, k); on `threads` threads, None: the
        worker's count), and
        the best k of their answers are kept, by descending score, equal
        scores by ascending id. (Which of several equal scores at its k-th
        place a shard keeps is, as for a local index, the library's choice.)

        One query of shape (3072,): returns (ids, scores) of the found count.
        A batch (n, 3072): (ids, scores) of shape (n, k), padded with
        MISSING_ID and MISSING_SCORE; return_counts=True adds the counts.

        A shard that cannot answer raises ShardUnavailableError; with
        allow_partial=True the others' answer is returned and
        `missing_shards` names the rest."""
        queries = _index._check_vectors(queries, "queries")
        k = _index._check_count(k, "k", 0)
        m = max(_index.DEFAULT_M, k) if m is None else _index._check_count(m, "m", 1)
        threads = _check_threads(threads)
        single = queries.ndim == 1
        if single and return_counts:
            raise ValueError("return_counts applies to a batch of queries")
        batch = queries.reshape(1, DIM) if single else queries
        n = batch.shape[0]
        missing = self._ready(allow_partial)
        where = {s: a for s, a in self._where.items() if s not in missing}
        parts, lost = [], set()
        if n and k and where:
            sent, lost = self._send(where, batch, allow_partial)
            results, lost_now = self._collect(
                {s: self._submit(_w_search, s, a, self._token, s, sent[a], k, m, threads)
                 for s, a in where.items() if a in sent}, "searching", allow_partial)
            lost |= lost_now
            parts = [results[s] for s in sorted(results)]
        self.missing_shards = tuple(sorted(set(missing) | lost))
        ids, scores, counts = _merge(parts, n, k)
        return _single_or_batch(ids, scores, counts, single, return_counts)

    def search_filtered(self, queries, allowed_ids, k=10, return_counts=False, allow_partial=False):
        """Scores exactly the live vectors whose ids are in `allowed_ids`
        against one query (3072,) or each of a batch (n, 3072), as
        korvane.Index.search_filtered does: each allowed id goes to its
        shard only, and at most min(k, 256) results are kept per query.
        Returns as search() does for one query or a batch."""
        queries = _index._check_vectors(queries, "queries")
        allowed = _index._check_ids(allowed_ids, "allowed_ids")
        k = _index._check_count(k, "k", 0)
        single = queries.ndim == 1
        if single and return_counts:
            raise ValueError("return_counts applies to a batch of queries")
        batch = queries.reshape(1, DIM) if single else queries
        n = batch.shape[0]
        width = min(k, _FILTER_CAP)
        missing = self._ready(allow_partial)
        routed = self._routed(allowed) if allowed.size else {}
        where = {s: self._where[s] for s in routed if s not in missing}
        parts, lost = [], set()
        if n and width and where:
            sent, lost = self._send(where, batch, allow_partial)
            futures = {}
            for s, a in where.items():
                if a not in sent or s in lost:
                    continue
                own = allowed[routed[s]]
                try:
                    if own.nbytes > _INLINE_BYTES:
                        own = self._put(a, own)
                except ShardUnavailableError as err:
                    if not allow_partial:
                        raise
                    lost |= set(err.shards)
                    continue
                futures[s] = self._submit(_w_search_filtered, s, a, self._token, s, sent[a], own, k)
            results, lost_now = self._collect(futures, "searching", allow_partial)
            lost |= lost_now
            parts = [results[s] for s in sorted(results)]
        self.missing_shards = tuple(sorted((set(missing) | lost) & set(routed)))
        ids, scores, counts = _merge(parts, n, width)
        return _single_or_batch(ids, scores, counts, single, return_counts)

    # -- persistence ------------------------------------------------------

    def _manifest(self, files):
        return {
            "format": FORMAT,
            "version": FORMAT_VERSION,
            "seed": self._seed,
            "ef_construction": self._ef_construction,
            "store": self._store,
            "shards": self._shards,
            "routing": "splitmix64-finaliser(id) mod shards",
            "saved": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "vectors": sum(f["vectors"] for f in files),
            "files": files,
        }

    def save(self, directory):
        """Writes every shard to its own file in `directory` (created if
        needed; one path for the client and all workers), then the manifest.
        A failed save leaves the previous save in that directory intact.
        Afterwards, lost workers' shards are restored from this save."""
        self._ready()
        directory = os.path.abspath(os.fsdecode(directory))
        with self._lock:
            self._check_open()
            os.makedirs(directory, exist_ok=True)
            try:
                previous = _read_manifest(directory)
            except ManifestError:
                previous = None
            tag = uuid.uuid4().hex[:12]
            names = {s: f"shard-{s:05d}-{tag}.korvane" for s in range(self._shards)}
            try:
                written, _ = self._collect(
                    {s: self._submit(_w_save, s, a, self._token, s, os.path.join(directory, names[s]))
                     for s, a in self._where.items()}, "saving")
                files = [{"shard": s, "name": names[s], **written[s]} for s in range(self._shards)]
                manifest = self._manifest(files)
                _write_atomically(os.path.join(directory, MANIFEST),
                                  json.dumps(manifest, indent=1) + "\n")
            except BaseException:
                for name in names.values():
                    try:
                        os.unlink(os.path.join(directory, name))
                    except OSError:
                        pass
                raise
            if previous is not None:
                for entry in previous["files"]:
                    if entry["name"] not in names.values():
                        try:
                            os.unlink(os.path.join(directory, entry["name"]))
                        except OSError:
                            pass
            self._save = (directory, manifest)
            self.restored_shards = ()

    @classmethod
    def load(cls, client, directory, workers=None):
        """Reads an index written by save(), dealing its shards out to the
        workers (the given addresses, or all) in turn. Every shard file is
        checked against the manifest (size, checksum, vector count) by the
        worker loading it. Raises ManifestError for a missing or invalid
        manifest and ShardFileError naming the first bad shard file (the
        message names all of them); nothing stays loaded then."""
        directory = os.path.abspath(os.fsdecode(directory))
        manifest = _read_manifest(directory)
        self = cls.__new__(cls)
        self._setup(client, manifest["shards"], manifest["ef_construction"], manifest["seed"],
                    manifest["store"])
        where = self._deal(workers, self._shards)
        self._where = dict(where)
        futures = {s: self._submit(_w_load, s, where[s], self._token, s,
                                   os.path.join(directory, manifest["files"][s]["name"]),
                                   manifest["files"][s])
                   for s in range(self._shards)}
        try:
            _, lost, failures = self._settle(futures)
            if failures:
                first = failures[min(failures)]
                if isinstance(first, ShardFileError) and len(failures) > 1:
                    others = [str(failures[s]) for s in sorted(failures)[1:]]
                    first = ShardFileError("; ".join([str(first)] + others), first.filename,
                                           first.shard, first.errno)
                raise first
            if lost:
                raise ShardUnavailableError(f"{_names(lost)}: the worker was lost while "
                                            "loading", lost, True)
        except BaseException:
            self._drop_all()
            raise
        self._save = (directory, manifest)
        return self
