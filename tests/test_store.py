import os
import random
import signal
import time

import h5py
import numpy as np
import pytest

import cquorlin
from conftest import memory_growth
from cquorlin import DB, Table


@pytest.fixture
def db(store_path):
    with DB(store_path, "w") as store:
        yield store


def memory_db(**kw):
    return DB("mem.h5", "w", driver="core", backing_store=False, **kw)


def stored(path):
    """The file's datasets as {key: bytes}, read with plain h5py."""
    with h5py.File(path, "r") as f:
        return {k: f[k][()].tobytes() for k in f.keys()}


def entries(path):
    """Every stored (key, index, value) entry, decoded."""
    out = set()
    with h5py.File(path, "r") as f:
        for k in f.keys():
            t = Table.frombytes(f[k][()])
            out |= {(k, int(i), float(v)) for i, v in zip(t.idxs, t.vals)}
    return out


def test_new_store_layout(store_path):
    with DB(store_path, preprocessor="image") as store:
        assert store.path == store.file.filename == store_path
        assert store.cache == {}
    with h5py.File(store_path, "r") as f:
        assert dict(f.attrs) == {"version": "0.0.1", "preprocessor": "image"}
        assert list(f.keys()) == []


def test_invalid_file(store_path):
    h5py.File(store_path, "w").close()
    with pytest.raises(Exception) as excinfo:
        DB(store_path, "r")
    assert type(excinfo.value) is Exception and str(excinfo.value) == "Invalid file."
    assert excinfo.value.__notes__ == [f'{store_path!r} is an HDF5 file but not a store: it lacks the root attribute '
                                       '"version" that marks one. Opened with mode "a", it becomes an empty store.']
    DB(store_path, "a").close()
    with h5py.File(store_path, "r") as f:
        assert f.attrs["version"] == "0.0.1"


def test_preprocessor_kept_and_normalised(store_path):
    DB(store_path, preprocessor=" Image ").close()
    with DB(store_path, preprocessor="text") as store:
        assert store.preprocessor == "image"
        store.preprocessor = "TEXT"
        assert store.preprocessor == "text" and type(store.preprocessor) is str
        with pytest.raises(ValueError) as excinfo:
            store.preprocessor = "Audio"
        assert str(excinfo.value) == "Invalid preprocessor specified: audio. Available preprocessors are: ['image', 'text']"
        with pytest.raises(AttributeError):
            store.preprocessor = 3
        assert store.preprocessor == "text"
    assert memory_db().preprocessor is None


def test_driver_keywords_reach_h5py(tmp_path):
    store = memory_db(preprocessor="text")
    store.add({"fc": np.eye(3)}, 0)
    assert store.file.driver == "core" and sorted(store.file.keys()) == ["table_fc_0", "table_fc_1", "table_fc_2"]
    store.close()
    assert not os.path.exists("mem.h5")


def test_table_cache(db):
    t = db._get_table("table_x_0")
    assert isinstance(t, Table) and t._flushed is False and db.cache == {"table_x_0": t}
    assert db._get_table(k="table_x_0") is t
    assert db._get_table("table_y_0", create=False) is None and list(db.cache) == ["table_x_0"]
    db._clear_cache()
    assert db.cache == {} and stored(db.path) == {"table_x_0": bytes(5)}
    loaded = db._get_table("table_x_0")
    assert loaded._flushed is True and loaded is not t
    with pytest.raises(KeyError):
        db._tomemory("table_missing")
    with pytest.raises(TypeError, match=r"Argument 'k' has incorrect type \(expected str, got bytes\)"):
        db._get_table(b"table_x_0")


def test_clean_table_not_rewritten(db):
    db.add({"fc": np.array([[1.0, 0.0]])}, [1])
    offset = db.file["table_fc_0"].id.get_offset()
    db._get_table("table_fc_0")
    db._flush_cache()
    assert db.file["table_fc_0"].id.get_offset() == offset


