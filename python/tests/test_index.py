import copy
import errno
import os
import pickle
import shutil
import threading

import numpy as np
import pytest

import korvane
from korvane import _native

DIM = korvane.DIM
N = 1500
K = 10


def clustered_unit_vectors(rng, n, centres, noise=1.0):
    """Unit vectors scattered around the given unit centres."""
    picks = rng.integers(0, centres.shape[0], size=n)
    x = centres[picks] + rng.standard_normal((n, DIM), dtype=np.float32) * np.float32(noise / np.sqrt(DIM))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def assert_raises(error, name, call, match=None):
    with pytest.raises(error, match=match):
        call()
        pytest.fail(f"{name}: no {error.__name__}")


def exact_top_k(data, queries, k):
    return np.argsort(-(queries @ data.T), axis=1, kind="stable")[:, :k]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(20240611)
    centres = rng.standard_normal((30, DIM), dtype=np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    vectors = clustered_unit_vectors(rng, N, centres)
    queries = clustered_unit_vectors(rng, 40, centres)
    # Ids far from 0..N-1, so that an internal position passed off as an id shows.
    ids = np.arange(N, dtype=np.uint64) * np.uint64(7919) + np.uint64(1 << 40)
    return ids, vectors, queries


@pytest.fixture(scope="module")
def index(data):
    """Shared, never changed after building."""
    ids, vectors, _ = data
    with korvane.Index(ef_construction=64, seed=7) as ix:
        ix.add(ids, vectors, threads=2)
        yield ix


@pytest.fixture
def small_index(data):
    """A fresh index of 200 vectors that a test may change."""
    ids, vectors, _ = data
    ix = korvane.Index(seed=3)
    ix.add(ids[:200], vectors[:200])
    yield ix
    ix.close()


def test_recall_against_exact_search(index, data):
    ids, vectors, queries = data
    truth = ids[exact_top_k(vectors, queries, K)]
    found, scores, counts = index.search(queries, k=K, m=128, return_counts=True)
    assert (counts == K).all()
    recall = np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)])
    assert recall >= 0.9
    assert (np.diff(scores, axis=1) <= 0).all()
    # The 8-bit scores track the exact inner products.
    exact = np.einsum("qd,qkd->qk", queries, vectors[np.searchsorted(ids, found)])
    np.testing.assert_allclose(scores, exact, atol=0.02)


def test_single_and_batch_search_agree(index, data):
    _, _, queries = data
    for k, m in [(1, 1), (10, 8), (10, 64), (40, 200), (300, 400)]:
        case = f"k={k} m={m}"
        batch_ids, batch_scores, counts = index.search(queries[:8], k=k, m=m, threads=2,
                                                       return_counts=True)
        assert (counts == min(k, m)).all(), case
        for q in range(8):
            ids, scores = index.search(queries[q], k=k, m=m)
            assert ids.dtype == np.uint64 and scores.dtype == np.float32
            np.testing.assert_array_equal(ids, batch_ids[q, :counts[q]], err_msg=case)
            np.testing.assert_array_equal(scores, batch_scores[q, :counts[q]], err_msg=case)
            assert (batch_ids[q, counts[q]:] == korvane.MISSING_ID).all(), case
            assert (batch_scores[q, counts[q]:] == -np.inf).all(), case
    # Thread count changes nothing.
    one = index.search(queries, k=K, m=64, threads=1)
    two = index.search(queries, k=K, m=64, threads=2)
    np.testing.assert_array_equal(one[0], two[0])
    np.testing.assert_array_equal(one[1], two[1])


def test_concurrent_single_searches_match_sequential(index, data):
    _, _, queries = data
    expected = [index.search(q, k=K, m=48) for q in queries]
    results = [None] * len(queries)

    def worker(start):
        for q in range(start, len(queries), 4):
            results[q] = index.search(queries[q], k=K, m=48)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (ids, scores), (want_ids, want_scores) in zip(results, expected):
        np.testing.assert_array_equal(ids, want_ids)
        np.testing.assert_array_equal(scores, want_scores)


