"""A store's neuron count (recorded by add, kept in the file) and DB.query's ranked arrays: exactly
the search's answers in exact mode, and its own candidates, ties and weights otherwise."""
import contextlib

import h5py
import numpy as np
import pytest

from cquorlin import DB, QuorlinWarning


def open_store(path, neurons=1, preprocessor=None):
    db = DB(path, "w", preprocessor=preprocessor)
    db.neurons = neurons
    return db


# ---------------------------------------------------------------------------------------------
# The neuron count

def test_neuron_count_is_kept_only_when_not_one(store_path):
    with DB(store_path, "w") as db:
        assert db.neurons == 1
        db.neurons = 4
    with h5py.File(store_path, "r") as f:
        assert f.attrs["neurons"] == 4
    with DB(store_path, "a") as db:
        assert db.neurons == 4
        db.neurons = 1
    with h5py.File(store_path, "r") as f:
        assert "neurons" not in f.attrs


@pytest.mark.parametrize("value, error", [(0, ValueError), (-2, ValueError), (1025, ValueError), (2**70, ValueError),
                                          ("2", TypeError), (2.0, TypeError)])
def test_neuron_count_is_checked(store_path, value, error):
    with DB(store_path, "w") as db:
        with pytest.raises(error):
            db.neurons = value
        assert db.neurons == 1


def test_a_store_with_tables_keeps_its_neuron_count(store_path):
    with open_store(store_path, 2) as db:
        db.add({"fc": np.eye(3, dtype=np.float32)}, 0)
        db.neurons = 2  # the same count is no change
        with pytest.raises(ValueError, match="holds tables recorded with 2 neurons"):
            db.neurons = 3
    with DB(store_path, "r") as db:
        assert db.neurons == 2


def test_a_stored_count_that_is_no_count_is_refused(store_path):
    with DB(store_path, "w"):
        pass
    with h5py.File(store_path, "a") as f:
        f.attrs["neurons"] = "many"
    with pytest.raises(ValueError, match='attribute "neurons" holds'):
        DB(store_path, "r")


class Fetching(DB):
    """Notes every table key that add asks for."""

    def _get_table(self, k, create=True):
        self.asked.append(k)
        return super()._get_table(k, create)


def test_add_records_the_m_strongest_neurons_through_get_table(store_path):
    db = Fetching(store_path, "w")
    db.asked = []
    db.neurons = 2
    acts = {"fc": np.array([[0.1, 0.9, 0.9, 0.5], [0.5, np.nan, 0.2, -0.0]], np.float32),
            "one": np.array([[3.0], [4.0]], np.float32)}
    db.add(acts, [10, 11])
    # Per layer and row, strongest first: ties to the lower column, NaN above every number.
    assert db.asked == ["table_fc_1", "table_fc_2", "table_fc_1", "table_fc_0", "table_one_0", "table_one_0"]
    got = {k: sorted(zip(db._tomemory(k).idxs.tolist(), db._tomemory(k).vals.tolist())) for k in db.file}
    db.close()
    assert got["table_fc_0"] == [(11, 0.5)] and got["table_fc_2"][0][0] == 10
    assert got["table_fc_1"][0][0] == 10 and got["table_fc_1"][1][0] == 11 and np.isnan(got["table_fc_1"][1][1])
    assert got["table_one_0"] == [(10, 3.0), (11, 4.0)]


# ---------------------------------------------------------------------------------------------
# DB.query

def random_store(path, rng, neurons=1, n=300, preprocessor=None):
    """A store of tie-heavy values (few distinct values per neuron) in three layers."""
    db = open_store(path, neurons, preprocessor)
    for first in range(0, n, 100):
        db.add(layer_batch(rng, 100), first)
    return db


def layer_batch(rng, size):
    return {"a": rng.integers(0, 6, (size, 5)).astype(np.float32) / 4,
            "b": rng.standard_normal((size, 7)).astype(np.float32),
            "c": (rng.integers(-3, 4, (size, 4)) * 1.5).astype(np.float32)}


