"""The store engine: the read cache behind _tomemory, replaced datasets, the preprocessor read, and
compaction of a store that grew over many sessions."""

import gc
import os

import h5py
import numpy as np
import pytest

import cquorlin
from cquorlin import DB, Table
from test_store import entries, stored

RNG = np.random.default_rng(7)
LAYERS = {"fc": (64,), "conv": (4, 3, 3)}


def batch(n=32):
    return {k: RNG.standard_exponential((n,) + s, dtype=np.float32) for k, s in LAYERS.items()}


def test_search_after_add_sees_the_new_entries(store_path):
    with DB(store_path, "w", preprocessor="image") as db:
        first = batch()
        db.add(first, 0)
        assert db.search(first, 1)[0]  # warms the read cache
        second = batch()
        db.add(second, 100)
        found = [max(r, key=r.get) for r in db.search(second, 1)]
        assert found == list(range(100, 132))
        assert entries(store_path) == entries(store_path)  # readable by plain h5py while open


def add_and_search(db, path):
    acts = batch()
    db.add(acts, 100)
    db.search(acts)
    db.add(batch(), 200)


def record(db, path):
    with db.recorder() as rec:
        rec.add(batch(), 100, batch_size=32)
        rec.add(batch(), 200, batch_size=32)


def merge_into(db, path):
    other = path + ".other.h5"
    with DB(other, "w", preprocessor="image") as source:
        source.add(batch(), 100)
    cquorlin.merge(path + ".merged.h5", [other])


@pytest.mark.parametrize("read_cache_bytes", [0, 1 << 20])
@pytest.mark.parametrize("calls", [add_and_search, record, merge_into])
def test_calls_leave_no_tables_for_the_collector(store_path, read_cache_bytes, calls):
    # A table's _search_fn is a method bound to the table: every table a call drops must be freed
    # by the call, or each call leaves hundreds of cycles that cost the next caller a collection.
    def live_tables():
        return sum(type(o) is Table for o in gc.get_objects())

    with DB(store_path, "w", preprocessor="image") as db:
        db.read_cache_bytes = read_cache_bytes
        db.add(batch(), 0)
        gc.collect()
        before = live_tables()
        gc.disable()
        try:
            calls(db, store_path)
            assert live_tables() == before
        finally:
            gc.enable()


def test_tables_a_write_made_are_read_from_the_read_cache(store_path):
    # Overwriting the dataset's bytes in place keeps its token: only a load from the read cache
    # still gives the table as it was written.
    with DB(store_path, "w") as db:
        db.add({"fc": np.array([[1.0, 0.0], [2.0, 0.0]], np.float32)}, 0)
        other = Table(np.array([7, 9], np.uint16), np.array([0.5, 1.0], np.float32)).tobytes()
        db.file["table_fc_0"][...] = np.frombuffer(other, np.uint8)
        assert db._tomemory("table_fc_0").idxs.tolist() == [0, 1]
        db.read_cache_bytes = 0
        db.cache.clear()
        assert db._tomemory("table_fc_0").idxs.tolist() == [7, 9]


def test_read_cache_follows_a_dataset_replaced_behind_the_store(store_path):
    def put(name, idxs):
        t = Table(np.array(idxs, np.uint16), np.arange(len(idxs), dtype=np.float32))
        db.file[name] = np.frombuffer(t.tobytes(), np.uint8)

    with DB(store_path, "w") as db:
        db.add({"fc": np.array([[1.0, 0.0]], np.float32)}, 0)
        assert db._tomemory("table_fc_0").idxs.tolist() == [0]
        db.cache.clear()
        # Made while the old dataset still lives: another place, another token.
        put("new", [5, 6, 7])
        del db.file["table_fc_0"]
        db.file.move("new", "table_fc_0")
        assert db._tomemory("table_fc_0").idxs.tolist() == [5, 6, 7]
        # Made after it was freed, it may take its place: emptying the cache shows it.
        db.cache.clear()
        del db.file["table_fc_0"]
        put("table_fc_0", [9])
        db.read_cache_bytes, budget = 0, db.read_cache_bytes
        db.read_cache_bytes = budget
        assert db._tomemory("table_fc_0").idxs.tolist() == [9]