def test_save_load_round_trip(index, data, tmp_path):
    _, _, queries = data
    path = tmp_path / "round.korvane"
    index.save(path)
    with korvane.Index.load(path) as loaded:
        assert len(loaded) == len(index)
        for m in (16, 128):
            want = index.search(queries, k=K, m=m, return_counts=True)
            got = loaded.search(queries, k=K, m=m, return_counts=True)
            for w, g in zip(want, got):
                np.testing.assert_array_equal(w, g)
        np.testing.assert_array_equal(index.search(queries[0])[0], loaded.search(queries[0])[0])
        # A loaded index saves to the very same bytes.
        again = tmp_path / "again.korvane"
        loaded.save(str(again))
        assert path.read_bytes() == again.read_bytes()


def test_search_filtered_returns_only_allowed_ids(index, data):
    ids, vectors, queries = data
    rng = np.random.default_rng(5)
    allowed_pos = rng.choice(N, size=200, replace=False)
    allowed = ids[allowed_pos]
    unknown = [1, 2, 3]  # never added
    hits = 0
    for query in queries[:10]:
        found, scores = index.search_filtered(query, list(allowed) + unknown, k=K)
        assert len(found) == K
        assert set(found) <= set(allowed)
        assert (np.diff(scores) <= 0).all()
        truth = allowed[exact_top_k(vectors[allowed_pos], query[None], K)[0]]
        hits += len(set(found) & set(truth))
    assert hits / (10 * K) >= 0.9
    # k is capped at 256, and an empty allow-list finds nothing.
    assert len(index.search_filtered(queries[0], allowed, k=1000)[0]) == 200
    assert len(index.search_filtered(queries[0], ids, k=1000)[0]) == 256
    assert len(index.search_filtered(queries[0], [], k=K)[0]) == 0
    assert len(index.search_filtered(queries[0], np.array(allowed, dtype=np.int64), k=0)[0]) == 0


def test_malformed_arrays_raise_value_error(index, data):
    ids, vectors, queries = data
    good = queries[0]
    wide = np.zeros((2, 2 * DIM), dtype=np.float32)
    misaligned = np.frombuffer(np.zeros(DIM * 4 + 1, dtype=np.uint8)[1:].data, dtype=np.float32)
    cases = {
        "float64": good.astype(np.float64),
        "float16": good.astype(np.float16),
        "int32": np.zeros(DIM, dtype=np.int32),
        "big-endian": good.astype(">f4"),
        "list": list(good),
        "0-d": np.array(1.0, dtype=np.float32),
        "3-d": np.zeros((1, 1, DIM), dtype=np.float32),
        "3071": np.zeros(DIM - 1, dtype=np.float32),
        "3073": np.zeros((2, DIM + 1), dtype=np.float32),
        "strided": wide[:, ::2],
        "fortran": np.asfortranarray(np.zeros((2, DIM), dtype=np.float32)),
        "misaligned": misaligned,
    }
    before = len(index)
    for name, bad in cases.items():
        two_d = getattr(bad, "ndim", 0) == 2
        add_ids = np.arange(bad.shape[0], dtype=np.uint64) if two_d else 5
        assert_raises(ValueError, f"search {name}", lambda: index.search(bad))
        assert_raises(ValueError, f"search_filtered {name}", lambda: index.search_filtered(bad, ids[:3]))
        assert_raises(ValueError, f"add {name}", lambda: index.add(add_ids, bad))
    assert len(index) == before


def test_malformed_arguments_raise_value_error(index, data):
    ids, vectors, queries = data
    calls = {
        "id count differs": lambda: index.add(np.arange(3), vectors[:2]),
        "negative id": lambda: index.add(-1, vectors[0]),
        "id too large": lambda: index.add(1 << 64, vectors[0]),
        "float ids": lambda: index.add(np.array([1.0, 2.0]), vectors[:2]),
        "negative int64 ids": lambda: index.add(np.array([3, -3]), vectors[:2]),
        "2-d ids": lambda: index.add(np.zeros((2, 1), dtype=np.uint64), vectors[:2]),
        "list id for one vector": lambda: index.add([1], vectors[0]),
        "scalar id for a batch": lambda: index.add(1, vectors[:2]),
        "negative k": lambda: index.search(queries[0], k=-1),
        "m of 0": lambda: index.search(queries, m=0),
        "negative threads": lambda: index.search(queries, threads=-1),
        "float k": lambda: index.search(queries[0], k=2.5),
        "counts of one query": lambda: index.search(queries[0], return_counts=True),
        "counts of one filtered query": lambda: index.search_filtered(queries[0], ids[:3],
                                                                      return_counts=True),
        "negative filter threads": lambda: index.search_filtered(queries[:2], ids[:3], threads=-1),
        "float ids to remove": lambda: index.remove([1.5]),
        "string allow-list": lambda: index.search_filtered(queries[0], "123"),
        "NUL in path": lambda: index.save("a\0b"),
        "negative seed": lambda: korvane.Index(seed=-1),
        "seed past 2**64": lambda: korvane.Index(seed=2**64),
    }
    before = len(index)
    for name, call in calls.items():
        assert_raises(ValueError, name, call)
    assert len(index) == before