def test_todisk(db):
    assert db._todisk("table_a_0") is None
    t = db._get_table("table_a_0")
    t.add(3, 1.5)
    db._todisk("table_a_0")
    assert t._flushed is True and "table_a_0" in db.file and db.cache == {"table_a_0": t}
    db._todisk("table_a_0")  # clean now: nothing happens
    t.add(4, 1.0)
    with h5py.File("name-taken", "w", driver="core", backing_store=False) as f:  # what h5py raises for it
        f["x"] = np.zeros(1, np.uint8)
        with pytest.raises(Exception) as h5py_error:
            f["x"] = np.zeros(1, np.uint8)
    with pytest.raises(type(h5py_error.value), match="^Unable to create the link 'table_a_0' \\(name already exists\\)$"):
        db._todisk("table_a_0")  # an existing dataset is not replaced
    assert db.cache == {"table_a_0": t}


def test_close_writes_dirty_tables(store_path):
    store = DB(store_path)
    store._get_table("table_a_0").add(5, 2.0)
    store.close()
    assert entries(store_path) == {("table_a_0", 5, 2.0)}
    with pytest.raises(ValueError), DB(store_path) as store:
        raise ValueError("propagates")


def test_layout_and_creation_properties(db):
    db.add({"fc": np.array([[0.1, 0.9, 0.9], [0.5, 0.2, 0.1]]), "é": np.array([[2.0], [1.0]])}, [10, 11])
    f = db.file
    f["reference"] = np.zeros(4, np.uint8)
    for key in ["table_fc_0", "table_fc_1", "table_é_0"]:
        ds = f[key]
        assert ds.dtype == np.uint8 and ds.ndim == 1 and ds.chunks is None and ds.compression is None
        assert ds.id.get_create_plist() == f["reference"].id.get_create_plist()
        assert dict(ds.attrs) == {}
    assert f.id.links.get_info(b"table_fc_0").cset == f.id.links.get_info(b"reference").cset == h5py.h5t.CSET_ASCII
    assert f.id.links.get_info("table_é_0".encode()).cset == h5py.h5t.CSET_UTF8
    del f["reference"]
    assert Table.frombytes(f["table_fc_1"][()]).idxs.tolist() == [10]
    assert sorted(f.keys()) == ["table_fc_0", "table_fc_1", "table_é_0"]


def test_add_records_strongest_neuron(db):
    db.add({"fc": np.array([[0.1, 0.9, 0.9], [0.5, 0.2, 0.1]], np.float32)}, [10, 11])
    assert db.cache == {}
    got = entries(db.path)
    assert {(k, i) for k, i, _ in got} == {("table_fc_1", 10), ("table_fc_0", 11)}


@pytest.mark.parametrize(
    "idx, recorded",
    [(100, [100, 101, 102, 103]), ([7, 3, 9, 1], [7, 3, 9, 1]), (np.arange(4, dtype=np.int64) + 5, [5, 6, 7, 8]),
     ((i for i in [4, 5, 6, 7]), [4, 5, 6, 7])],
)
def test_add_indices(db, idx, recorded):
    acts = {"a": np.eye(4), "b": np.eye(4)[::-1].copy()}
    db.add(acts, idx)
    got = entries(db.path)
    for layer in "ab":
        assert sorted(i for k, i, _ in got if k.startswith(f"table_{layer}_")) == sorted(recorded)


def test_wrong_index_count_writes_nothing(db):
    with pytest.raises(ValueError) as excinfo:
        db.add({"fc": np.eye(4)}, [7, 3, 9])
    assert str(excinfo.value) == "Batch size of activations (4) != length of indices (3)."
    with pytest.raises(ValueError, match=r"\(4\) != length of indices \(5\)"):
        db.add({"fc": np.eye(4)}, (i for i in range(5)))
    assert list(db.file.keys()) == [] and db.cache == {}


