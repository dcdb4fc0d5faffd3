"""Recording into shards (a recorder's roll-over) and searching shards as one store (open_set)."""
import itertools
import os

import numpy as np
import pytest

import cquorlin
from cquorlin import DB

from test_recorder import entries, kill_while_recording


def quarter_steps(rng, shape):
    """Values on a grid of quarters: many entries tie with each other and with queries."""
    return (rng.integers(-8, 8, size=shape) / 4).astype(np.float32)


def batches_of(seed, first, n_batches, size=40, layers=("fc", "out")):
    rng = np.random.default_rng(seed)
    out = []
    for b in range(n_batches):
        acts = {name: quarter_steps(rng, (size, 6)) for name in layers}
        acts[layers[0]][:, 5] = -100  # never an input's strongest neuron: its table is never made
        out.append((acts, first + b * size))
    return out


def record(path, batches, **recorder_kw):
    with DB(path, "w") as db, db.recorder(**recorder_kw) as rec:
        for acts, first in batches:
            rec.add(acts, first, batch_size=40)
        return rec.shards


# ---------------------------------------------------------------------------------------------
# Roll-over

@pytest.mark.parametrize("neurons", [1, 2])
def test_a_recorder_rolls_over_into_shards_that_hold_what_one_store_would(tmp_path, neurons):
    batches = batches_of(0, 0, 12)
    one = str(tmp_path / "one.h5")
    with DB(one, "w", preprocessor="image") as db:
        db.neurons = neurons
        with db.recorder(flush_every=100) as rec:
            for acts, first in batches:
                rec.add(acts, first, batch_size=40)
    path = str(tmp_path / "rolled.h5")
    with DB(path, "w", preprocessor="image") as db:
        db.neurons = neurons
        with db.recorder(flush_every=100, shard_inputs=150) as rec:
            for acts, first in batches:
                rec.add(acts, first, batch_size=40)
            assert rec.durable == 480 and rec.pending == 0
            shards = rec.shards
    assert shards == (path, *(str(tmp_path / f"rolled-{n:05d}.h5") for n in (1, 2)))
    sizes = []
    for shard in shards:
        with DB(shard, "r") as db:
            assert (db.preprocessor, db.neurons) == ("image", neurons)
        sizes.append(len({i for pairs in entries(shard).values() for _, i in pairs}))
    assert sizes == [160, 160, 160]  # a flush closes a shard as soon as it reaches 150 inputs
    merged = str(tmp_path / "merged.h5")
    cquorlin.merge(merged, shards)
    assert entries(merged) == entries(one)
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(p) for p in (one, merged, *shards))


def test_closing_the_store_flushes_a_rolled_over_recorder_and_closes_its_shard(tmp_path):
    path = str(tmp_path / "s.h5")
    db = DB(path, "w")
    rec = db.recorder(flush_every=1000, shard_inputs=80)
    for acts, first in batches_of(2, 0, 3):
        rec.add(acts, first, batch_size=40)
    assert rec.pending == 40 and rec.db.path != path  # the third batch waits in the second shard
    db.close()
    assert rec.durable == 120 and rec.pending == 0
    with pytest.raises(ValueError, match="is closed"):
        rec.add(*batches_of(2, 120, 1)[0], batch_size=40)
    with cquorlin.open_set(rec.shards) as shard_set:  # the shard is closed: it opens again
        assert len(shard_set.paths) == 2
    assert sorted({i for shard in rec.shards for pairs in entries(shard).values() for _, i in pairs}) == list(range(120))


def test_roll_over_passes_over_shard_numbers_taken(tmp_path):
    path = str(tmp_path / "s.h5")
    with DB(str(tmp_path / "s-00001.h5"), "w"):
        pass
    shards = record(path, batches_of(1, 0, 3), flush_every=40, shard_inputs=40)
    assert shards == (path, str(tmp_path / "s-00002.h5"), str(tmp_path / "s-00003.h5"))


def test_without_a_shard_size_the_recorder_writes_its_store_only(tmp_path):
    path = str(tmp_path / "s.h5")
    assert record(path, batches_of(5, 0, 4), flush_every=40) == (path,)
    assert os.listdir(tmp_path) == ["s.h5"]


@pytest.mark.parametrize("value, error", [(0, ValueError), (-3, ValueError), ("5", TypeError)])
def test_shard_inputs_is_checked(tmp_path, value, error):
    with DB(str(tmp_path / "s.h5"), "w") as db, pytest.raises(error):
        db.recorder(shard_inputs=value)


# ---------------------------------------------------------------------------------------------
# Searching a set

@pytest.fixture
def shards_and_merged(tmp_path):
    """Shards as a rolling recorder and the ranks of a job write them (one rank has a layer of its
    own and indices past 16 bits), and one store merged from them all."""
    rolled = record(str(tmp_path / "rank0.h5"), batches_of(2, 0, 8), flush_every=80, shard_inputs=120)
    rank1 = str(tmp_path / "rank1.h5")
    record(rank1, batches_of(3, 70_000, 4, layers=("fc", "out", "extra")))
    shards = [*rolled, rank1]
    merged = str(tmp_path / "merged.h5")
    cquorlin.merge(merged, shards)
    return shards, merged