def test_duplicate_ids_insert_nothing(small_index, data):
    ids, vectors, _ = data
    ix = small_index
    with pytest.raises(korvane.DuplicateIdError) as err:
        ix.add(ids[5], vectors[5])
    assert isinstance(err.value, KeyError) and err.value.id == int(ids[5])
    assert err.value.position is None and str(ids[5]) in str(err.value)
    # A batch holding one live id, or one id twice, inserts none of its
    # vectors; the error names the id and its position in the batch.
    cases = {
        "live id": (ids[[300, 301, 10, 302]], int(ids[10]), 2, "already in the index"),
        "id twice": (ids[[300, 301, 300]], int(ids[300]), 2, "twice"),
    }
    for case, (batch, culprit, position, words) in cases.items():
        with pytest.raises(korvane.DuplicateIdError) as err:
            ix.add(batch, vectors[:len(batch)], threads=2)
        assert (err.value.id, err.value.position) == (culprit, position), case
        assert str(culprit) in str(err.value) and words in str(err.value), case
        assert len(ix) == 200
        assert len(ix.search_filtered(vectors[300], ids[300:303])[0]) == 0
    ix.add(ids[300:303], vectors[300:303])
    assert len(ix) == 203


def test_remove(small_index, data):
    ids, vectors, _ = data
    ix = small_index
    target = int(ids[17])
    assert ix.search(vectors[17], k=1)[0][0] == target
    ix.remove(target)
    assert len(ix) == 199
    with pytest.raises(KeyError):
        ix.remove(target)
    with pytest.raises(KeyError):
        ix.remove(12345)  # never added
    assert target not in ix.search(vectors[17], k=50, m=200)[0]
    assert len(ix.search_filtered(vectors[17], [target])[0]) == 0
    # The id may be used again.
    ix.add(target, vectors[17])
    assert len(ix) == 200
    assert ix.search(vectors[17], k=1)[0][0] == target


def test_same_seed_gives_same_file_whatever_the_threads(data, tmp_path):
    ids, vectors, _ = data
    files = []
    for threads in (1, 2):
        with korvane.Index(seed=11) as ix:
            ix.add(ids[:300], vectors[:300], threads=threads)
            ix.add(ids[300], vectors[300])
            path = tmp_path / f"t{threads}.korvane"
            ix.save(path)
            files.append(path.read_bytes())
    assert files[0] == files[1]


def test_empty_index_and_empty_batches(data):
    _, vectors, queries = data
    with korvane.Index() as ix:
        assert len(ix) == 0
        ix.add([], vectors[:0])
        ids, scores = ix.search(queries[0])
        assert ids.shape == (0,) and scores.shape == (0,)
        ids, scores, counts = ix.search(queries[:3], k=4, return_counts=True)
        assert ids.shape == (3, 4) and (counts == 0).all()
        assert (ids == korvane.MISSING_ID).all()
        ids, scores = ix.search(queries[:0], k=4)
        assert ids.shape == (0, 4)


def test_closed_index_raises_value_error(data, tmp_path):
    ids, vectors, queries = data
    ix = korvane.Index()
    with ix as same:
        assert same is ix
        ix.add(ids[:3], vectors[:3])
        ix.search(queries[0])  # leaves a cached context behind
    assert ix.closed
    ix.close()  # idempotent
    calls = {
        "len": lambda: len(ix),
        "add": lambda: ix.add(1, vectors[0]),
        "add batch": lambda: ix.add(ids[:2], vectors[:2]),
        "remove": lambda: ix.remove(int(ids[0])),
        "search": lambda: ix.search(queries[0]),
        "search batch": lambda: ix.search(queries),
        "search_filtered": lambda: ix.search_filtered(queries[0], ids[:2]),
        "search_filtered, empty list": lambda: ix.search_filtered(queries[0], []),
        "search_filtered batch": lambda: ix.search_filtered(queries[:2], ids[:2]),
        "remove batch": lambda: ix.remove(ids[:2]),
        "in": lambda: int(ids[0]) in ix,
        "ids": lambda: ix.ids(),
        "nbytes": lambda: ix.nbytes,
        "save": lambda: ix.save(tmp_path / "closed.korvane"),
        "with": lambda: ix.__enter__(),
    }
    for name, call in calls.items():
        assert_raises(ValueError, name, call, match="closed")
    assert "closed" in repr(ix)