def test_shorter_layer_skipped_and_rank_one(db):
    with pytest.warns(cquorlin.QuorlinWarning, match=r"^DB.add skipped the layers whose first axis is not the batch "
                      r"size 8 \(the longest first axis\), by name and length: \{'small': 4\}\. "):
        db.add({"big": np.eye(8), "small": np.eye(4), 3: np.arange(8.0)}, 20)
    keys = {k for k, _, _ in entries(db.path)}
    assert not any(k.startswith("table_small") for k in keys)
    assert {(k, i) for k, i, _ in entries(db.path) if k.startswith("table_3_")} == {("table_3_7", 20)}


def test_preprocessors(store_path):
    acts = np.zeros((8, 16, 4, 4), np.float32)
    acts[:, 2, 1, 3] = np.arange(1, 9)
    with DB(store_path, preprocessor="image") as store:
        store.add({"conv": acts}, 0)
        assert {k for k, _, _ in entries(store_path)} == {"table_conv_39"}
    tokens = np.zeros((8, 12, 6), np.float32)
    tokens[np.arange(8), np.arange(8), np.arange(8) % 6] = 5.0
    with DB(store_path, "w", preprocessor="text") as store:
        store.add({"enc": tokens, "deep": tokens[:, None]}, 0)
        got = entries(store_path)
    assert {(k, i) for k, i, _ in got if k.startswith("table_enc")} == {(f"table_enc_{i % 6}", i) for i in range(8)}
    assert {(k, i) for k, i, _ in got if k.startswith("table_deep")} == {(f"table_deep_{i % 6}", i) for i in range(8)}


def test_value_types_preserved(db):
    db.add({"i": np.array([[3, 9, 1]], np.int64), "h": np.array([[0.5, 1.5]], np.float16)}, [0])
    assert entries(db.path) == {("table_i_1", 0, 9.0), ("table_h_1", 0, 1.5)}


@pytest.mark.parametrize(
    "acts, error, message",
    [
        ({}, ValueError, "max() arg is an empty sequence"),
        ({"a": None}, TypeError, None),
        ({"a": [[1.0]]}, TypeError, "Cannot convert list to numpy.ndarray"),
        ({"a": np.zeros((2, 2, 2))}, ValueError, "Preprocessor not specified for activations with ndim > 2."),
        ({"a": np.zeros((1, 0))}, ValueError, None),
    ],
)
def test_add_errors(db, acts, error, message):
    for call in (lambda: db.add(acts, 0), lambda: db.search(acts)):
        with pytest.raises(error) as excinfo:
            call()
        if message:
            assert str(excinfo.value) == message
    assert list(db.file.keys()) == []


def test_stored_preprocessor_checks(db):
    db.file.attrs["preprocessor"] = np.bytes_(b"image")
    with pytest.raises(TypeError, match="^Expected unicode, got numpy.bytes_$"):
        db.add({"a": np.eye(2)}, 0)
    db.file.attrs["preprocessor"] = "audio"
    db.add({"a": np.eye(2)}, 0)  # rank 2 never consults it
    with pytest.raises(ValueError, match="^Invalid preprocessor audio$"):
        db.add({"a": np.zeros((2, 2, 2))}, 0)


@pytest.mark.parametrize("bad", [-1, 2**64, 1.5, "x"])
def test_failed_add_records_nothing(db, bad):
    db.add({"fc": np.eye(3)}, [0, 1, 2])
    before = stored(db.path)
    acts = {"fc": np.eye(3), "g": np.eye(3)}
    with pytest.raises((ValueError, IndexError, TypeError)):
        db.add(acts, [5, bad, 6])
    assert db.cache == {} and stored(db.path) == before
    db.add(acts, [5, 7, 6])  # the retry is stored once
    assert sorted(i for k, i, _ in entries(db.path) if k.startswith("table_fc")) == [0, 1, 2, 5, 6, 7]


