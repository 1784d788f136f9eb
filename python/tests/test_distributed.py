"""korvane.distributed on a LocalCluster of two worker processes.

The tests that kill a worker run on a cluster of their own each, so that a
worker the nanny fails to bring back (Dask's own start-up can fail on a
loaded machine) cannot spoil the others; they are run again once, on a
fresh cluster, if the cluster itself fails them. Every wait for workers is
bounded, so a cluster that never comes up fails instead of hanging.
"""

import hashlib
import json
import logging
import os
import shutil
import signal
import threading
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip(
    "distributed", reason="korvane.distributed needs Dask's distributed package "
    "(Debian: apt-get install python3-distributed)")

import korvane  # noqa: E402
from korvane.distributed import (  # noqa: E402
    ManifestError, ShardedIndex, ShardFileError, ShardsRestoredWarning,
    ShardUnavailableError, mix64, shard_of)

pytestmark = pytest.mark.filterwarnings(
    # Debian's tornado and distributed 2022.12 together.
    "ignore:make_current is deprecated:DeprecationWarning")

DIM = korvane.DIM
N = 3000
SHARDS = 3
SEED = 23
CHUNK = 400  # several add tasks per shard
K = 10
MASK = (1 << 64) - 1


def splitmix64_finaliser(x):
    """The routing mix, written out on Python integers."""
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & MASK
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & MASK
    return x ^ (x >> 31)


def owners(ids, shards):
    return np.array([splitmix64_finaliser(int(i)) % shards for i in ids])


def clustered_unit_vectors(rng, n, centres):
    picks = rng.integers(0, centres.shape[0], size=n)
    x = centres[picks] + rng.standard_normal((n, DIM), dtype=np.float32) * np.float32(1 / np.sqrt(DIM))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x


def merged(answers, width):
    """Rows of (id, score) pairs from several local answers, best first by
    score then id: the merge the sharded search must reproduce."""
    rows = []
    for row in zip(*answers):
        pairs = [(float(s), int(i)) for ids, scores in row for i, s in zip(ids, scores)]
        rows.append(sorted(pairs, key=lambda p: (-p[0], p[1]))[:width])
    return rows


def assert_rows(rows, ids, scores, counts):
    for q, row in enumerate(rows):
        assert counts[q] == len(row), q
        np.testing.assert_array_equal(ids[q, :len(row)], [i for _, i in row], err_msg=f"query {q}")
        want = np.array([s for s, _ in row], dtype=np.float32)
        np.testing.assert_array_equal(scores[q, :len(row)].view(np.uint32), want.view(np.uint32),
                                      err_msg=f"query {q}")
        assert (ids[q, len(row):] == korvane.MISSING_ID).all()
        assert (scores[q, len(row):] == -np.inf).all()


WORKER_WAIT = 120  # seconds for workers to (re)join; a hang becomes a failure


def kill_worker(client, address):
    """SIGKILLs a worker process and waits until the scheduler has dropped it
    and the nanny's replacement has joined."""
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)
    deadline = time.monotonic() + 120
    while address in client.nthreads():
        assert time.monotonic() < deadline, f"the scheduler still lists {address}"
        time.sleep(0.05)
    client.wait_for_workers(2, timeout=WORKER_WAIT)


def start_cluster():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=logging.CRITICAL)
    c = distributed.Client(cluster)
    c.wait_for_workers(2, timeout=WORKER_WAIT)
    return cluster, c


@pytest.fixture(scope="module")
def client():
    cluster, c = start_cluster()
    with cluster, c:
        yield c