def test_copying_is_refused(small_index):
    for copy_it in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            copy_it(small_index)
    assert len(small_index) == 200


def test_file_errors_raise_os_error_with_path(index, tmp_path):
    missing_dir = tmp_path / "no" / "such" / "dir" / "x.korvane"
    with pytest.raises(OSError) as err:
        index.save(missing_dir)
    assert err.value.filename == str(missing_dir)
    with pytest.raises(FileNotFoundError):
        korvane.Index.load(tmp_path / "absent.korvane")
    junk = tmp_path / "junk.korvane"
    junk.write_bytes(b"TQX5" + bytes(1000))
    with pytest.raises(OSError) as err:
        korvane.Index.load(junk)
    assert err.value.filename == str(junk) and str(junk) in str(err.value)
    # A truncated copy of a real file is refused too.
    good = tmp_path / "good.korvane"
    index.save(good)
    cut = tmp_path / "cut.korvane"
    cut.write_bytes(good.read_bytes()[: good.stat().st_size // 2])
    with pytest.raises(OSError):
        korvane.Index.load(cut)


def test_library_lookup(tmp_path):
    env_path = str(tmp_path / "missing" / "libkorvane.so")
    places = _native.candidate_paths({_native.ENV_VARIABLE: env_path})
    assert places == [(f"${_native.ENV_VARIABLE}", env_path)]
    with pytest.raises(OSError) as err:
        _native.load_library({_native.ENV_VARIABLE: env_path})
    assert env_path in str(err.value) and _native.ENV_VARIABLE in str(err.value)
    # Without the variable: next to the package, then the source tree's build/.
    package_dir = tmp_path / "src" / "python" / "korvane"
    package_dir.mkdir(parents=True)
    (tmp_path / "src" / "CMakeLists.txt").touch()  # what makes it a source tree
    paths = [p for _, p in _native.candidate_paths({}, package_dir)]
    assert paths[:2] == [str(package_dir / "libkorvane.so"),
                         str(tmp_path / "src" / "build" / "libkorvane.so")]
    assert paths[-1] == "libkorvane.so"
    # A file that is not a shared library is skipped with its reason.
    fake = tmp_path / "libkorvane.so"
    fake.write_bytes(b"not an ELF file")
    with pytest.raises(OSError) as err:
        _native.load_library({_native.ENV_VARIABLE: str(fake)})
    assert str(fake) in str(err.value)


# -- failures that say why --------------------------------------------------

def _flip_middle_byte(path):
    raw = bytearray(path.read_bytes())
    raw[len(raw) // 2] ^= 0x10
    path.write_bytes(bytes(raw))


def _truncate_by_100(path):
    path.write_bytes(path.read_bytes()[:-100])


@pytest.fixture(scope="module")
def saved_file(index, tmp_path_factory):
    """A file of the shared index, to copy and spoil."""
    path = tmp_path_factory.mktemp("saved") / "good.korvane"
    index.save(path)
    return path


@pytest.mark.parametrize("case, exception, code, words", [
    ("save into a missing directory", FileNotFoundError, errno.ENOENT, "cannot create a file"),
    ("save over a directory", korvane.IndexFileError, None, "not a regular file"),
    ("load a missing file", FileNotFoundError, errno.ENOENT, "cannot open"),
    ("load a directory", korvane.IndexFileError, None, "not a regular file"),
    ("load a file that is no index", korvane.IndexFileError, None, "not a korvane index"),
    ("load a file for another dimension", korvane.IndexFileError, None, "another dimension"),
    ("load a file with a flipped byte", korvane.CorruptIndexError, None, "checksum mismatch"),
    ("load a truncated file", korvane.CorruptIndexError, None, "damaged"),
])
def test_file_failures_say_why(case, exception, code, words, index, saved_file, tmp_path):
    target = tmp_path / "x.korvane"
    if case == "save into a missing directory":
        target = tmp_path / "no" / "such" / "x.korvane"
    elif case in ("save over a directory", "load a directory"):
        target.mkdir()
    elif case == "load a file that is no index":
        target.write_bytes(b"NOPE" + bytes(1000))
    elif case == "load a file for another dimension":
        target.write_bytes(b"TQX5" + bytes(1000))  # the magic, then a header of zeros
    elif case.startswith("load a file with") or case == "load a truncated file":
        shutil.copy(saved_file, target)
        (_flip_middle_byte if "flipped" in case else _truncate_by_100)(target)
    call = index.save if case.startswith("save") else korvane.Index.load
    with pytest.raises(OSError) as err:
        call(target)
    assert type(err.value) is exception, (case, err.value)
    assert err.value.errno == code, case
    assert err.value.filename == str(target), case
    assert words in err.value.strerror and str(target) in str(err.value), (case, str(err.value))
    assert "None" not in str(err.value), case
    if exception is korvane.CorruptIndexError:
        assert 0 < err.value.offset <= saved_file.stat().st_size, case
    # The exception survives a trip between processes (a Dask worker's, say).
    again = pickle.loads(pickle.dumps(err.value))
    assert (type(again), again.errno, again.strerror, again.filename) == (
        exception, code, err.value.strerror, err.value.filename), case


# Integers that a size_t or uint64_t cannot hold are refused, never wrapped
# modulo 2**64 on their way through ctypes.
@pytest.mark.parametrize("case, call", [
    ("m past 2**64", lambda ix, ids, v, q: ix.search(q[0], k=10, m=2**64 + 64)),
    ("batch m past 2**64", lambda ix, ids, v, q: ix.search(q[:2], k=10, m=2**64 + 64)),
    ("search threads past 2**64", lambda ix, ids, v, q: ix.search(q[:2], threads=2**64 + 1)),
    # (Ids already live: were the threads wrapped, the add would fail otherwise.)
    ("add threads past 2**64", lambda ix, ids, v, q: ix.add(ids[:2], v[:2], threads=2**64 + 1)),
    ("filtered k past 2**64", lambda ix, ids, v, q: ix.search_filtered(q[0], ids, k=2**64 + 3)),
    ("ef_construction past 2**64", lambda ix, ids, v, q: korvane.Index(ef_construction=2**64 + 40)),
])
def test_out_of_range_integers_raise_value_error(case, call, index, data):
    ids, vectors, queries = data
    before = len(index)
    with pytest.raises(ValueError):
        call(index, ids, vectors, queries)
    assert len(index) == before


def test_a_waiting_writer_is_not_starved_by_searching_threads(data):
    """Threads searching in a loop must let add(), remove() and close() in."""
    ids, vectors, queries = data
    ix = korvane.Index(seed=5)
    ix.add(ids[:100], vectors[:100])
    stop = threading.Event()

    def search_forever():
        while not stop.is_set():
            try:
                ix.search(queries[0], k=5, m=32)
            except ValueError:  # closed under it: the last change below
                return

    searchers = [threading.Thread(target=search_forever, daemon=True) for _ in range(2)]
    for t in searchers:
        t.start()
    try:
        for name, change in [("add", lambda: ix.add(ids[100:110], vectors[100:110])),
                             ("remove", lambda: ix.remove(int(ids[0]))),
                             ("close", ix.close)]:
            writer = threading.Thread(target=change, daemon=True)
            writer.start()
            # A liveness bound, generous on a loaded machine: starved, the
            # writer would wait for as long as the searchers run.
            writer.join(timeout=120)
            assert not writer.is_alive(), f"{name} is still waiting for the searchers"
    finally:
        stop.set()
        for t in searchers:
            t.join()
        ix.close()


# -- rerank stores ----------------------------------------------------------

STORE_KINDS = ("sq8", "fp32", "none")
STORE_N = 400


@pytest.fixture(scope="module")
def by_store(data):
    """Per store kind, two indexes of the same vectors: one built on one
    thread, one on three. Each holds a batch, then one single addition."""
    ids, vectors, _ = data
    built = {}
    for store in STORE_KINDS:
        pair = []
        for threads in (1, 3):
            ix = korvane.Index(ef_construction=64, seed=13, store=store)
            ix.add(ids[:STORE_N - 1], vectors[:STORE_N - 1], threads=threads)
            ix.add(ids[STORE_N - 1], vectors[STORE_N - 1])
            pair.append(ix)
        built[store] = tuple(pair)
    yield built
    for pair in built.values():
        for ix in pair:
            ix.close()


def _relative_errors(store_index, data):
    """|score - exact| / |exact| of the top 10 of every query, the exact
    inner products taken in float64."""
    ids, vectors, queries = data
    found, scores, counts = store_index.search(queries, k=K, m=64, return_counts=True)
    assert (counts == K).all()
    exact = np.einsum("qd,qkd->qk", queries.astype(np.float64),
                      vectors[np.searchsorted(ids, found)].astype(np.float64))
    return np.abs(scores - exact) / np.abs(exact)


@pytest.mark.parametrize("store", STORE_KINDS)
def test_store_round_trip(store, by_store, data, tmp_path):
    ids, vectors, queries = data
    ix = by_store[store][0]
    assert ix.store == store and len(ix) == STORE_N
    path = tmp_path / f"{store}.korvane"
    ix.save(path)
    with korvane.Index.load(path) as loaded:
        assert loaded.store == store
        want = ix.search(queries, k=K, m=48, return_counts=True)
        got = loaded.search(queries, k=K, m=48, return_counts=True)
        for w, g in zip(want, got):
            np.testing.assert_array_equal(w, g)
        for w, g in zip(ix.search(queries[0], k=K), loaded.search(queries[0], k=K)):
            np.testing.assert_array_equal(w, g)
        for w, g in zip(ix.search_filtered(queries[1], ids[:STORE_N:3]),
                        loaded.search_filtered(queries[1], ids[:STORE_N:3])):
            np.testing.assert_array_equal(w, g)


@pytest.mark.parametrize("store", STORE_KINDS)
def test_store_is_the_same_for_every_thread_count(store, by_store, data, tmp_path):
    _, _, queries = data
    one, three = by_store[store]
    got = [ix.search(queries, k=K, m=64, threads=t, return_counts=True)
           for ix, t in ((one, 1), (three, 3))]
    for a, b in zip(*got):
        np.testing.assert_array_equal(a, b)
    one.save(tmp_path / "one.korvane")
    three.save(tmp_path / "three.korvane")
    assert (tmp_path / "one.korvane").read_bytes() == (tmp_path / "three.korvane").read_bytes()


def test_store_scores(by_store, data):
    errors = {store: _relative_errors(by_store[store][0], data) for store in STORE_KINDS}
    # fp32: the exact inner products, up to float32 rounding.
    assert errors["fp32"].max() <= 1e-4
    # sq8: close approximations, further off than fp32.
    assert errors["sq8"].mean() > 10 * errors["fp32"].mean()
    assert errors["sq8"].max() <= 0.05
    # none: the payload estimates, close but not exact, and rougher still.
    assert errors["none"].mean() > errors["sq8"].mean()
    assert errors["none"].mean() <= 0.2


def test_store_is_checked_and_told(by_store, data):
    for bad in ("SQ8", "fp16", "", None, 2):
        with pytest.raises(ValueError, match="store"):
            korvane.Index(store=bad)
    sizes = {store: by_store[store][0].nbytes for store in STORE_KINDS}
    # Per vector: fp32 keeps 12 KiB more than none, sq8 3 KiB more.
    assert sizes["fp32"] - sizes["none"] >= STORE_N * 12288
    assert sizes["sq8"] - sizes["none"] >= STORE_N * 3072
    assert sizes["fp32"] > sizes["sq8"]
    assert "store='fp32'" in repr(by_store["fp32"][0]) and "seed=13" in repr(by_store["fp32"][0])


def test_default_breadth_lets_k_results_come_back(index, data):
    _, _, queries = data
    for k in (100, 300):
        ids, scores, counts = index.search(queries[:4], k=k, return_counts=True)
        assert (counts == k).all(), k
        one_ids, one_scores = index.search(queries[0], k=k)
        np.testing.assert_array_equal(one_ids, ids[0])
        np.testing.assert_array_equal(one_scores, scores[0])
        # None means max(64, k).
        for w, g in zip(index.search(queries[:4], k=k, m=k), (ids, scores)):
            np.testing.assert_array_equal(w, g)
    for w, g in zip(index.search(queries, k=K), index.search(queries, k=K, m=64)):
        np.testing.assert_array_equal(w, g)


# -- what a new user reaches for --------------------------------------------

def test_membership_ids_and_batch_remove(small_index, data):
    ids, vectors, _ = data
    ix = small_index
    assert ix.dim == DIM == 3072
    np.testing.assert_array_equal(ix.ids(), ids[:200])
    assert ix.ids().dtype == np.uint64
    assert int(ids[3]) in ix and np.uint64(ids[3]) in ix
    for absent in (int(ids[250]), 12345, -1, 2**64, "7", 3.0, None):
        assert absent not in ix, absent
    # All or nothing: an absent id, or one listed twice, removes none.
    for bad, culprit in (([int(ids[1]), 12345, int(ids[2])], 12345),
                         (np.array([ids[1], ids[2], ids[1]]), int(ids[1]))):
        with pytest.raises(KeyError) as err:
            ix.remove(bad)
        assert err.value.args == (culprit,)
        assert len(ix) == 200 and int(ids[1]) in ix
    assert ix.remove(ids[[1, 2, 5]]) == 3
    assert ix.remove([int(ids[7])]) == 1
    assert ix.remove(np.int64(ids[9])) == 1  # one id, of any integer type
    assert ix.remove([]) == 0
    gone = ids[[1, 2, 5, 7, 9]]
    assert len(ix) == 195 and not any(int(i) in ix for i in gone)
    np.testing.assert_array_equal(ix.ids(), np.setdiff1d(ids[:200], gone, assume_unique=True))
    # Added again, an id goes to the end of the order.
    ix.add(ids[5], vectors[5])
    assert ix.ids()[-1] == ids[5] and int(ids[5]) in ix
    before = ix.nbytes
    ix.add(ids[200:260], vectors[200:260])
    assert ix.nbytes > before > 36 << 20  # the rotation alone is 36 MiB


def test_search_filtered_on_a_batch(index, data):
    ids, _, queries = data
    allowed = ids[::5]
    for k in (K, 1000):
        width = min(k, 256)
        found, scores, counts = index.search_filtered(queries, allowed, k=k, return_counts=True)
        assert found.shape == scores.shape == (len(queries), width)
        assert (counts == min(width, allowed.size)).all()
        for q in (0, 17, len(queries) - 1):
            one_ids, one_scores = index.search_filtered(queries[q], allowed, k=k)
            np.testing.assert_array_equal(found[q, :counts[q]], one_ids)
            np.testing.assert_array_equal(scores[q, :counts[q]], one_scores)
        for threads in (2, 3, 100):
            for a, b in zip(index.search_filtered(queries, allowed, k=k, threads=threads,
                                                  return_counts=True), (found, scores, counts)):
                np.testing.assert_array_equal(a, b)
    # Rows past their count are padded, as search() pads them.
    found, scores, counts = index.search_filtered(queries[:3], ids[:4], k=K, return_counts=True)
    assert (counts == 4).all()
    assert (found[:, 4:] == korvane.MISSING_ID).all() and (scores[:, 4:] == -np.inf).all()
    found, scores = index.search_filtered(queries[:3], [], k=K)
    assert found.shape == (3, K) and (found == korvane.MISSING_ID).all()


def test_swapped_add_arguments_say_which_comes_first(index, data):
    ids, vectors, _ = data
    before = len(index)
    for vecs, id_args in ((vectors[:3], ids[:3]), (vectors[0], 7)):
        with pytest.raises(ValueError, match="ids first"):
            index.add(vecs, id_args)
    assert len(index) == before


class _Where(os.PathLike):
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


def test_paths_and_repr(small_index, tmp_path):
    assert repr(small_index) == "<korvane.Index of 200 vectors, store='sq8', seed=3>"
    small_index.save(_Where(tmp_path / "like.korvane"))
    with korvane.Index.load(_Where(tmp_path / "like.korvane")) as loaded:
        assert len(loaded) == 200 and loaded.seed is None
        assert repr(loaded) == "<korvane.Index of 200 vectors, store='sq8', seed=None>"
    with pytest.raises(FileNotFoundError) as err:
        korvane.Index.load(_Where(tmp_path / "absent.korvane"))
    assert err.value.filename == str(tmp_path / "absent.korvane")