class FailingWrites(DB):
    """A store whose tables fail to write once, after being serialised."""

    fail_key = None

    def _create_table(self, k):
        store = self

        class Once(Table):
            def tobytes(self):
                data = super().tobytes()
                if k == store.fail_key:
                    store.fail_key = None
                    raise OSError("disk full")
                return data

        table = Once()
        table._flushed = False
        self.cache[k] = table
        return table


def test_failed_write_undoes_the_batch(store_path):
    with FailingWrites(store_path, "w") as store:
        store.add({"fc": np.eye(3)}, [0, 1, 2])
        before = stored(store_path)
        store.fail_key = "table_new_2"
        acts = {"fc": np.array([[1.0, 0, 0], [0, 0, 1.0], [0, 5.0, 0]]), "new": np.eye(3)}
        with pytest.raises(OSError):
            store.add(acts, [3, 4, 5])
        assert store.cache == {} and stored(store_path) == before
        store.add(acts, [3, 4, 5])
        assert sorted(i for k, i, _ in entries(store_path) if k == "table_fc_2") == [2, 4]


def test_failed_flush_keeps_table_marked(store_path):
    with FailingWrites(store_path, "w") as store:
        store.fail_key = "table_a_0"
        table = store._get_table("table_a_0")
        table.add(9, 1.0)
        with pytest.raises(OSError):
            store._flush_cache()
        assert table._flushed is True and "table_a_0" not in store.file
        store._flush_cache()
    assert entries(store_path) == {("table_a_0", 9, 1.0)}


def test_search_empty_store(db):
    acts = {"a": np.eye(3), "b": np.eye(3)}
    unknown = r"^DB.search found nothing for the layers \['a', 'b'\]: the store holds no table of them\. "
    with pytest.warns(cquorlin.QuorlinWarning, match=unknown):
        assert db.search(acts) == [{}, {}, {}]
    with pytest.warns(cquorlin.QuorlinWarning, match=unknown):
        raw = db.search(acts, _postprocess=False)
    assert list(raw) == ["a", "b"] and all(len(v) == 3 for v in raw.values())
    idxs, scores = raw["a"][0]
    assert idxs.dtype == np.uint16 and scores.dtype == np.float32 and len(idxs) == 0
    assert list(db.file.keys()) == []
    with pytest.raises(TypeError, match="^an integer is required") as excinfo, pytest.warns(cquorlin.QuorlinWarning):
        db.search(acts, k=None)  # no table consulted: the merge's conversion reports it
    assert excinfo.value.__notes__ == ["k of DB.search must be an integer, not NoneType"]


def test_search_results_and_weights(store_path):
    rng = np.random.default_rng(0)
    first = rng.random((40, 16)).astype(np.float32)
    second = rng.random((40, 16)).astype(np.float32)
    with DB(store_path, "w") as store:
        for start in range(0, 40, 10):
            store.add({"l1": first[start : start + 10], "l2": second[start : start + 10]}, start)
    with DB(store_path, "r") as store:
        results = store.search({"l1": first, "l2": second}, k=3)
        assert store.cache == {}
        assert all(len(r) <= 3 for r in results)
        for i, r in enumerate(results):
            best = max(r, key=r.get)
            assert best == i and r[i] == pytest.approx(5.0, abs=0.05) and type(best) is int
            assert isinstance(r[i], np.floating)
        with pytest.warns(cquorlin.QuorlinWarning, match=r"^DB.search with k=0 finds no stored input"):
            assert store.search({"l1": first, "l2": second}, k=0) == [{}] * 40  # no table is asked for any
        assert any(len(r) > 3 for r in store.search({"l1": first, "l2": second}, k=40))
        raw = store.search({"l1": first, "l2": second}, k=3, _postprocess=False)
        assert max(len(a[0]) for a in raw["l1"]) == 3
        swapped = store.search({"l2": second, "l1": first}, k=40)
        assert swapped[0][0] == pytest.approx(5.0, abs=0.05)
        with pytest.warns(cquorlin.QuorlinWarning) as warned:
            assert store.search({"l1": first, "l2": second[:4]}) is None
        assert [str(w.message) for w in warned] == [
            "DB.search returned None: the first axis of layer 'l2' has length 4, not the batch size 40 (the longest "
            "first axis). Only outputs with one row per input are searched; cquorlin.to_numpy(outputs, batch_size) "
            "keeps just those."]
        with pytest.raises(TypeError, match="an integer is required") as excinfo:
            store.search({"l1": first}, k="3")
        assert excinfo.value.__notes__ == ["k of DB.search must be an integer, not str"]


