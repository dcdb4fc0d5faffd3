"""Common mistakes: each gets a clear error, a note on the error, or a QuorlinWarning.

The suite runs with warnings as errors (pyproject.toml), so every documented path that the other
test files take stays silent; the warnings are asked for here, where a call's outcome is silent by
the book (a layer skipped, no result, nothing found)."""

import re
import warnings

import h5py
import numpy as np
import pytest
import torch

import cquorlin
from cquorlin import DB, QuorlinWarning

ACTS = {"a": np.eye(4, 5, dtype=np.float32), "b": np.eye(4, 3, dtype=np.float32)[::-1].copy()}


def entries(path):
    """(key, index) of every entry in the store at `path`."""
    with DB(path, "r") as db:
        return sorted((k, int(i)) for k in db.file for i in db._tomemory(k).idxs)


def raises(error, message):
    """pytest.raises for `error` whose message is exactly `message` (notes aside)."""
    return pytest.raises(error, match=f"\\A{re.escape(message)}(\n|\\Z)")


def test_warning_category():
    assert issubclass(QuorlinWarning, UserWarning) and QuorlinWarning.__module__ == "cquorlin"


# ---------------------------------------------------------------------------------------------
# Closing


def test_close_flushes_pending_recorder_inputs(tmp_path):
    db = DB(str(tmp_path / "recorded.h5"), "w")
    rec = db.recorder()
    rec.add(ACTS, 10, batch_size=4)
    db.close()
    assert rec.pending == 0 and rec.durable == 4
    with DB(str(tmp_path / "added.h5"), "w") as added:
        added.add(ACTS, 10)
    assert entries(str(tmp_path / "recorded.h5")) == entries(str(tmp_path / "added.h5"))


class FailingFlush(DB):
    fail = True

    def _flush_cache(self):
        if self.fail:
            raise OSError("the disk is full")
        return super()._flush_cache()


def test_close_with_a_failing_recorder_flush_keeps_store_open(store_path):
    DB(store_path, "w").close()
    db = FailingFlush(store_path)
    rec = db.recorder()
    rec.add(ACTS, 0, batch_size=4)
    with pytest.raises(OSError, match="the disk is full"):
        db.close()
    assert rec.pending == 4 and db.file  # nothing written, still open
    assert list(db.file) == []
    db.fail = False
    db.close()
    assert rec.durable == 4 and len(entries(store_path)) == 8


@pytest.mark.parametrize("use", [
    lambda db: db.add(ACTS, 0),
    lambda db: db.search(ACTS),
    lambda db: db.preprocessor,
    lambda db: setattr(db, "preprocessor", "text"),
    lambda db: db.path,
    lambda db: db.recorder(),
    lambda db: db.compact(),
    lambda db: db._get_table("table_a_0"),
    lambda db: db._tomemory("table_a_0"),
    lambda db: db._create_table("table_a_0"),
    lambda db: db._todisk("table_a_0"),
    lambda db: db._flush_cache(),
    lambda db: db._clear_cache(),
    lambda db: db.__enter__(),
    lambda db: db.query(ACTS),
    lambda db: db.neurons,
    lambda db: setattr(db, "neurons", 2),
    lambda db: db.layers(),
    lambda db: db.entries(),
    lambda db: db.neuron("a", 0),
    lambda db: db.plot_layers("layers.png"),
], ids=["add", "search", "preprocessor", "set preprocessor", "path", "recorder", "compact", "_get_table",
        "_tomemory", "_create_table", "_todisk", "_flush_cache", "_clear_cache", "__enter__", "query", "neurons",
        "set neurons", "layers", "entries", "neuron", "plot_layers"])
def test_closed_store_refuses_every_use(store_path, use):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
    with raises(ValueError, f"the store {store_path!r} is closed"):
        use(db)
    db.close()  # closing again does nothing
    assert db.cache == {} and repr(db) == "<cquorlin.DB (closed)>"


def test_recorder_of_a_closed_store(store_path):
    with DB(store_path, "w") as db:
        rec = db.recorder()
        with rec:
            rec.add(ACTS, 0, batch_size=4)
            db.close()  # flushes; leaving the block then has nothing to write
    for use in (lambda: rec.add(ACTS, 4, batch_size=4), rec.flush, rec.__enter__):
        with raises(ValueError, f"the store {store_path!r} is closed"):
            use()
    assert rec.durable == 4 and rec.pending == 0


def test_read_only_store(store_path):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
    read_only = f'the store {store_path!r} is open read-only (mode "r")'
    with DB(store_path, "r") as db:
        with raises(ValueError, f'{read_only}, and a recorder writes into its store: open it with mode "a"'):
            db.recorder()
        for _ in range(2):  # the second try is refused before HDF5 is asked
            with pytest.raises(OSError) as excinfo:
                db.add(ACTS, 4)
            assert excinfo.value.__notes__ == [f'{read_only}: open it with mode "a" to write to it']
        assert db.search(ACTS, k=1)[0] == {0: pytest.approx(5.0)}
    assert len(entries(store_path)) == 8