@pytest.fixture
def own_client():
    """A cluster for one test that kills its workers."""
    cluster, c = start_cluster()
    with cluster, c:
        yield c


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(20240612)
    centres = rng.standard_normal((30, DIM), dtype=np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    vectors = clustered_unit_vectors(rng, N, centres)
    queries = clustered_unit_vectors(rng, 40, centres)
    ids = np.arange(N, dtype=np.uint64) * np.uint64(104729) + np.uint64(1 << 50)
    return ids, vectors, queries


@pytest.fixture(scope="module")
def sharded(client, data):
    """3 shards over the 2 workers; never changed after building."""
    ids, vectors, _ = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    with ShardedIndex(client, SHARDS, ef_construction=64, seed=SEED) as index:
        index.add(ids, vectors, chunk_rows=CHUNK)
        yield index


@pytest.fixture(scope="module")
def local_shards(data):
    """One local index per shard holding its vectors, added in the same
    chunks as the sharded add sends them."""
    ids, vectors, _ = data
    owner = owners(ids, SHARDS)
    shards = []
    for s in range(SHARDS):
        pos = np.flatnonzero(owner == s)
        ix = korvane.Index(ef_construction=64, seed=SEED)
        for start in range(0, pos.size, CHUNK):
            ix.add(ids[pos[start:start + CHUNK]], vectors[pos[start:start + CHUNK]], threads=2)
        shards.append(ix)
    yield shards
    for ix in shards:
        ix.close()


@pytest.fixture(scope="module")
def saved(sharded, tmp_path_factory):
    directory = tmp_path_factory.mktemp("saved")
    sharded.save(directory)
    return directory


def test_routing_is_the_splitmix64_finaliser():
    # SplitMix64 seeded with 0 outputs mix(k * 0x9E3779B97F4A7C15): its
    # published first outputs pin the constants and shifts.
    gamma = 0x9E3779B97F4A7C15
    assert [mix64(gamma * k & MASK) for k in (1, 2, 3)] == [
        0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
    ids = np.array([0, 1, 2, 12345, 1 << 63, MASK] + [gamma * k & MASK for k in range(1, 50)],
                   dtype=np.uint64)
    assert mix64(ids).tolist() == [splitmix64_finaliser(int(i)) for i in ids]
    for shards in (1, 2, 3, 7):
        np.testing.assert_array_equal(shard_of(ids, shards), owners(ids, shards))
    with pytest.raises(ValueError):
        shard_of(ids, 0)


def test_search_equals_merge_of_local_shards(sharded, local_shards, data):
    _, _, queries = data
    assert len(sharded) == N == sum(len(ix) for ix in local_shards)
    for k, m in [(K, 32), (25, 16), (1, 1), (300, 400)]:
        ids, scores, counts = sharded.search(queries, k=k, m=m, return_counts=True)
        assert ids.shape == scores.shape == (len(queries), k)
        answers = [ix.search(queries, k=k, m=m, return_counts=True) for ix in local_shards]
        rows = merged([[(i[:c], s[:c]) for i, s, c in zip(*a)] for a in answers], k)
        assert_rows(rows, ids, scores, counts)
        # One query answers as the first row of a batch.
        one_ids, one_scores = sharded.search(queries[0], k=k, m=m)
        np.testing.assert_array_equal(one_ids, ids[0, :counts[0]])
        np.testing.assert_array_equal(one_scores, scores[0, :counts[0]])
    assert sharded.missing_shards == ()


def test_search_filtered_equals_merge_of_local_shards(sharded, local_shards, data):
    ids, _, queries = data
    rng = np.random.default_rng(8)
    allowed = list(ids[rng.choice(N, size=300, replace=False)]) + [1, 2, 3]  # 3 unknown ids
    owner = owners(allowed, SHARDS)
    for k in (K, 1000):
        found, scores, counts = sharded.search_filtered(queries[:6], allowed, k=k, return_counts=True)
        assert found.shape == (6, min(k, 256))
        answers = [[ix.search_filtered(q, np.array(allowed, dtype=np.uint64)[owner == s], k=k)
                    for q in queries[:6]] for s, ix in enumerate(local_shards)]
        assert_rows(merged(answers, min(k, 256)), found, scores, counts)
    one = sharded.search_filtered(queries[0], allowed, k=K)
    np.testing.assert_array_equal(one[0], found[0, :K])
    assert sharded.search_filtered(queries[0], [], k=K)[0].size == 0


def test_recall_at_least_that_of_one_local_index(sharded, data):
    ids, vectors, queries = data
    truth = np.argsort(-(queries @ vectors.T), axis=1, kind="stable")[:, :K]
    truth = [set(ids[row].tolist()) for row in truth]

    def recall(found):
        return np.mean([len(set(f.tolist()) & t) / K for f, t in zip(found, truth)])

    with korvane.Index(ef_construction=64, seed=SEED) as local:
        local.add(ids, vectors, threads=2)
        for m in (16, 32):
            local_recall = recall(local.search(queries, k=K, m=m)[0])
            sharded_recall = recall(sharded.search(queries, k=K, m=m)[0])
            assert sharded_recall >= local_recall, m
    assert sharded_recall >= 0.9


def test_malformed_arguments_raise_value_error(sharded, client, data):
    ids, vectors, queries = data
    calls = {
        "float64 queries": lambda: sharded.search(queries.astype(np.float64)),
        "3071 components": lambda: sharded.search(np.zeros(DIM - 1, dtype=np.float32)),
        "m of 0": lambda: sharded.search(queries, m=0),
        "negative threads": lambda: sharded.search(queries, threads=-1),
        "counts of one query": lambda: sharded.search(queries[0], return_counts=True),
        "string allow-list": lambda: sharded.search_filtered(queries[0], "12"),
        "id count differs": lambda: sharded.add(np.arange(3), vectors[:2]),
        "negative id": lambda: sharded.add(np.array([5, -1]), vectors[:2]),
        "list id for one vector": lambda: sharded.add([1], vectors[0]),
        "chunk_rows of 0": lambda: sharded.add([1], vectors[:1], chunk_rows=0),
        "no shards": lambda: ShardedIndex(client, 0),
        "unknown store": lambda: ShardedIndex(client, 1, store="sq4"),
        "negative seed": lambda: ShardedIndex(client, 1, seed=-1),
        "unknown worker": lambda: ShardedIndex(client, 1, workers=["tcp://10.255.255.1:1"]),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError):
            call()
            pytest.fail(name)
    assert len(sharded) == N


def test_save_writes_the_manifest_and_local_index_files(sharded, local_shards, saved, tmp_path):
    manifest = json.loads((saved / "manifest.json").read_text())
    assert {k: manifest[k] for k in ("format", "version", "seed", "shards", "store",
                                     "ef_construction", "vectors")} == {
        "format": "korvane-sharded-index", "version": 1, "seed": SEED, "shards": SHARDS,
        "store": "sq8", "ef_construction": 64, "vectors": N}
    assert sorted(p.name for p in saved.iterdir()) == sorted(
        ["manifest.json"] + [f["name"] for f in manifest["files"]])
    for s, entry in enumerate(manifest["files"]):
        raw = (saved / entry["name"]).read_bytes()
        assert entry["shard"] == s and entry["bytes"] == len(raw)
        assert entry["blake2b"] == hashlib.blake2b(raw, digest_size=32).hexdigest()
        assert entry["vectors"] == len(local_shards[s])
        # A shard's file is the very file of the local index with its vectors.
        local_shards[s].save(tmp_path / "local.korvane")
        assert raw == (tmp_path / "local.korvane").read_bytes(), s


def test_save_load_round_trip(client, sharded, saved, data, tmp_path):
    ids, _, queries = data
    with ShardedIndex.load(client, saved) as loaded:
        assert (loaded.shards, loaded.seed, loaded.store, loaded.ef_construction) == (
            SHARDS, SEED, "sq8", 64)
        assert len(loaded) == N
        for search in (lambda ix: ix.search(queries, k=K, m=48, return_counts=True),
                       lambda ix: ix.search_filtered(queries[:4], ids[::7], k=K, return_counts=True)):
            for want, got in zip(search(sharded), search(loaded)):
                np.testing.assert_array_equal(want, got)
        # Saving again replaces the files of the previous save in that directory.
        again = tmp_path / "again"
        shutil.copytree(saved, again)
        loaded.save(again)
        names = sorted(p.name for p in again.iterdir())
        manifest = json.loads((again / "manifest.json").read_text())
        assert names == sorted(["manifest.json"] + [f["name"] for f in manifest["files"]])
        assert not set(names) & {p.name for p in saved.iterdir()} - {"manifest.json"}
        for old, new in zip(json.loads((saved / "manifest.json").read_text())["files"], manifest["files"]):
            assert old["blake2b"] == new["blake2b"]


def test_damaged_or_missing_files_are_refused_by_name(client, saved, tmp_path):
    files = json.loads((saved / "manifest.json").read_text())["files"]

    def flip_byte(path):
        raw = bytearray(path.read_bytes())
        raw[len(raw) // 2] ^= 0x10
        path.write_bytes(bytes(raw))

    def truncate(path):
        path.write_bytes(path.read_bytes()[:-100])

    damage = {
        "flipped byte": (1, flip_byte),
        "truncated": (2, truncate),
        "missing": (0, os.unlink),
    }
    for case, (shard, spoil) in damage.items():
        directory = tmp_path / case.replace(" ", "-")
        directory.mkdir()
        for p in saved.iterdir():  # links, except for the file to damage
            (shutil.copy if p.name == files[shard]["name"] else os.link)(p, directory / p.name)
        target = directory / files[shard]["name"]
        spoil(target)
        with pytest.raises(ShardFileError) as err:
            ShardedIndex.load(client, directory)
        assert err.value.filename == str(target), case
        assert str(target) in str(err.value) and err.value.shard == shard, case

    bad_manifests = {
        "not JSON": lambda m: "{",
        "newer version": lambda m: json.dumps({**m, "version": 2}),
        "path outside": lambda m: json.dumps({**m, "files": [{**m["files"][0], "name": "../x.korvane"}]
                                             + m["files"][1:]}),
        "shard left out": lambda m: json.dumps({**m, "files": m["files"][:-1]}),
    }
    manifest = json.loads((saved / "manifest.json").read_text())
    for case, rewrite in bad_manifests.items():
        directory = tmp_path / ("manifest-" + case.replace(" ", "-"))
        directory.mkdir()
        (directory / "manifest.json").write_text(rewrite(manifest))
        with pytest.raises(ManifestError) as err:
            ShardedIndex.load(client, directory)
        assert err.value.filename == str(directory / "manifest.json"), case
    with pytest.raises(ManifestError):
        ShardedIndex.load(client, tmp_path / "nothing-here")


@pytest.fixture
def small(client, data):
    """A fresh two-shard index of 200 vectors that a test may change."""
    ids, vectors, _ = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    index = ShardedIndex(client, 2, seed=SEED)
    index.add(ids[:200], vectors[:200])
    yield index
    index.close()


def test_duplicate_ids_insert_nothing_in_any_shard(small, data):
    ids, vectors, _ = data
    owner = owners(ids, 2)
    new = np.flatnonzero(owner[200:400] == 0)[:5] + 200  # new ids for shard 0 ...
    new = np.concatenate([new, np.flatnonzero(owner[200:400] == 1)[:5] + 200])  # ... and 1
    live_on_1 = int(np.flatnonzero(owner[:200] == 1)[0])
    cases = {
        # The live id belongs to the last shard, checked after shard 0 has
        # been found clean: shard 0 must still get nothing.
        "live id in shard 1": (np.append(new, live_on_1), ids[live_on_1]),
        "id twice in the batch": (np.append(new, new[0]), ids[new[0]]),
        "one live vector": (np.array([3]), ids[3]),
        # More ids than a shard holds: checked against the shard's own ids.
        "many new ids and a live one": (np.append(np.arange(400, 700), live_on_1), ids[live_on_1]),
    }
    for case, (pos, culprit) in cases.items():
        with pytest.raises(korvane.DuplicateIdError) as err:
            if pos.size == 1:
                small.add(int(ids[pos[0]]), vectors[pos[0]])
            else:
                small.add(ids[pos], vectors[pos])
        assert len(small) == 200, case
        assert err.value.id == int(culprit), case
        assert small.search_filtered(vectors[new[0]], ids[new], k=K)[0].size == 0, case
    small.add(ids[new], vectors[new])
    assert len(small) == 210
    found = small.search_filtered(vectors[new[0]], ids[new], k=K)[0]
    assert sorted(found.tolist()) == sorted(ids[new].tolist())


def test_equal_scores_are_ordered_by_id(small, data):
    _, vectors, _ = data
    # One vector under ids of both shards: their scores are bit-identical.
    twins = np.array([41, 7, 3, 29, 11, 5, 2, 13], dtype=np.uint64) + np.uint64(1 << 62)
    assert set(owners(twins, 2)) == {0, 1}
    small.add(twins, np.repeat(vectors[500:501], twins.size, axis=0))
    # (Which of several equal scores a shard keeps at its k-th place is the
    # library's choice, so every twin must fit within k.)
    for k in (twins.size, twins.size + 5):
        found, scores = small.search(vectors[500], k=k, m=64)
        np.testing.assert_array_equal(found[:twins.size], np.sort(twins))
        assert (scores[:twins.size] == scores[0]).all() and (scores[twins.size:] < scores[0]).all()


def test_remove(small, data):
    ids, vectors, _ = data
    owner = owners(ids[:200], 2)
    targets = [int(ids[np.flatnonzero(owner == s)[0]]) for s in (0, 1)]
    with pytest.raises(KeyError):
        small.remove(targets + [12345])  # one never added: nothing is removed
    with pytest.raises(KeyError):
        small.remove([targets[0], targets[0]])
    assert len(small) == 200
    small.remove(targets)
    assert len(small) == 198
    for t in targets:
        pos = int(np.flatnonzero(ids == t)[0])
        assert t not in small.search(vectors[pos], k=50, m=200)[0]
    with pytest.raises(KeyError):
        small.remove(targets[1])
    small.add(targets[1], vectors[int(np.flatnonzero(ids == targets[1])[0])])
    assert len(small) == 199


def test_a_store_other_than_sq8_reaches_the_shards(client, data, tmp_path):
    """Each shard is a korvane.Index of the store asked for: the sharded
    answer equals the merge of local fp32 indexes, bit for bit."""
    ids, vectors, queries = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    owner = owners(ids[:300], 2)
    local = []
    for s in range(2):
        ix = korvane.Index(ef_construction=64, seed=SEED, store="fp32")
        ix.add(ids[:300][owner == s], vectors[:300][owner == s])
        local.append(ix)
    try:
        with ShardedIndex(client, 2, seed=SEED, store="fp32") as index:
            index.add(ids[:300], vectors[:300])
            assert index.store == "fp32"
            answers = [ix.search(queries, k=K, return_counts=True) for ix in local]
            rows = merged([[(i[:c], s[:c]) for i, s, c in zip(*a)] for a in answers], K)
            assert_rows(rows, *index.search(queries, k=K, return_counts=True))
            index.save(tmp_path)
        assert json.loads((tmp_path / "manifest.json").read_text())["store"] == "fp32"
        with ShardedIndex.load(client, tmp_path) as loaded:
            assert loaded.store == "fp32"
            assert_rows(rows, *loaded.search(queries, k=K, return_counts=True))
    finally:
        for ix in local:
            ix.close()


def test_closed_index_raises_value_error(client, data):
    _, vectors, queries = data
    index = ShardedIndex(client, 1)
    index.close()
    index.close()
    for call in (lambda: len(index), lambda: index.search(queries), lambda: index.add([1], vectors[:1]),
                 lambda: index.save("/nonexistent")):
        with pytest.raises(ValueError, match="closed"):
            call()


# -- losing workers (keep these last) -------------------------------------

@pytest.mark.flaky(reruns=1)
def test_lost_worker_is_restored_from_the_last_save(own_client, data, tmp_path):
    client = own_client
    ids, vectors, _ = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    owner = owners(ids, 2)
    with ShardedIndex(client, 2, seed=SEED) as index:
        index.add(ids[:300], vectors[:300])
        index.save(tmp_path)
        index.add(ids[300:400], vectors[300:400])  # after the save
        dead = index.shard_workers()[0]
        kill_worker(client, dead)
        # A damaged file is refused by name, and the next call tries again.
        shard_file = tmp_path / json.loads((tmp_path / "manifest.json").read_text())["files"][0]["name"]
        good = shard_file.read_bytes()
        shard_file.write_bytes(good[:-1] + bytes([good[-1] ^ 1]))
        with pytest.raises(ShardUnavailableError) as err:
            len(index)
        assert err.value.shards == (0,) and str(shard_file) in str(err.value)
        found = index.search(vectors[:50], k=1, m=64, allow_partial=True)[0][:, 0]
        assert index.missing_shards == (0,) and (owners(found, 2) == 1).all()
        shard_file.write_bytes(good)
        with pytest.warns(ShardsRestoredWarning) as caught:
            count = len(index)
        assert [w.message.shards for w in caught if isinstance(w.message, ShardsRestoredWarning)] == [(0,)]
        assert index.restored_shards == (0,)
        assert index.shard_workers()[0] != dead
        # Shard 0 is back as saved; shard 1 keeps what came after the save.
        later = np.arange(300, 400)
        assert count == 300 + np.sum(owner[later] == 1)
        for s in (0, 1):
            saved_pos = np.flatnonzero(owner[:300] == s)[:20]
            found = index.search(vectors[saved_pos], k=1, m=64)[0][:, 0]
            np.testing.assert_array_equal(found, ids[saved_pos])
            later_ids = ids[later[owner[later] == s]]
            found = index.search_filtered(vectors[later[0]], later_ids, k=1000)[0]
            assert found.size == (0 if s == 0 else later_ids.size)
        with warnings.catch_warnings():
            warnings.simplefilter("error", ShardsRestoredWarning)
            assert len(index) == count  # reported once
        index.save(tmp_path)
        assert index.restored_shards == ()


def _exit_when(flag):
    """A task that holds its worker's only thread until `flag` exists, then
    ends the worker process."""
    while not os.path.exists(flag):
        time.sleep(0.01)
    os._exit(1)


@pytest.mark.flaky(reruns=1)
def test_worker_lost_during_a_call_raises_then_is_restored(own_client, data, tmp_path):
    client = own_client
    ids, vectors, queries = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    with ShardedIndex(client, 2, seed=SEED) as index:
        index.add(ids[:300], vectors[:300])
        index.save(tmp_path / "save")
        # Two queries travel inside the task, which is then stranded on the
        # dead worker; forty are scattered to it and lost with it.
        for n in (2, 40):
            client.wait_for_workers(2, timeout=WORKER_WAIT)
            want = index.search(queries[:n], k=K, m=64)
            victim = index.shard_workers()[1]
            # (Shard 0 too, if shard 1 was restored next to it.)
            held = tuple(s for s, a in index.shard_workers().items() if a == victim)
            flag = tmp_path / f"flag-{n}"
            killer = client.submit(_exit_when, str(flag), workers=[victim], pure=False)
            outcome = {}

            def search():
                try:
                    outcome["result"] = index.search(queries[:n], k=K, m=64)
                except Exception as err:
                    outcome["error"] = err

            caller = threading.Thread(target=search)
            caller.start()
            # Once shard 1's search task waits behind the killer, end the worker.
            deadline = time.monotonic() + 120
            while not any(str(key).startswith("korvane-search-1-")
                          for key in client.processing([victim]).get(victim, ())):
                assert time.monotonic() < deadline and caller.is_alive(), n
                time.sleep(0.01)
            flag.touch()
            caller.join()
            del killer
            err = outcome.get("error")
            assert isinstance(err, ShardUnavailableError), (n, outcome)
            assert err.shards == held and err.recoverable and "while searching" in str(err), n
            with pytest.warns(ShardsRestoredWarning) as caught:
                got = index.search(queries[:n], k=K, m=64)
            assert [w.message.shards for w in caught
                    if isinstance(w.message, ShardsRestoredWarning)] == [held], n
            for w, g in zip(want, got):
                np.testing.assert_array_equal(w, g)


@pytest.mark.flaky(reruns=1)
def test_lost_worker_without_a_save_raises_naming_the_shard(own_client, data):
    client = own_client
    ids, vectors, queries = data
    client.wait_for_workers(2, timeout=WORKER_WAIT)
    with ShardedIndex(client, 2, seed=SEED) as index:
        index.add(ids[:300], vectors[:300])
        full = index.search(queries, k=K, m=64)[0]
        kill_worker(client, index.shard_workers()[1])
        for call in (lambda: index.search(queries, k=K), lambda: len(index),
                     lambda: index.add(ids[300:310], vectors[300:310])):
            with pytest.raises(ShardUnavailableError, match="no save") as err:
                call()
            assert err.value.shards == (1,) and not err.value.recoverable
            assert "shard 1" in str(err.value)
        partial, _, counts = index.search(queries, k=K, m=64, return_counts=True, allow_partial=True)
        assert index.missing_shards == (1,)
        assert (counts == K).all()
        assert (owners(partial.ravel(), 2) == 0).all()
        # Shard 0's answer, less nothing: the full answer's shard-0 entries
        # come first in it, in order.
        for row, whole in zip(partial, full):
            mine = whole[owners(whole, 2) == 0]
            np.testing.assert_array_equal(row[:mine.size], mine)