class CountingTable(Table):
    asked = []

    def search(self, val, k):
        CountingTable.asked.append(k)
        return super().search(val, k)


class CountingDB(DB):
    def _tomemory(self, k):
        table = CountingTable.frombytes(self.file[k][()])
        self.cache[k] = table
        return table


def test_search_never_creates_tables(db):
    created = []

    class Recording(DB):
        def _create_table(self, k):
            created.append(k)
            return super()._create_table(k)

    path = db.path
    db.close()  # one DB on a file at a time in a process
    store = Recording(path, "a")
    store.add({"a": np.eye(2)}, 0)
    created.clear()
    store.search({"a": np.eye(2)[::-1].copy(), "b": np.eye(2)})
    assert created == [] and store.cache == {}


def test_search_asks_k_times_layers(store_path):
    with DB(store_path, "w") as store:
        store.add({"a": np.eye(3), "b": np.eye(3)}, 0)
    with CountingDB(store_path) as store:
        store.search({"a": np.eye(3), "b": np.eye(3)}, k=10)
        assert set(CountingTable.asked) == {20}
        CountingTable.asked.clear()
        store.search({"a": np.eye(3), "b": np.eye(3)}, k=10, _postprocess=False)
        assert set(CountingTable.asked) == {10}


def logging_fetchers(calls, via):
    """A DB whose table fetchers log each call's keyword arguments, overridden in the way `via` names."""

    def logged(name):
        base = getattr(DB, name)

        def fetch(self, *args, **kw):
            calls.append((name, args, kw))
            return base(self, *args, **kw)

        return fetch

    names = ("_get_table", "_tomemory", "_create_table")
    if via == "subclass":
        return type("Logging", (DB,), {n: logged(n) for n in names}), {}
    if via == "getattribute":

        class Intercepting(DB):
            def __getattribute__(self, name):
                found = super().__getattribute__(name)
                if name in names:
                    return lambda *args, **kw: (calls.append((name, args, kw)), found(*args, **kw))[1]
                return found

        return Intercepting, {}
    return DB, {n: logged(n) for n in names}  # set on the instance


@pytest.mark.parametrize("via", ["subclass", "instance", "getattribute"])
def test_overridden_fetchers_are_called_by_keyword(store_path, via):
    calls = []
    cls, on_instance = logging_fetchers(calls, via)
    with cls(store_path, "w") as store:
        for name, fn in on_instance.items():
            setattr(store, name, fn.__get__(store))
        store.add({"a": np.eye(2)}, 0)
        loaders = [c for c in calls if c[0] != "_get_table"]
        assert loaders == [(n, (), {"k": k}) for k in ("table_a_0", "table_a_1") for n in ("_tomemory", "_create_table")]
        assert [c[1] for c in calls if c[0] == "_get_table"] == [("table_a_0",), ("table_a_1",)]
        calls.clear()
        store.search({"a": np.eye(2)[::-1].copy(), "b": np.eye(2)})
        assert [c for c in calls if c[0] != "_get_table"] == [
            ("_tomemory", (), {"k": k}) for k in ("table_a_1", "table_a_0", "table_b_0", "table_b_1")
        ]
        assert [c[1:] for c in calls if c[0] == "_get_table"] == [
            ((k,), {"create": False}) for k in ("table_a_1", "table_a_0", "table_b_0", "table_b_1")
        ]
        assert store.cache == {}