def test_add_after_a_dataset_was_deleted_behind_the_store(store_path, capfd):
    # The read cache still holds the name: the write finds no link to move aside and makes the table anew.
    with DB(store_path, "w") as db:
        db.add({"fc": np.array([[1.0, 0.0]], np.float32)}, 0)
        del db.file["table_fc_0"]
        db.add({"fc": np.array([[2.0, 0.0]], np.float32)}, 1)
        assert db._tomemory("table_fc_0").idxs.tolist() == [1]
    with DB(store_path, "r") as db:
        assert db._tomemory("table_fc_0").idxs.tolist() == [1]
    assert capfd.readouterr().err == ""


def from_file(db, key):
    table = Table.frombytes(db.file[key][()])
    return table.idxs, table.vals


@pytest.mark.parametrize("index_dtype", [np.uint16, np.uint64])
def test_written_tables_are_kept_as_the_file_holds_them(store_path, index_dtype):
    # Values lose their lower 16 bits in the file (a NaN may become an infinity); the kept table must too.
    vals = np.array([1.2345678, -3.3333333, np.inf, 0.0], np.float32)
    vals = np.append(vals, np.array([0x7F800001], np.uint32).view(np.float32))
    idxs = np.arange(5, dtype=index_dtype)
    with DB(store_path, "w") as db:
        user = Table(idxs, vals)
        user.add(9, 2.7182818)
        db.cache["table_t_0"] = user
        db._todisk("table_t_0")  # the flush made new columns, which the table alone holds
        plain = Table(idxs, np.sort(vals))
        db.cache["table_u_0"] = plain
        plain._flushed = False
        db._todisk("table_u_0")  # columns the caller still holds
        assert idxs.flags.writeable and plain.idxs is idxs
        idxs[0] = 7  # cannot reach what the store keeps
        other = Table(np.array([3], index_dtype), np.array([1.5], np.float32))
        other.tobytes = lambda: Table(np.array([4, 5], np.uint32), np.array([0.5, 0.25], np.float32)).tobytes()
        other._flushed = False
        db.cache["table_v_0"] = other
        db._todisk("table_v_0")  # bytes of another table than its columns
        for key in ("table_t_0", "table_u_0", "table_v_0"):
            db.cache.clear()
            kept = db._tomemory(key)
            assert not kept.idxs.flags.writeable and not kept.vals.flags.writeable
            stored_idxs, stored_vals = from_file(db, key)
            assert kept.idxs.dtype == stored_idxs.dtype
            np.testing.assert_array_equal(kept.idxs, stored_idxs)
            np.testing.assert_array_equal(kept.vals.view(np.uint32), stored_vals.view(np.uint32))


def test_kept_columns_are_read_only_and_tables_still_change(store_path):
    with DB(store_path, "w") as db:
        db.add({"fc": np.array([[1.0, 0.0]], np.float32)}, 0)
        db.search({"fc": np.array([[1.0, 0.0]], np.float32)})
        table = db._tomemory("table_fc_0")
        with pytest.raises(ValueError, match="read-only"):
            table.vals[0] = 3.0
        db.add({"fc": np.array([[2.0, 0.0]], np.float32)}, 1)
        assert db._tomemory("table_fc_0").idxs.tolist() == [0, 1]


@pytest.mark.parametrize("budget", [0, 1, 300, 1 << 30])
def test_read_cache_budget(store_path, budget):
    with DB(store_path, "w", preprocessor="image") as db:
        assert db.read_cache_bytes == 256 << 20
        db.read_cache_bytes = budget
        assert db.read_cache_bytes == budget
        acts = batch()
        db.add(acts, 0)
        for _ in range(2):
            assert [max(r, key=r.get) for r in db.search(acts, 1)] == list(range(32))


@pytest.mark.parametrize("value, error", [(-1, ValueError), (2**64, ValueError), (1.5, TypeError), ("1", TypeError)])
def test_read_cache_budget_checked(store_path, value, error):
    with DB(store_path, "w") as db:
        with pytest.raises(error):
            db.read_cache_bytes = value
        assert db.read_cache_bytes == 256 << 20


def test_preprocessor_read_as_h5py_reads_it(store_path):
    with DB(store_path, "w", preprocessor="text") as db:
        assert db.preprocessor == "text" and type(db.preprocessor) is str
        db.file.attrs["preprocessor"] = np.bytes_(b"image")  # a fixed-length string, as other tools write
        assert db.preprocessor == db.file.attrs.get("preprocessor")
        del db.file.attrs["preprocessor"]
        assert db.preprocessor is None


