"""The recorder (equal to DB.add batch by batch, durable at each flush) and the merge of stores."""
import os
import random
import signal
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest
import torch

import cquorlin
from cquorlin import DB

from conftest import memory_growth

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Values that share 16-bit classes across batches (cut toward zero: negative ones lose bits
# upwards), both zeros, infinities and NaN: every case where batch-by-batch merging decides order.
CLASSES = np.array([-2.0, -1.0, -0.5, 0.0, -0.0, 0.5, 1.0, np.inf, -np.inf, np.nan], np.float32)


def tie_heavy(rng, shape):
    base = rng.choice(CLASSES, size=shape)
    low_bits = rng.integers(0, 4, size=shape).astype(np.float32) * np.float32(1e-5)
    return (base + np.sign(base) * low_bits).astype(np.float32)


def tables(path):
    """Every table's bytes, by name."""
    with h5py.File(path, "r") as f:
        names = []
        f.visititems(lambda name, obj: names.append(name) if isinstance(obj, h5py.Dataset) else None)
        return {name: f[name][()].tobytes() for name in names}


def entries(path):
    """Every table's entries as a sorted list of (value, index), by name."""
    with DB(path, "r") as db:
        out = {}
        for name in tables(path):
            t = db._tomemory(name)
            out[name] = sorted(zip(t.vals.view(np.uint32).tolist(), t.idxs.tolist()))
        return out


def record_both(tmp_path, batches, preprocessor, flush_every, prefill=(), neurons=1):
    """The same batches through DB.add (on to_numpy's arrays) and through a recorder; two paths."""
    paths = str(tmp_path / "add.h5"), str(tmp_path / "rec.h5")
    with DB(paths[0], "w", preprocessor=preprocessor) as a, DB(paths[1], "w", preprocessor=preprocessor) as r:
        a.neurons = r.neurons = neurons
        for acts, idx in prefill:
            a.add(acts, idx)
            r.add(acts, idx)
        with r.recorder(flush_every=flush_every) as rec:
            for outputs, idx, size, mask in batches:
                n = len(idx) if not isinstance(idx, int) else size
                a.add(cquorlin.to_numpy(outputs, n, mask), idx)
                rec.add(outputs, idx, batch_size=size, attention_mask=mask)
    return paths


def arrays(rng, size):
    return {"fc": tie_heavy(rng, (size, 6)), "conv": tie_heavy(rng, (size, 2, 2, 2)), "one": tie_heavy(rng, (size,))}


def tensors(dtype):
    def make(rng, size):
        return {k: torch.from_numpy(v).to(dtype) for k, v in arrays(rng, size).items()}
    return make


def text_outputs(rng, size):
    return {"tok": torch.from_numpy(tie_heavy(rng, (size, 5, 4))), "mix": tie_heavy(rng, (size, 5, 3))}


def make_batches(kind, n_batches, size, first, with_mask=False, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for b in range(n_batches):
        mask = None
        if with_mask:
            m = (rng.random((size, 5)) > 0.3).astype(np.int64)
            m[:, 0] = 1
            mask = torch.from_numpy(m) if b % 2 else m
        start = first + b * size
        # Alternate the two ways of giving indices: the first one with batch_size, or one per input.
        idx, given = (start, size) if b % 2 else (list(range(start, start + size)), None)
        out.append((kind(rng, size), idx, given, mask))
    return out


@pytest.mark.parametrize("kind, preprocessor, mask", [
    (arrays, "image", False),
    (tensors(torch.float64), "image", False),
    (tensors(torch.bfloat16), "image", False),
    (tensors(torch.float16), "image", False),
    (text_outputs, "text", True),
    (text_outputs, "text", False),
])
@pytest.mark.parametrize("flush_every", [1, 70, 10**6])
def test_equals_db_add_per_batch(tmp_path, kind, preprocessor, mask, flush_every):
    batches = make_batches(kind, 12, 32, 0, mask)
    a, r = record_both(tmp_path, batches, preprocessor, flush_every)
    assert tables(a) == tables(r)


class OffHost(torch.Tensor):
    """A host tensor that says it is not in host memory: the recorder reduces it as it reduces a
    GPU's tensors, with torch operations on the tensor's device."""

    @property
    def is_cpu(self):
        return False


def off_host(kind):
    def make(rng, size):
        return {k: v.as_subclass(OffHost) if isinstance(v, torch.Tensor) else v for k, v in kind(rng, size).items()}
    return make


@pytest.mark.parametrize("kind, preprocessor", [
    (arrays, "image"),
    (tensors(torch.float64), "image"),
    (tensors(torch.bfloat16), "image"),
    (text_outputs, "text"),
    (off_host(tensors(torch.float32)), "image"),
    (off_host(tensors(torch.float16)), "image"),
    (off_host(text_outputs), "text"),
])
def test_m_strongest_neurons_equal_db_add(tmp_path, kind, preprocessor):
    # Ties, both zeros and NaN among the strongest: the device's topk picks as the host does.
    batches = make_batches(kind, 6, 32, 0, preprocessor == "text")
    a, r = record_both(tmp_path, batches, preprocessor, 70, neurons=3)
    assert tables(a) == tables(r)
    with DB(r, "r") as db:
        assert db.neurons == 3
        per_layer = {}
        for name in tables(r):
            layer = name.rsplit("_", 1)[0]
            per_layer[layer] = per_layer.get(layer, 0) + len(db._tomemory(name).idxs)
    # Every input in three tables of each layer, in one of a layer of one neuron.
    assert per_layer == {layer: (6 * 32 if layer == "table_one" else 3 * 6 * 32) for layer in per_layer}


@pytest.mark.parametrize("first, width", [(65536 - 200, 4), (2**32 - 200, 8)])
def test_widens_the_index_type_as_db_add(tmp_path, first, width):
    batches = make_batches(arrays, 8, 50, first)
    a, r = record_both(tmp_path, batches, "image", 120)
    assert tables(a) == tables(r)
    with DB(r, "r") as db:
        widest = max(db._tomemory(name).idxs.dtype.itemsize for name in tables(r))
    assert widest == width


def test_joins_a_store_that_already_holds_entries(tmp_path):
    rng = np.random.default_rng(5)
    prefill = [({"fc": tie_heavy(rng, (40, 6))}, 1000 + 40 * j) for j in range(3)]
    batches = make_batches(lambda rng, n: {"fc": tie_heavy(rng, (n, 6))}, 6, 40, 0, seed=6)
    a, r = record_both(tmp_path, batches, "image", 100, prefill)
    assert tables(a) == tables(r)


def test_negative_values_cut_upwards_go_before_earlier_batches(tmp_path):
    # -1.00001 is stored as -1.0: an add merges it before the stored -1.0 of an earlier batch.
    batches = [({"fc": np.array([[v]], np.float32)}, [i], None, None)
               for i, v in enumerate([-1.0, -1.00001, -1.0, -1.00002])]
    a, r = record_both(tmp_path, batches, None, 10)
    assert tables(a) == tables(r)
    with DB(r, "r") as db:
        assert db._tomemory("table_fc_0").idxs.tolist() == [3, 1, 0, 2]


def test_durable_counts_flushed_inputs(store_path):
    with DB(store_path, "w") as db, db.recorder(flush_every=100) as rec:
        counts = []
        for b in range(5):
            rec.add({"fc": np.eye(40, dtype=np.float32)}, 40 * b, batch_size=40)
            counts.append((rec.durable, rec.pending))
        assert counts == [(0, 40), (0, 80), (120, 0), (120, 40), (120, 80)]
        rec.flush()
        assert (rec.durable, rec.pending) == (200, 0)
        assert rec.db is db


def test_search_reads_the_file_only(store_path):
    acts = {"fc": np.eye(4, dtype=np.float32)}
    with DB(store_path, "w") as db:
        rec = db.recorder()
        rec.add(acts, 0, batch_size=4)
        with pytest.warns(cquorlin.QuorlinWarning, match=r"found nothing for the layers \['fc'\]"):
            assert db.search(acts, k=1) == [{}, {}, {}, {}]
        rec.flush()
        assert [list(r) for r in db.search(acts, k=1)] == [[0], [1], [2], [3]]


def test_leaving_the_block_by_an_exception_flushes(store_path):
    with DB(store_path, "w") as db:
        with pytest.raises(KeyError):
            with db.recorder() as rec:
                rec.add({"fc": np.eye(3, dtype=np.float32)}, [7, 8, 9])
                raise KeyError("interrupted")
        assert rec.durable == 3
    assert entries(store_path)["table_fc_0"][0][1] == 7


@pytest.mark.parametrize("outputs, idx, kw, error, message", [
    ({"fc": np.eye(3)}, 0, {}, TypeError, "batch_size is required"),
    ({"fc": np.eye(3)}, [0, 1, 2], {"batch_size": 2}, ValueError, r"batch_size \(2\) != length of indices \(3\)"),
    ({"fc": np.eye(3)}, -1, {"batch_size": 3}, ValueError, "negative"),
    ({"fc": np.eye(3)}, [0, -4, 2], {}, ValueError, "negative"),
    ({"fc": np.eye(3)}, 2**64 - 2, {"batch_size": 3}, IndexError, "larger than"),
    ({"fc": np.eye(3)}, [0, 1.5, 2], {}, TypeError, "integer"),
    ({"fc": np.eye(3, dtype=np.int64)}, 0, {"batch_size": 3}, ValueError, "no output holds"),
    ({"fc": np.zeros((3, 2, 2))}, 0, {"batch_size": 3}, ValueError, "Preprocessor not specified"),
    ({"fc": np.eye(3), "empty": np.zeros((3, 0))}, 0, {"batch_size": 3}, ValueError, "argmax of an empty sequence"),
    ({"fc": torch.zeros((3, 0))}, 0, {"batch_size": 3}, ValueError, "argmax of an empty sequence"),
    ({"fc": np.eye(3)}, 0, {"batch_size": -3}, ValueError, "at least 0"),
    ({"fc\0x": np.eye(3)}, 0, {"batch_size": 3}, ValueError, "null character"),
])
def test_bad_input_is_refused_and_buffers_nothing(store_path, outputs, idx, kw, error, message):
    with DB(store_path, "w") as db:
        rec = db.recorder()
        rec.add({"fc": np.eye(3, dtype=np.float32)}, 100, batch_size=3)
        with pytest.raises(error, match=message):
            rec.add(outputs, idx, **kw)
        assert rec.pending == 3
        rec.flush()
    assert sorted(i for t in entries(store_path).values() for _, i in t) == [100, 101, 102]


@pytest.mark.parametrize("every, error", [(0, ValueError), (-5, ValueError), ("10", TypeError)])
def test_flush_every_is_checked(store_path, every, error):
    with DB(store_path, "w") as db, pytest.raises(error):
        db.recorder(flush_every=every)


def test_recorder_is_made_by_a_store_only():
    with pytest.raises(TypeError):
        cquorlin.Recorder()


class FailingWrite(DB):
    """A store whose next write of tables fails, as a full disk would make it."""
    fail = False

    def _flush_cache(self):
        if self.fail and self.cache:
            self.fail = False
            raise OSError("no space left")
        return super()._flush_cache()


def test_a_failed_flush_keeps_its_entries_for_the_next(store_path):
    acts = {"fc": np.eye(4, dtype=np.float32)}
    with FailingWrite(store_path, "w") as db:
        rec = db.recorder()
        rec.add(acts, 0, batch_size=4)
        db.fail = True
        with pytest.raises(OSError, match="no space left"):
            rec.flush()
        assert (rec.durable, rec.pending, db.cache) == (0, 4, {})
        rec.add(acts, 4, batch_size=4)
        rec.flush()
        assert (rec.durable, rec.pending) == (8, 0)
    assert {name: [i for _, i in pairs] for name, pairs in entries(store_path).items()} == {
        f"table_fc_{n}": [n, n + 4] for n in range(4)}


def test_an_add_whose_flush_fails_takes_its_batch_back(store_path):
    acts = {"fc": np.eye(4, dtype=np.float32)}
    with FailingWrite(store_path, "w") as db:
        rec = db.recorder(flush_every=8)
        rec.add(acts, 0, batch_size=4)
        db.fail = True
        with pytest.raises(OSError, match="no space left"):
            rec.add(acts, 4, batch_size=4)  # its flush fails
        assert (rec.durable, rec.pending) == (0, 4)
        rec.add(acts, 4, batch_size=4)  # the retry, once
        assert (rec.durable, rec.pending) == (8, 0)
    assert {name: [i for _, i in pairs] for name, pairs in entries(store_path).items()} == {
        f"table_fc_{n}": [n, n + 4] for n in range(4)}


def test_calls_back_into_the_recorder_are_refused(store_path):
    class Reentrant(DB):
        def _get_table(self, k, create=True):
            with pytest.raises(RuntimeError, match="already running"):
                rec.add({"fc": np.eye(2, dtype=np.float32)}, 100, batch_size=2)
            with pytest.raises(RuntimeError, match="already running"):
                rec.flush()
            return super()._get_table(k, create)

    with Reentrant(store_path, "w") as db:
        rec = db.recorder()
        rec.add({"fc": np.eye(2, dtype=np.float32)}, 0, batch_size=2)
        rec.flush()
        assert rec.durable == 2
    assert sorted(i for pairs in entries(store_path).values() for _, i in pairs) == [0, 1]


class Counting(torch.Tensor):
    """A tensor that logs the elements of every tensor handed to the host (cpu, numpy, to("cpu"), ...)."""
    moved = []

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        name = getattr(func, "__name__", "")
        to_host = name == "to" and any(
            isinstance(a, (str, torch.device)) and torch.device(a).type == "cpu"
            for a in list(args[1:]) + list(kwargs.values()))
        if name in ("cpu", "numpy", "tolist", "item", "__array__", "__reduce_ex__") or to_host:
            cls.moved.append((name, args[0].numel()))
        return super().__torch_function__(func, types, args, kwargs)


def test_only_two_values_per_input_and_layer_reach_the_host(tmp_path):
    rng = np.random.default_rng(3)
    outputs = {"conv": torch.from_numpy(tie_heavy(rng, (64, 8, 4, 4))).as_subclass(Counting),
               "fc": torch.from_numpy(tie_heavy(rng, (64, 32))).as_subclass(Counting),
               "tok": torch.from_numpy(tie_heavy(rng, (64, 5, 7))).as_subclass(Counting)}
    Counting.moved.clear()
    with DB(str(tmp_path / "rec.h5"), "w", preprocessor="image") as db, db.recorder() as rec:
        rec.add(outputs, 0, batch_size=64)
    # One (2, 64) block per layer: the neuron numbers and the values, nothing else.
    assert Counting.moved == [("cpu", 128), ("numpy", 128)] * 3
    with DB(str(tmp_path / "add.h5"), "w", preprocessor="image") as db:
        db.add(cquorlin.to_numpy({k: v.as_subclass(torch.Tensor) for k, v in outputs.items()}, 64), 0)
    assert tables(str(tmp_path / "add.h5")) == tables(str(tmp_path / "rec.h5"))


def test_recording_does_not_leak(store_path):
    acts = {"fc": np.random.default_rng(0).random((16, 8), np.float32), "t": torch.rand(16, 3)}
    with DB(store_path, "w") as db:
        db.read_cache_bytes = 0  # it keeps the growing tables as written, up to its own bound
        rec = db.recorder(flush_every=64)
        position = [0]

        def round_trip():
            rec.add(acts, position[0], batch_size=16)
            position[0] += 16
        growth = memory_growth(round_trip, 80)
    assert min(growth) < 16 * 1024  # one leaked object per call (or per flush) would add tens of kB


# ---------------------------------------------------------------------------------------------
# A kill during a flush

def record_until_killed(path, pipe_w, width, **recorder_kw):
    """Child: records batches through a recorder (a layer of `width` neurons makes its flushes take
    a while); reports each durable count."""
    rng = np.random.default_rng(os.getpid())
    db = DB(path, "a")
    rec = db.recorder(**recorder_kw)
    batch = 0
    while True:
        rec.add({"wide": rng.random((64, width), np.float32), "fc": rng.random((64, 8), np.float32)}, batch * 64,
                batch_size=64)
        if rec.pending == 0:
            os.write(pipe_w, rec.durable.to_bytes(8, "little"))
        batch += 1


def kill_while_recording(path, trial, flushes, latest, width, **recorder_kw):
    """Kills a child recording into `path` once `flushes` flushes completed, after a further wait of
    up to `latest` seconds chosen by `trial`; returns the last durable count it reported."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child never returns
        try:
            os.close(r)
            record_until_killed(path, w, width, **recorder_kw)
        finally:
            os._exit(1)
    os.close(w)
    reported = b""
    while len(reported) < 8 * flushes:
        reported += os.read(r, 8 * flushes - len(reported))
    time.sleep(random.Random(trial).uniform(0.0, latest))
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    while chunk := os.read(r, 4096):
        reported += chunk
    os.close(r)
    return int.from_bytes(reported[-8:], "little")


@pytest.mark.parametrize("trial", range(4))
def test_a_kill_during_a_flush_loses_no_flushed_batch(tmp_path, trial):
    path = str(tmp_path / "killed.h5")
    # The first flush completed: the kill lands in or between later ones.
    durable = kill_while_recording(path, trial, 1, 0.6, 3000, flush_every=256)
    per_layer = {}
    for name, pairs in entries(path).items():
        layer = name.rsplit("_", 1)[0]
        per_layer.setdefault(layer, []).extend(i for _, i in pairs)
    assert set(per_layer) == {"table_wide", "table_fc"}
    kept = {layer: sorted(idx) for layer, idx in per_layer.items()}
    # Every flushed input once per layer, and whole flushes only: the same prefix in both layers.
    assert kept["table_wide"] == kept["table_fc"] == list(range(len(kept["table_fc"])))
    assert len(kept["table_fc"]) >= durable and len(kept["table_fc"]) % 256 == 0
    assert not os.path.exists(path + "-journal")


# ---------------------------------------------------------------------------------------------
# merge

def shard_batches(seed, first, n_batches, size=30):
    rng = np.random.default_rng(seed)
    return [({"fc": tie_heavy(rng, (size, 5)), "conv": tie_heavy(rng, (size, 2, 3))}, first + b * size)
            for b in range(n_batches)]


def record_shard(path, batches, preprocessor="image", neurons=1):
    with DB(path, "w", preprocessor=preprocessor) as db:
        db.neurons = neurons
    with DB(path, "a") as db, db.recorder(flush_every=50) as rec:
        for acts, first in batches:
            rec.add(acts, first, batch_size=len(next(iter(acts.values()))))


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("neurons", [1, 3])
def test_merge_equals_one_process(tmp_path, existing, neurons):
    shards = [shard_batches(s, 300 * s, 10) for s in range(3)]
    target = str(tmp_path / "merged.h5")
    one = str(tmp_path / "one.h5")
    with DB(one, "w", preprocessor="image") as db:
        db.neurons = neurons
        for batches in shards:
            for acts, first in batches:
                db.add(acts, first)
    paths = []
    for s, batches in enumerate(shards):
        paths.append(str(tmp_path / f"shard{s}.h5"))
        record_shard(paths[-1], batches, neurons=neurons)
    if existing:  # the target already holds the first shard
        record_shard(target, shards[0], neurons=neurons)
        paths = paths[1:]
    cquorlin.merge(target, paths)
    assert entries(target) == entries(one)
    with DB(target, "r") as db:
        assert db.preprocessor == "image" and db.neurons == neurons
        for name in tables(target):
            t = db._tomemory(name)
            vals = t.vals
            assert not np.any(vals[1:][~np.isnan(vals[1:])] < vals[:-1][~np.isnan(vals[1:])])


def test_merge_takes_the_sources_preprocessor_and_widens(tmp_path):
    a, b, target = (str(tmp_path / n) for n in ("a.h5", "b.h5", "t.h5"))
    with DB(a, "w", preprocessor="text") as db:
        db.add({"fc": np.eye(3, dtype=np.float32)}, 0)
    with DB(b, "w") as db:
        db.add({"fc": np.eye(3, dtype=np.float32)}, 2**40)
    with DB(target, "w") as db:
        pass
    cquorlin.merge(target, [a, b])
    with DB(target, "r") as db:
        assert db.preprocessor == "text"
        t = db._tomemory("table_fc_1")
        assert t.idxs.dtype == np.uint64 and sorted(t.idxs.tolist()) == [1, 2**40 + 1]


def test_merge_refuses_differing_preprocessors(tmp_path):
    a, b, target = (str(tmp_path / n) for n in ("a.h5", "b.h5", "t.h5"))
    for path, p in ((a, "image"), (b, "text")):
        with DB(path, "w", preprocessor=p) as db:
            db.add({"fc": np.eye(2, dtype=np.float32)}, 0)
    with pytest.raises(ValueError, match=r"a\.h5.*'image'.*b\.h5.*'text'"):
        cquorlin.merge(target, [a, b])
    assert not os.path.exists(target)
    with DB(target, "w", preprocessor="text") as db:
        pass
    with pytest.raises(ValueError, match=r"t\.h5.*'text'.*a\.h5.*'image'"):
        cquorlin.merge(target, [a])
    assert tables(target) == {}


def test_merge_refuses_differing_neuron_counts(tmp_path):
    a, b, target = (str(tmp_path / n) for n in ("a.h5", "b.h5", "t.h5"))
    for path, m in ((a, 1), (b, 2)):
        with DB(path, "w") as db:
            db.neurons = m
            db.add({"fc": np.eye(3, dtype=np.float32)}, 0)
    with pytest.raises(ValueError, match=r"neuron counts differ: .*a\.h5.* 1 neurons .*b\.h5.* 2"):
        cquorlin.merge(target, [a, b])
    assert not os.path.exists(target)
    # A target with tables keeps its count; an empty one takes the sources'.
    with pytest.raises(ValueError, match=r"neuron counts differ: .*a\.h5.* 1 neurons .*b\.h5.* 2"):
        cquorlin.merge(a, [b])
    cquorlin.merge(target, [b])
    with DB(target, "r") as db:
        assert db.neurons == 2 and tables(target) == tables(b)


def test_merge_refuses_a_path_named_twice(tmp_path):
    a = str(tmp_path / "a.h5")
    with DB(a, "w") as db:
        db.add({"fc": np.eye(2, dtype=np.float32)}, 0)
    with pytest.raises(ValueError, match="named twice"):
        cquorlin.merge(a, [a])
    os.symlink(a, tmp_path / "link.h5")
    for sources in ([a], [str(tmp_path / "link.h5")], [str(tmp_path / "." / "a.h5")]):
        with pytest.raises(ValueError, match="named twice"):
            cquorlin.merge(str(tmp_path / "t.h5"), [a] + sources)
    with pytest.raises(TypeError, match="not one path"):
        cquorlin.merge(str(tmp_path / "t.h5"), a)
    assert not os.path.exists(tmp_path / "t.h5")


def unsorted_table():
    t = cquorlin.Table(np.array([0, 1], np.uint16), np.array([2.0, 1.0], np.float32))
    return np.frombuffer(t.tobytes(), np.uint8)


FAULTY_DATASETS = {
    "non-table dataset": ("other", lambda: np.arange(3.0), "holds no table"),
    "unsorted table": ("table_fc_0", unsorted_table, "not in value order"),
    "unknown type code": ("table_fc_1", lambda: np.array([7, 0, 0, 0, 0], np.uint8), "holds no table"),
}


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("fault", FAULTY_DATASETS)
def test_merge_checks_every_source_before_the_target(tmp_path, fault, existing):
    a, b, target = (str(tmp_path / n) for n in ("a.h5", "b.h5", "t.h5"))
    for path in (a, b) + ((target,) if existing else ()):
        with DB(path, "w", preprocessor="image") as db:
            db.add({"fc": np.eye(3, dtype=np.float32)}, 10 * len(path))
    name, make, message = FAULTY_DATASETS[fault]
    with h5py.File(b, "a") as f:
        if name in f:
            del f[name]
        f[name] = make()
    before = tables(target) if existing else None
    with pytest.raises(ValueError, match=rf"cannot merge '.*b\.h5': .*'{name}'.*{message}"):
        cquorlin.merge(target, [a, b])
    if existing:
        assert tables(target) == before
    else:
        assert not os.path.exists(target)


def test_merge_removes_a_target_it_made_when_its_first_write_fails(tmp_path, monkeypatch):
    a, target = str(tmp_path / "a.h5"), str(tmp_path / "t.h5")
    with DB(a, "w", preprocessor="image") as db:
        db.add({"fc": np.eye(3, dtype=np.float32)}, 0)
    real = h5py.File.flush
    flushes = []

    def flush(self):
        flushes.append(self.filename)
        if self.filename == target and len([f for f in flushes if f == target]) > 1:
            raise OSError(28, "injected flush failure")  # a change after the one that made it
        real(self)

    monkeypatch.setattr(h5py.File, "flush", flush)
    with pytest.raises(OSError, match="injected"):
        cquorlin.merge(target, [a])
    assert not os.path.exists(target) and not os.path.exists(target + "-journal")


# ---------------------------------------------------------------------------------------------
# The distributed example under torchrun

def test_distributed_example_under_torchrun(tmp_path):
    store = str(tmp_path / "digits.h5")
    env = dict(os.environ, OMP_NUM_THREADS="1")
    proc = subprocess.run(
        [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc-per-node", "2", "--",
         os.path.join(ROOT, "examples", "distributed.py"), "--store", store, "--n", "500", "--epochs", "0",
         "--batch-size", "64", "--shard-inputs", "100"],
        env=env, capture_output=True, text=True, timeout=240)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # Each rank rolled over once: its 250 inputs went into shards of 128 and 122.
    assert "searched 4 shards as one set: the best matches of inputs 0-4 are [" in proc.stdout
    per_layer = {}
    for name, pairs in entries(store).items():
        per_layer.setdefault(name.rsplit("_", 1)[0], []).extend(i for _, i in pairs)
    assert len(per_layer) == 4
    assert all(sorted(idx) == list(range(500)) for idx in per_layer.values())
    assert not [f for f in os.listdir(tmp_path) if "shard" in f]