@pytest.mark.parametrize("name", ["_clear_cache", "_flush_cache"])
@pytest.mark.parametrize("on_instance", [False, True])
def test_search_calls_overridden_cache_methods(store_path, name, on_instance):
    calls = []

    def logged(self):
        calls.append(name)
        return getattr(DB, name)(self)

    cls = DB if on_instance else type("Logging", (DB,), {name: logged})
    with cls(store_path, "w") as store:
        if on_instance:
            setattr(store, name, logged.__get__(store))
        store.add({"a": np.eye(2)}, 0)
        calls.clear()
        store.search({"a": np.eye(2)})
        assert calls == [name] and store.cache == {}


class RetypedTable(Table):
    """Answers with its indices as another dtype, so that the merge reads them as Python objects."""

    dtype = None

    def search(self, val, k):
        idxs, scores = super().search(val, k)
        return idxs.astype(self.dtype), scores


class RetypingDB(DB):
    def _tomemory(self, k):
        table = RetypedTable.frombytes(self.file[k][()])
        self.cache[k] = table
        return table


@pytest.mark.parametrize(  # stored with 16, 32 and 64-bit indices, retyped where they keep their values
    "top, dtype", [(400, np.int64), (70_000, np.float64), (70_000, object), (2**63 + 5, object)]
)
@pytest.mark.parametrize("rows, k", [(40, 5), (400, 60)])  # up to 180 candidates an answer
def test_merge_of_array_answers_matches_objects(store_path, dtype, top, rows, k):
    rng = np.random.default_rng(3)
    acts = {f"l{j}": rng.random((rows, 4)).astype(np.float32) for j in range(3)}
    with DB(store_path, "w") as store:
        store.add(acts, [top - i for i in range(rows)])
        plain = store.search(acts, k=k)
    RetypedTable.dtype = dtype
    with RetypingDB(store_path) as store:
        retyped = store.search(acts, k=k)
    assert [list(r.items()) for r in plain] == [list(r.items()) for r in retyped]
    assert all(type(i) is int for r in plain for i in r) and max(i for r in plain for i in r) == top
    assert all(len(r) == k for r in plain)


def record_forever(path, pipe_w):
    """Child: records batches and reports each completed call on the pipe."""
    rng = np.random.default_rng(os.getpid())
    store = DB(path, "a", preprocessor="image")
    batch = 0
    while True:
        acts = {"fc": rng.random((32, 64), np.float32), "conv": rng.random((32, 4, 3, 3), np.float32)}
        store.add(acts, batch * 32)
        os.write(pipe_w, batch.to_bytes(4, "little"))
        batch += 1