def the_query(seed):
    rng = np.random.default_rng(seed)
    acts = {"fc": quarter_steps(rng, (12, 6)), "out": quarter_steps(rng, (12, 6)), "extra": quarter_steps(rng, (12, 6))}
    acts["fc"][:3, 5] = 100  # a neuron no store has a table for
    return acts


@pytest.mark.parametrize("k", [1, 3, 40])
@pytest.mark.parametrize("seed", [0, 1])
def test_a_set_answers_as_one_store_holding_every_entry(shards_and_merged, k, seed):
    shards, merged = shards_and_merged
    acts = the_query(seed)
    with cquorlin.open_set(shards) as shard_set, DB(merged, "r") as one:
        got, want = shard_set.search(acts, k=k, _postprocess=False), one.search(acts, k=k, _postprocess=False)
        assert list(got) == list(want) == list(acts)
        for layer, rows in acts.items():
            assert len(got[layer]) == len(want[layer]) == len(rows)
            for g, w in zip(got[layer], want[layer]):
                # The same entries in the same order, those tied at the cut too, as the merged table gives them.
                for x, y in zip(g, w):
                    assert x.dtype == y.dtype
                    np.testing.assert_array_equal(x, y)
        missing = got["fc"][0]
        assert (missing[0].dtype, missing[1].dtype, len(missing[0])) == (np.uint16, np.float32, 0)
        assert shard_set.search(acts, k=k) == one.search(acts, k=k)
        assert shard_set.search(acts, k=1000) == one.search(acts, k=1000)
        with pytest.warns(cquorlin.QuorlinWarning, match=r"StoreSet\.search with k=0 finds no stored input"):
            none_asked = shard_set.search(acts, k=0)
        with pytest.warns(cquorlin.QuorlinWarning, match=r"DB\.search with k=0"):
            assert none_asked == one.search(acts, k=0)


def test_a_set_answers_like_a_store_at_the_edges(shards_and_merged):
    shards, merged = shards_and_merged
    with cquorlin.open_set(shards) as shard_set, DB(merged, "r") as one:
        uneven = {"fc": np.ones((4, 6), np.float32), "out": np.ones((3, 6), np.float32)}
        with pytest.warns(cquorlin.QuorlinWarning, match=r"search returned None: the first axis of layer 'out'") as caught:
            assert shard_set.search(uneven) is one.search(uneven) is None
        assert [str(w.message).split()[0] for w in caught] == ["StoreSet.search", "DB.search"]
        for bad in ({}, {"fc": [1.0, 2.0]}):
            errors = []
            for searched in (shard_set, one):
                with pytest.raises(Exception) as error:
                    searched.search(bad)
                errors.append(type(error.value))
            assert errors[0] is errors[1]
        with pytest.raises(TypeError, match="an integer is required"):
            shard_set.search(the_query(0), k="3")


def test_open_set_takes_a_directory_a_pattern_or_paths(shards_and_merged, tmp_path):
    shards, merged = shards_and_merged
    os.remove(merged)
    by_name = tuple(sorted(shards))
    for spec in (tmp_path, str(tmp_path), str(tmp_path / "rank*.h5"), shards):
        with cquorlin.open_set(spec) as shard_set:
            assert tuple(sorted(shard_set.paths)) == by_name
            assert all(db.file.mode == "r" for db in shard_set.stores)
    with cquorlin.open_set(shards[0]) as shard_set:
        assert shard_set.paths == (shards[0],)
    with pytest.raises(ValueError, match="no store found"):
        cquorlin.open_set(str(tmp_path / "none*.h5"))


def test_open_set_refuses_stores_that_differ(tmp_path):
    a, b = str(tmp_path / "a.h5"), str(tmp_path / "b.h5")
    with DB(a, "w", preprocessor="image"), DB(b, "w", preprocessor="text"):
        pass
    with pytest.raises(ValueError, match="preprocessors differ"):
        cquorlin.open_set([a, b])
    with DB(b, "w") as db:
        db.neurons = 2
    with pytest.raises(ValueError, match="neuron counts differ"):
        cquorlin.open_set([a, b])


# ---------------------------------------------------------------------------------------------
# Querying a set

@pytest.fixture(scope="module", params=[1, 2], ids=["m=1", "m=2"])
def query_shards(request, tmp_path_factory):
    """Shards of stores recording each input's m strongest neurons (a rolling recorder's, and a
    rank's with a layer of its own), and the store merged from them in the same order."""
    tmp = tmp_path_factory.mktemp(f"m{request.param}")

    def recorded(path, batches, **recorder_kw):
        with DB(path, "w") as db:
            db.neurons = request.param
            with db.recorder(flush_every=80, **recorder_kw) as rec:
                for acts, first in batches:
                    rec.add(acts, first, batch_size=40)
                return rec.shards

    shards = [*recorded(str(tmp / "rank0.h5"), batches_of(4, 0, 8), shard_inputs=120),
              *recorded(str(tmp / "rank1.h5"), batches_of(5, 70_000, 4, layers=("fc", "out", "extra")))]
    merged = str(tmp / "merged.h5")
    cquorlin.merge(merged, shards)
    return shards, merged