def test_replaced_datasets_are_freed(store_path):
    """Every add replaces the tables it touches; the old datasets' space is used again."""
    with DB(store_path, "w", preprocessor="image") as db:
        for j in range(40):
            db.add(batch(), 32 * j)
        db._flush_cache()
        grown = os.path.getsize(store_path)
        db.compact()
        # Without reuse the file would hold every version of every table, about 20 times this; a
        # few KiB of the metadata a change makes and frees stay behind as free space.
        assert grown < 2 * os.path.getsize(store_path) + 16384
    with h5py.File(store_path, "r") as f:
        assert all(isinstance(f[k], h5py.Dataset) for k in f)


def test_store_stays_bounded_over_many_sessions(store_path):
    DB(store_path, "w", preprocessor="image").close()
    for session in range(30):
        with DB(store_path) as db:
            for j in range(3):
                db.add(batch(), 96 * session + 32 * j)
    size = os.path.getsize(store_path)
    with DB(store_path) as db:
        db.compact()
    assert size < 2 * os.path.getsize(store_path)  # without compaction: about 10 times
    assert len({i for key, i, _ in entries(store_path) if key.startswith("table_fc_")}) == 30 * 96


def test_compact_keeps_every_table_and_goes_on(store_path):
    with DB(store_path, "w", preprocessor="image") as db:
        for j in range(10):
            db.add(batch(), 32 * j)
        before = stored(store_path)
        size = os.path.getsize(store_path)
        db.compact()
        assert stored(store_path) == before and os.path.getsize(store_path) < size
        assert not os.path.exists(store_path + "-compacting")
        acts = batch()
        db.add(acts, 1000)
        assert [max(r, key=r.get) for r in db.search(acts, 1)] == list(range(1000, 1032))
    with h5py.File(store_path, "r") as f:
        assert dict(f.attrs) == {"version": "0.0.1", "preprocessor": "image"}


def test_compact_replaces_a_leftover_and_needs_a_file(store_path):
    with open(store_path + "-compacting", "wb") as f:
        f.write(b"left by a killed compaction")
    with DB(store_path, "w") as db:
        db.add({"fc": np.ones((2, 3), np.float32)}, 0)
        db.compact()
    assert not os.path.exists(store_path + "-compacting")
    with DB("mem.h5", "w", driver="core", backing_store=False) as db:
        with pytest.raises(ValueError, match="only a store in one file opened for writing can be compacted"):
            db.compact()


def test_compact_through_a_symlink_keeps_the_link(tmp_path):
    real = tmp_path / "real.h5"
    link = tmp_path / "link.h5"
    with DB(str(real), "w", preprocessor="image") as db:
        db.add(batch(), 0)
    os.symlink(real, link)
    os.chmod(real, 0o640)
    before = stored(str(real))
    with DB(str(link)) as db:
        db.add(batch(), 32)
        db.compact()
        db.add(batch(), 64)
    assert os.path.islink(link) and os.stat(real).st_mode & 0o777 == 0o640
    assert set(before) <= set(stored(str(real)))


def test_compact_after_creation_only_keywords_and_reinit(tmp_path):
    first, second = str(tmp_path / "a.h5"), str(tmp_path / "b.h5")
    db = DB(first, "w", preprocessor="image", userblock_size=512)
    for j in range(3):
        db.add(batch(), 32 * j)
    db.compact()  # opened again without the keyword h5py takes only when creating
    kept = stored(first)
    db.__init__(second, "w", preprocessor="image")  # nothing of the first file carries over
    db.add(batch(), 0)
    db.close()
    assert stored(first) == kept and len(stored(second)) > 0


def test_tables_in_groups_are_counted_and_copied(store_path):
    acts = {"enc/l0": RNG.random((8, 5), np.float32), "enc/l1": RNG.random((8, 5), np.float32)}
    with DB(store_path, "w") as db:
        for j in range(4):
            db.add(acts, 8 * j)
        db.compact()
        size = os.path.getsize(store_path)
    with DB(store_path) as db:
        db.add(acts, 100)
    assert os.path.getsize(store_path) < 2 * size  # not grown, and not rewritten from nothing
    with h5py.File(store_path, "r") as f:
        names = []
        f.visititems(lambda name, obj: names.append(name) if isinstance(obj, h5py.Dataset) else None)
    assert names and all(n.startswith("table_enc/") for n in names)