# ---------------------------------------------------------------------------------------------
# Notes on the document's errors


def test_open_notes(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not a store")
    for mode in ("r", "a"):
        with pytest.raises(OSError) as excinfo:
            DB(str(text), mode)
        assert excinfo.value.__notes__ == [
            f"{str(text)!r} is no HDF5 file, so it cannot be a store: cquorlin.DB opens the HDF5 files it made, or "
            "makes a new one at a path where no file is."]
    missing = str(tmp_path / "missing.h5")
    with pytest.raises(FileNotFoundError) as excinfo:
        DB(missing, "r")
    assert excinfo.value.__notes__ == [f"while opening the store {missing!r} with mode 'r'"]
    plain = str(tmp_path / "plain.h5")
    h5py.File(plain, "w").close()
    with pytest.raises(Exception) as excinfo:
        DB(plain, "r")
    assert type(excinfo.value) is Exception and str(excinfo.value) == "Invalid file."
    assert "lacks the root attribute \"version\"" in excinfo.value.__notes__[0] and repr(plain) in excinfo.value.__notes__[0]


MISSING_PREPROCESSOR = (
    'Give the store a preprocessor: DB(path, preprocessor="image"|"text") when opening it, or db.preprocessor = '
    '"image" (each input\'s output flattened) or "text" (the maximum over the tokens) on the open store. A recorder '
    "made before reads it when an output first needs it.")


@pytest.mark.parametrize("call", [
    lambda db, x: db.add({"t": x}, 0),
    lambda db, x: db.search({"t": x}),
    lambda db, x: db.recorder().add({"t": x}, 0, batch_size=2),
    lambda db, x: db.recorder().add({"t": torch.from_numpy(x)}, 0, batch_size=2),
], ids=["add", "search", "recorder", "recorder tensor"])
def test_missing_preprocessor_note(store_path, call):
    with DB(store_path, "w") as db:
        with raises(ValueError, "Preprocessor not specified for activations with ndim > 2.") as excinfo:
            call(db, np.ones((2, 3, 4), np.float32))
    assert excinfo.value.__notes__ == [MISSING_PREPROCESSOR]


@pytest.mark.parametrize("k, error, note", [
    ("10", TypeError, "k of DB.search must be an integer, not str"),
    (None, TypeError, "k of DB.search must be an integer, not NoneType"),
    (2**31, OverflowError, "k of DB.search must lie between -2**31 and 2**31 - 1, not 2147483648"),
])
def test_k_note(store_path, k, error, note):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
        with pytest.raises(error) as excinfo:
            db.search(ACTS, k=k)
    assert excinfo.value.__notes__ == [note]


# ---------------------------------------------------------------------------------------------
# Integers that are not int


@pytest.mark.parametrize("first", [np.int64(5), np.uint16(5), torch.tensor(5), np.array(5)],
                         ids=["numpy int64", "numpy uint16", "0-d tensor", "0-d array"])
def test_first_index_of_any_integer_type(tmp_path, first):
    """Formerly a TypeError from iterating the index; now exactly as if 5 had been given."""
    with DB(str(tmp_path / "int.h5"), "w") as db:
        db.add(ACTS, 5)
    with DB(str(tmp_path / "other.h5"), "w") as db:
        db.add(ACTS, first)
        rec = db.recorder()
        rec.add(ACTS, first, batch_size=4)
        assert rec.pending == 4
    assert entries(str(tmp_path / "other.h5"))[::2] == entries(str(tmp_path / "int.h5"))


@pytest.mark.parametrize("idx", [0.0, np.float64(0.0), torch.tensor(0.0), np.array(0.0)])
def test_non_integer_index_keeps_its_error(store_path, idx):
    with DB(store_path, "w") as db:
        with pytest.raises(TypeError) as excinfo:
            db.add(ACTS, idx)
        note = "DB.add takes as idx the first input index (an integer) or one index per input, not "
        assert excinfo.value.__notes__[0].startswith(note) and excinfo.value.__notes__[0].endswith(type(idx).__name__)
        with pytest.raises(TypeError) as excinfo:
            db.recorder().add(ACTS, idx, batch_size=4)
        assert excinfo.value.__notes__[0].startswith("Recorder.add takes as idx the first input index")
    assert entries(store_path) == []


def test_index_arrays_stay_indices(store_path):
    with DB(store_path, "w") as db:
        db.add(ACTS, np.array([7, 8, 9, 10]))
        db.add(ACTS, torch.tensor([11, 12, 13, 14]))
        with raises(ValueError, "Batch size of activations (4) != length of indices (1)."):
            db.add(ACTS, torch.tensor([5]))  # one index of a batch of four, not the first of four
    assert {i for _, i in entries(store_path)} == set(range(7, 15))


# ---------------------------------------------------------------------------------------------
# Silent outcomes warn, once per call


def warned(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    assert all(w.category is QuorlinWarning for w in caught)
    return result, [str(w.message) for w in caught]


def test_skipped_layers_warn_once_before_anything_is_written(store_path):
    acts = {"a": ACTS["a"], "pos": np.ones((1, 4, 3), np.float32), "short": np.ones((2, 3), np.float32)}
    with DB(store_path, "w", preprocessor="text") as db:
        _, messages = warned(lambda: db.add(acts, 0))
        assert messages == [
            "DB.add skipped the layers whose first axis is not the batch size 4 (the longest first axis), by name "
            "and length: {'pos': 1, 'short': 2}. Only outputs with one row per input are recorded; "
            "cquorlin.to_numpy(outputs, batch_size) keeps just those."]
        with pytest.raises(QuorlinWarning):  # turned into an error: the batch is not recorded
            db.add(acts, 4)
    assert {i for _, i in entries(store_path)} == {0, 1, 2, 3}


def test_search_returning_none_warns(store_path):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
        result, messages = warned(lambda: db.search({"a": ACTS["a"], "pos": np.ones((1, 3), np.float32)}))
    assert result is None and messages == [
        "DB.search returned None: the first axis of layer 'pos' has length 1, not the batch size 4 (the longest "
        "first axis). Only outputs with one row per input are searched; cquorlin.to_numpy(outputs, batch_size) "
        "keeps just those."]


@pytest.mark.parametrize("k", [0, -3, False])
@pytest.mark.parametrize("postprocess", [True, False])
def test_no_candidates_warns(store_path, k, postprocess):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
        result, messages = warned(lambda: db.search(ACTS, k=k, _postprocess=postprocess))
    assert messages == [
        f"DB.search with k={int(k)} finds no stored input: every table is asked for at most k (times the layers) "
        "candidates. Pass k of 1 or more."]
    assert result == [{}] * 4 if postprocess else all(len(i) == 0 for answers in result.values() for i, _ in answers)


def test_layers_without_tables_warn(store_path):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
        query = {"a": ACTS["a"], "A": ACTS["a"], "c": ACTS["b"]}
        result, messages = warned(lambda: db.search(query))
        assert messages == [
            "DB.search found nothing for the layers ['A', 'c']: the store holds no table of them. Search with the "
            "layer names, in the same order, that were recorded."]
        assert [max(r, key=r.get) for r in result] == [0, 1, 2, 3]
        # A recorded layer whose query neurons have no table is no mistake: nothing to warn of.
        other = np.zeros((4, 5), np.float32)
        other[:, 4] = 1.0
        assert warned(lambda: db.search({"a": other}))[1] == []


def test_query_warns_as_search_does(store_path):
    with DB(store_path, "w") as db:
        db.add(ACTS, 0)
        (scores, indices), messages = warned(lambda: db.query(ACTS, k=0))
        assert scores.shape == indices.shape == (4, 0) and messages == [
            "DB.query with k=0 finds no stored input: its arrays have no columns. Pass k of 1 or more."]
        (_, indices), messages = warned(lambda: db.query({"a": ACTS["a"], "A": ACTS["a"]}, k=1))
        assert indices[:, 0].tolist() == [0, 1, 2, 3] and messages == [
            "DB.query found nothing for the layers ['A']: the store holds no table of them. Query with the layer "
            "names, in the same order, that were recorded."]
        with raises(ValueError, "the first axis of layer 'pos' has length 1, not the batch's 4"):
            db.query({"a": ACTS["a"], "pos": np.ones((1, 3), np.float32)})  # an error, as documented


@pytest.mark.parametrize("record", [lambda db, idx: db.add(ACTS, idx),
                                    lambda db, idx: db.recorder().add(ACTS, idx)], ids=["add", "recorder"])
def test_repeated_indices_warn(store_path, record):
    with DB(store_path, "w") as db:
        _, messages = warned(lambda: record(db, [3, 7, 3, 3]))
    name = "DB.add" if messages and messages[0].startswith("DB") else "Recorder.add"
    assert messages == [
        f"{name} got 2 repeated indices in one batch (such as 3): every copy is stored as an entry, and a search adds "
        "up the scores of the copies. Give each input its own index."]


def test_to_numpy_output_is_silent(store_path):
    """An embedding model's outputs through to_numpy: nothing skipped, no None, no warning."""
    model = torch.nn.Sequential(torch.nn.Linear(6, 5), torch.nn.ReLU(), torch.nn.Linear(5, 3))
    embed = cquorlin.get_embedding_model(model)
    x = torch.randn(16, 6)
    with torch.no_grad():
        acts = cquorlin.to_numpy(embed(x), len(x))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with DB(store_path, "w") as db:
            db.add(acts, 0)
            results = db.search(acts, k=3)
    assert [max(r, key=r.get) for r in results] == list(range(16)) or all(len(r) > 0 for r in results)