@pytest.mark.parametrize("k", [0, 1, 5, 40])
def test_exact_mode_is_the_search(store_path, k):
    rng = np.random.default_rng(k)
    with random_store(store_path, rng) as db:
        queries = layer_batch(rng, 30)
        # Columns the store never saw as strongest: the tables of these neurons are missing.
        queries["c"][:10] = np.arange(4, dtype=np.float32) * np.float32(-1)
        queries["a"][5:15, 4] = 9.0
        del db.file["table_a_4"]
        # k=0 finds nothing, which both calls say.
        warns = (lambda: pytest.warns(QuorlinWarning, match="k=0")) if k == 0 else contextlib.nullcontext
        with warns():
            answers = db.search(queries, k=k)
        with warns():
            scores, indices = db.query(queries, k=k, exact=True)
    assert scores.dtype == np.float32 and indices.dtype == np.int64 and scores.shape == indices.shape == (30, k)
    for row, answer in enumerate(answers):
        found = indices[row][indices[row] >= 0]
        assert sorted(found.tolist()) == sorted(answer)
        expected = sorted(answer, key=lambda i: (-answer[i], i))
        assert found.tolist() == expected
        np.testing.assert_array_equal(scores[row][:len(found)], np.float32([answer[i] for i in expected]))
        assert np.all(scores[row][len(found):] == -np.inf) and np.all(indices[row][len(found):] == -1)


@pytest.mark.parametrize("neurons", [1, 3])
def test_query_ranks_each_stored_input_first_for_itself(store_path, neurons):
    rng = np.random.default_rng(neurons)
    with open_store(store_path, neurons) as db:
        stored = {"x": rng.standard_normal((400, 16)).astype(np.float32),
                  "y": rng.standard_normal((400, 8)).astype(np.float32)}
        db.add(stored, 0)
        scores, indices = db.query({k: v[:50] for k, v in stored.items()}, k=3)
    assert indices[:, 0].tolist() == list(range(50))
    assert np.all(np.diff(scores, axis=1) <= 0)


def test_ties_keep_every_entry_as_near_as_the_last(store_path):
    with DB(store_path, "w") as db:
        # Inputs 7 and 0 share a value, stored in that order, as far from the query as each other.
        db.add({"fc": np.array([[1.0], [1.25], [1.5], [1.5]], np.float32)}, [9, 8, 7, 0])
        query = {"fc": np.array([[1.0]], np.float32)}
        _, with_ties = db.query(query, k=3, candidates=1)
        _, without = db.query(query, k=3, candidates=1, ties=False)
    assert with_ties.tolist() == [[9, 8, 0]] and without.tolist() == [[9, 8, 7]]


def test_a_group_of_ties_larger_than_asked_gives_none(store_path):
    with DB(store_path, "w") as db:
        # Eight inputs share the value nearest to the query: it tells them apart no more than a constant.
        db.add({"fc": np.array([[1.0]] * 8 + [[3.0]], np.float32)}, 0)
        query = {"fc": np.array([[1.0]], np.float32)}
        _, with_ties = db.query(query, k=1, candidates=2)
        _, without = db.query(query, k=1, candidates=2, ties=False)
        _, enough = db.query(query, k=1, candidates=8)
    assert with_ties.tolist() == [[-1]] and without.tolist() == [[0]] and enough.tolist() == [[0]]


def test_midpoint_reads_stored_values_as_the_middle_of_their_interval(store_path):
    # 1.00390625 and 1.0 share their upper 16 bits: the file keeps 1.0 for both.
    with DB(store_path, "w") as db:
        db.add({"fc": np.array([[1.0038], [1.0]], np.float32)}, 0)
        exact, _ = db.query({"fc": np.array([[1.0]], np.float32)}, k=1, candidates=2, midpoint=False)
        mid, _ = db.query({"fc": np.array([[1.0]], np.float32)}, k=1, candidates=2)
    assert exact[0, 0] == 1.0
    assert mid[0, 0] == np.float32(1 - (np.float32(1.0 + 2**-8) - 1) / (2 * np.float32(1.0 + 2**-8)))