def kill_trial(path, delay):
    """Kills a recording child `delay` seconds after its first batch; True when the store then opens,
    holds every batch whose add returned and takes further batches."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child never returns
        try:
            os.close(r)
            record_forever(path, w)
        finally:
            os._exit(1)
    os.close(w)
    reported = os.read(r, 4)  # the store exists from here on
    time.sleep(delay)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    while chunk := os.read(r, 4096):
        reported += chunk
    os.close(r)
    completed = len(reported) // 4
    with DB(path, "r") as store:
        indices = set()
        for key in store.file.keys():
            assert key.startswith("table_")
            t = store._tomemory(key)
            indices |= set(t.idxs.tolist())
    # The recovered store takes further batches: every table can still be replaced.
    with DB(path, "a") as store, pytest.warns(cquorlin.QuorlinWarning, match="skipped the layers"):
        store.add({"fc": np.eye(64, dtype=np.float32), "conv": np.ones((36, 4, 3, 3), np.float32)}, 10**6)
    assert not os.path.exists(path + "-journal")
    return set(range(completed * 32)) <= indices


def test_survives_sigkill(tmp_path):
    lost = [t for t in range(20) if not kill_trial(str(tmp_path / f"crash{t}.h5"), random.uniform(0.05, 0.8))]
    assert lost == []


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def journal_blocks(journal):
    """The (address, bytes) blocks of a journal, as the store writes them."""
    assert journal[:8] == b"QRLNJRN2"  # then the file's device and inode
    count, at, blocks = int.from_bytes(journal[24:32], "little"), 32, []
    for _ in range(count):
        addr, size = int.from_bytes(journal[at : at + 8], "little"), int.from_bytes(journal[at + 8 : at + 16], "little")
        blocks.append((addr, journal[at + 16 : at + 16 + size]))
        at += 16 + size
    return blocks


@pytest.fixture
def torn_flush(tmp_path, monkeypatch):
    """A store before and after one add, with the journal that add's flush kept beside the file."""
    path = str(tmp_path / "s.h5")
    rng = np.random.default_rng(5)

    def batch():
        return {"fc": rng.random((32, 40), np.float32), "conv": rng.random((32, 8, 2, 2), np.float32)}

    with DB(path, "w", preprocessor="image") as store:
        for b in range(6):
            store.add(batch(), b * 32)
    before = entries(path)
    captured = []
    real_flush = h5py.File.flush

    def flush(self):
        real_flush(self)  # the real flush, observed just before the store deletes its journal
        if os.path.exists(path + "-journal"):
            with open(path + "-journal", "rb") as f:
                captured.append(f.read())

    store = DB(path, "a")
    monkeypatch.setattr(h5py.File, "flush", flush)
    store.add(batch(), 6 * 32)
    monkeypatch.undo()
    with open(path, "rb") as f:
        after_bytes = f.read()
    store.close()
    assert len(captured) == 1 and not os.path.exists(path + "-journal")
    return path, before, after_bytes, captured[0]


@pytest.mark.parametrize("seed", range(4))
def test_torn_flush_rolls_back(torn_flush, seed):
    path, before, after_bytes, journal = torn_flush
    blocks = journal_blocks(journal)
    # Only some of the flush's in-place writes reached the file: the others still hold the old bytes.
    torn = bytearray(after_bytes)
    for addr, old in random.Random(seed).sample(blocks, len(blocks) // 2):
        torn[addr : addr + len(old)] = old
    write_file(path, torn)
    write_file(path + "-journal", journal)
    DB(path, "r").close()
    assert entries(path) == before and not os.path.exists(path + "-journal")


@pytest.mark.parametrize("cut", [0, 20, -1])
def test_incomplete_journal_ignored(torn_flush, cut):
    path, before, after_bytes, journal = torn_flush
    write_file(path, after_bytes)
    write_file(path + "-journal", journal[:cut])  # its flush never began
    DB(path, "r").close()
    assert entries(path) > before and not os.path.exists(path + "-journal")


def test_truncating_open_drops_journal(torn_flush):
    path, _, _, journal = torn_flush
    write_file(path + "-journal", journal)
    DB(path, "w").close()
    assert entries(path) == set() and not os.path.exists(path + "-journal")


def test_no_memory_growth_in_search_and_failed_calls():
    store = memory_db(preprocessor="image")
    acts = {"fc": np.eye(16, dtype=np.float32), "conv": np.eye(16, dtype=np.float32).reshape(16, 1, 4, 4)}
    store.add(acts, 0)

    def round_trip():
        store.search(acts, k=3)
        store.search(acts, _postprocess=False)
        with pytest.raises(ValueError):
            store.add(acts, [1] * 15 + [-1])
        with pytest.raises(TypeError):
            store.search({"fc": [[1.0]]})

    try:
        growth = memory_growth(round_trip, 200)
    finally:
        store.close()
    assert min(growth) < 4_000  # one leaked object per call would add tens of kB