OPTIONS = [dict(zip(("exact", "ties", "midpoint", "neurons", "layers", "candidates"), combo))
           for combo in itertools.product((False, True), (True, False), (True, False), (None, 1, 2),
                                          (None, ("out", "extra")), (None, 1))]


@pytest.mark.parametrize("k", [1, 4])
def test_a_set_queries_as_the_store_merged_from_its_shards(query_shards, k):
    shards, merged = query_shards
    with cquorlin.open_set(shards) as shard_set, DB(merged, "r") as one:
        for seed, options in enumerate(OPTIONS):
            acts = the_query(seed)
            got, want = shard_set.query(acts, k, **options), one.query(acts, k, **options)
            for g, w in zip(got, want):
                assert g.dtype == w.dtype and g.shape == w.shape == (12, k)
                np.testing.assert_array_equal(g, w, err_msg=str(options))
        assert all(db.cache == {} for db in shard_set.stores)


def test_a_set_of_one_store_queries_as_the_store(query_shards):
    shards, _ = query_shards
    with cquorlin.open_set(shards[-1]) as shard_set, DB(shards[-1], "r") as one:
        for options in OPTIONS[::5]:
            for g, w in zip(shard_set.query(the_query(1), 3, **options), one.query(the_query(1), 3, **options)):
                np.testing.assert_array_equal(g, w)


def test_a_set_query_warns_and_refuses_as_a_store_query(query_shards):
    shards, merged = query_shards
    with cquorlin.open_set(shards) as shard_set, DB(merged, "r") as one:
        unknown = {"nope": np.ones((2, 6), np.float32)}
        with pytest.warns(cquorlin.QuorlinWarning, match=r"found nothing for the layers \['nope'\]") as caught:
            assert shard_set.query(unknown)[1].tolist() == one.query(unknown)[1].tolist() == [[-1] * 10] * 2
        with pytest.warns(cquorlin.QuorlinWarning, match="with k=0 finds no stored input") as zero:
            assert shard_set.query(the_query(0), 0)[0].shape == one.query(the_query(0), 0)[0].shape == (12, 0)
        assert [str(w.message).split()[0] for w in (*caught, *zero)] == ["StoreSet.query", "DB.query"] * 2
        with pytest.raises(KeyError, match="not among the query's outputs"):
            shard_set.query(the_query(0), layers=["z"])
    with pytest.raises(ValueError, match="closed"):
        shard_set.query(the_query(0))


# ---------------------------------------------------------------------------------------------
# A kill while rolling over or flushing

@pytest.mark.parametrize("trial", range(3))
def test_a_kill_while_recording_shards_loses_no_flushed_batch(tmp_path, trial):
    path = str(tmp_path / "killed.h5")
    # Shards of 256 inputs, one flush each; two shards are complete: the kill lands in a later
    # flush or roll-over.
    durable = kill_while_recording(path, trial, 2, 0.5, 300, flush_every=256, shard_inputs=256)
    with cquorlin.open_set(tmp_path) as shard_set:
        shards = shard_set.paths
        answer = shard_set.search({"fc": np.ones((1, 8), np.float32)}, k=1)
    assert len(shards) >= 2 and len(answer) == 1
    kept = {"table_wide": [], "table_fc": []}
    for shard in shards:
        with DB(shard, "r") as db:
            for name in db.file:
                kept[name.rsplit("_", 1)[0]].extend(db._tomemory(name).idxs.tolist())
        assert not os.path.exists(shard + "-journal")
    kept = {layer: sorted(idx) for layer, idx in kept.items()}
    # Every flushed input once per layer, and whole flushes only.
    assert kept["table_wide"] == kept["table_fc"] == list(range(len(kept["table_fc"])))
    assert len(kept["table_fc"]) >= durable and len(kept["table_fc"]) % 256 == 0


def test_a_roll_over_cut_short_leaves_nothing_a_set_opens(tmp_path):
    """A process killed while making a shard leaves only its temporary file, which a set passes
    over and the next roll-over replaces."""
    path = str(tmp_path / "s.h5")
    with DB(path, "w"):
        pass
    with open(str(tmp_path / "s-00001.h5.new"), "wb") as f:
        f.write(b"half a store")
    with cquorlin.open_set(tmp_path) as shard_set:
        assert shard_set.paths == (path,)
    shards = record(path, batches_of(4, 0, 2), flush_every=40, shard_inputs=40)
    assert shards == (path, str(tmp_path / "s-00001.h5"))
    assert sorted(os.listdir(tmp_path)) == ["s-00001.h5", "s.h5"]