def test_layers_keep_their_weight_from_their_position(store_path):
    rng = np.random.default_rng(5)
    with random_store(store_path, rng) as db:
        queries = layer_batch(rng, 8)
        alone, idx_alone = db.query({"b": queries["b"]}, k=5)
        chosen, idx_chosen = db.query(queries, k=5, layers=["b"])
    np.testing.assert_array_equal(idx_alone, idx_chosen)
    np.testing.assert_array_equal(alone * 4, chosen)  # "b" is second in the batch: weight 4


def test_query_leaves_the_cache_empty_and_takes_preprocessed_outputs(store_path):
    rng = np.random.default_rng(2)
    acts = {"tok": rng.standard_normal((20, 6, 5)).astype(np.float32)}
    with open_store(store_path, 2, "text") as db:
        db.add(acts, 0)
        _, indices = db.query(acts, k=1)
        assert db.cache == {}
    assert indices[:, 0].tolist() == list(range(20))


@pytest.mark.parametrize("call, error, message", [
    (lambda db, q: db.query(q, -1), ValueError, "k must be at least 0"),
    (lambda db, q: db.query(q, 1, 2), TypeError, "positional arguments"),
    (lambda db, q: db.query(q, neurons=0), ValueError, "neurons must be at least 1"),
    (lambda db, q: db.query(q, layers=["z"]), KeyError, "not among the query's outputs"),
    (lambda db, q: db.query(q, layers=[]), ValueError, "no layer"),
    (lambda db, q: db.query(dict(q, b=q["b"][:3])), ValueError, "first axis of layer 'b'"),
    (lambda db, q: db.query({}), ValueError, "empty"),
    (lambda db, q: db.query({"a": [[1.0]]}), TypeError, "Cannot convert list"),
])
def test_bad_queries_raise(store_path, call, error, message):
    rng = np.random.default_rng(0)
    with random_store(store_path, rng, n=100) as db:
        with pytest.raises(error, match=message):
            call(db, layer_batch(rng, 4))


def recorded_pairs(db):
    """Every (input, neuron) the store holds for layer "wide"."""
    return {(i, int(key.rsplit("_", 1)[1])) for key in db.file for i in db._tomemory(key).idxs.tolist()}


@pytest.mark.parametrize("how", ["add", "recorder, array", "recorder, host tensor", "recorder, device tensor"])
def test_strongest_neurons_of_wide_rows_with_ties(store_path, how):
    import torch

    class OffHost(torch.Tensor):
        @property
        def is_cpu(self):
            return False

    rng = np.random.default_rng(3)
    # Few distinct values, both zeros and NaN, in rows wider than the kernels' blocks.
    values = rng.choice(np.array([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, np.nan], np.float32), size=(64, 53),
                        p=[0.2, 0.2, 0.2, 0.2, 0.1, 0.08, 0.02])
    key = np.where(np.isnan(values), np.inf, values)  # NaN ranks above every number
    order = np.lexsort((np.arange(53)[None, :].repeat(64, 0), -key), axis=1)
    expected = {(r, int(c)) for r in range(64) for c in order[r, :3]}
    with open_store(store_path, 3) as db:
        if how == "add":
            db.add({"wide": values}, 0)
        else:
            out = {"recorder, array": values, "recorder, host tensor": torch.from_numpy(values),
                   "recorder, device tensor": torch.from_numpy(values).as_subclass(OffHost)}[how]
            with db.recorder() as rec:
                rec.add({"wide": out}, 0, batch_size=64)
        assert recorded_pairs(db) == expected
