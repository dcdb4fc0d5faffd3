"""Store reports: layers, entries, a neuron's strongest inputs, repr and the plot of the layers."""

import math
import subprocess
import sys

import h5py
import numpy as np
import pytest

import cquorlin


def one_hot(winners, values, neurons):
    """Activations whose strongest neuron of input i is winners[i], with the value values[i]."""
    acts = np.full((len(winners), neurons), -1e9, np.float32)
    acts[np.arange(len(winners)), winners] = values
    return acts


def cut(values):
    """Values as a table stores them: the upper 16 bits of their float32 patterns."""
    return (np.asarray(values, np.float32).view(np.uint32) & 0xFFFF0000).view(np.float32)


@pytest.fixture
def store(store_path):
    """A store of 1,000 inputs over three layers with known distributions:
    "spread": neuron i % 5 wins, values distinct; "one": neuron 2 wins for 950 inputs;
    "one_b": neuron 0 for 600 and 1 for 400 (a name that shares a prefix with "one")."""
    rng = np.random.default_rng(0)
    n = 1000
    winners = {"spread": np.arange(n) % 5, "one": np.where(np.arange(n) < 950, 2, 3),
               "one_b": np.where(np.arange(n) < 600, 0, 1)}
    values = {"spread": rng.normal(size=n).astype(np.float32), "one": np.round(rng.normal(size=n), 1).astype(np.float32),
              "one_b": np.ones(n, np.float32)}
    with cquorlin.DB(store_path, "w", preprocessor="image") as db:
        db.add({name: one_hot(winners[name], values[name], 6) for name in winners}, 0)
    return store_path, winners, values


def test_layers_report_known_distributions(store):
    path, winners, values = store
    with cquorlin.DB(path, "r") as db:
        report = db.layers()
    assert isinstance(report, cquorlin.Layers) and [layer.name for layer in report] == ["one", "one_b", "spread"]
    for layer in report:
        counts = np.bincount(winners[layer.name])
        largest = int(np.argmax(counts))
        in_largest = cut(values[layer.name][winners[layer.name] == largest])
        assert isinstance(layer, cquorlin.Layer)
        assert layer.tables == np.count_nonzero(counts)
        assert (layer.entries, layer.inputs, layer.largest) == (1000, 1000, largest)
        assert layer.largest_share == pytest.approx(counts[largest] / 1000)
        assert layer.largest_values == len(np.unique(in_largest))
        assert layer.degenerate == (layer.name == "one")


@pytest.mark.parametrize("threshold, degenerate", [(0.95, ["one"]), (0.96, []), (0.6, ["one", "one_b"]), (1.0, [])])
def test_degenerate_threshold(store, threshold, degenerate):
    with cquorlin.DB(store[0], "r") as db:
        assert [layer.name for layer in db.layers(threshold) if layer.degenerate] == degenerate


@pytest.mark.parametrize("threshold", [0, -0.5, 1.5, math.nan])
def test_threshold_outside_a_share_raises(store, threshold):
    with cquorlin.DB(store[0], "r") as db, pytest.raises(ValueError, match="threshold must be a share"):
        db.layers(threshold)


def test_inputs_count_distinct_indices_not_entries(store_path):
    """Inputs recorded twice (or under sparse indices) count once; entries count every record."""
    acts = {"a": one_hot(np.array([0, 1, 1, 2]), np.ones(4, np.float32), 3)}
    with cquorlin.DB(store_path, "w") as db:
        with pytest.warns(cquorlin.QuorlinWarning, match="repeated indices"):
            db.add(acts, [5, 2 ** 40, 7, 5])
        db.add(acts, [5, 6, 7, 8])
        (layer,) = db.layers()
        assert (layer.entries, layer.inputs, layer.tables) == (8, 5, 3)
        assert db.entries() == {"a": 8} and db.entries("a") == {0: 2, 1: 4, 2: 2}


def test_share_counts_inputs_where_an_input_has_several_entries(store_path):
    """With two entries per input (its two strongest neurons, say), a neuron that holds one entry of
    every input holds half of the entries and all of the inputs: the layer is degenerate."""
    n = 100
    with cquorlin.DB(store_path, "w") as db:
        db.add({"a": one_hot(np.zeros(n, int), np.ones(n, np.float32), 5)}, 0)
        db.add({"a": one_hot(np.arange(n) % 4 + 1, np.ones(n, np.float32), 5)}, 0)
        (layer,) = db.layers()
        assert (layer.entries, layer.inputs, layer.largest, layer.largest_share) == (200, 100, 0, 1.0)
        assert layer.degenerate
        ax = pytest.importorskip("matplotlib.figure").Figure().add_subplot()
        db.plot_layers(ax)
        assert [t.get_color() for t in ax.get_yticklabels()] == ["tab:red"]


def test_entries_and_layers_ignore_other_datasets_and_group_by_the_last_underscore(store):
    path, winners, _ = store
    with h5py.File(path, "a") as f:
        f["notes"] = np.arange(3)
        f["table_x"] = np.arange(3, dtype=np.uint8)
    with cquorlin.DB(path, "r") as db:
        assert db.entries() == {"one": 1000, "one_b": 1000, "spread": 1000}
        assert db.entries("one_b") == {0: 600, 1: 400}
        with pytest.raises(KeyError, match="the store has no layer 'two'"):
            db.entries("two")
    with h5py.File(path, "a") as f:
        f.create_group("table_grp_1")
    with cquorlin.DB(path, "r") as db, pytest.raises(OSError, match="'table_grp_1'"):
        db.entries()


def test_a_damaged_table_is_named(store):
    with h5py.File(store[0], "a") as f:
        f["table_bad_0"] = np.array([1, 8, 0, 0, 0, 1, 2], np.uint8)  # says 8 index bytes, has 2
    with cquorlin.DB(store[0], "r") as db, pytest.raises(ValueError, match="'table_bad_0' holds no table"):
        db.layers()


def test_str_is_a_table(store):
    with cquorlin.DB(store[0], "r") as db:
        lines = str(db.layers()).splitlines()
    assert lines[0].split() == ["layer", "tables", "entries", "inputs", "largest", "share", "values", "degenerate"]
    assert lines[1].split() == ["one", "2", "1000", "1000", "2", "0.950", lines[1].split()[6], "yes"]
    assert lines[3].split()[:6] == ["spread", "5", "1000", "1000", "0", "0.200"] and len(lines) == 4


@pytest.mark.parametrize("largest", [True, False])
@pytest.mark.parametrize("k", [0, 3, 10_000])
def test_neuron_gives_highest_or_lowest_values(store, largest, k):
    path, winners, values = store
    with cquorlin.DB(path, "r") as db:
        idxs, vals = db.neuron("spread", 3, k=k, largest=largest)
    mine = np.flatnonzero(winners["spread"] == 3)
    order = np.argsort(cut(values["spread"][mine]), kind="stable")
    expected = cut(values["spread"][mine])[order[::-1] if largest else order][:k]
    np.testing.assert_array_equal(vals, expected)
    np.testing.assert_array_equal(cut(values["spread"][idxs]), vals)  # each index with its own value
    assert set(idxs.tolist()) <= set(mine.tolist()) and idxs.dtype == np.uint16 and vals.dtype == np.float32


def test_neuron_leaves_nan_out_and_answers_a_neuron_without_table_with_nothing(store_path):
    acts = {7: one_hot(np.array([0, 0, 0]), np.array([np.nan, 2.0, 1.0], np.float32), 3)}
    with cquorlin.DB(store_path, "w") as db:
        db.add(acts, 10)
        idxs, vals = db.neuron(7, 0)  # a layer key as its text, as tables are named
        assert idxs.tolist() == [11, 12] and vals.tolist() == [2.0, 1.0]
        idxs, vals = db.neuron("7", 2)
        assert (idxs.dtype, vals.dtype, len(idxs), len(vals)) == (np.uint16, np.float32, 0, 0)
        db.add({9: np.array([[np.nan, 0.0]], np.float32)}, 20)  # a table of NaN alone
        for largest in (True, False):
            assert [a.tolist() for a in db.neuron(9, 0, largest=largest)] == [[], []]
        assert [a.tolist() for a in db.neuron(7, 0, k=0)] == [[], []]
        with pytest.raises(KeyError, match="no layer '8'"):
            db.neuron(8, 0)
        with pytest.raises(ValueError, match="k must be non-negative"):
            db.neuron(7, 0, k=-1)
        with pytest.raises(ValueError):
            db.neuron(7, -1)


def test_repr_names_path_mode_preprocessor_and_counts(store):
    db = cquorlin.DB(store[0], "r")
    assert repr(db) == f"<cquorlin.DB {store[0]!r}, mode 'r', preprocessor 'image': 3 layers, 9 tables>"
    db.close()
    assert repr(db) == "<cquorlin.DB (closed)>"


def test_plot_layers_to_a_file_and_onto_axes(store, tmp_path):
    figure = pytest.importorskip("matplotlib.figure")
    with cquorlin.DB(store[0], "r") as db:
        db.plot_layers(tmp_path / "layers.png")
        ax = figure.Figure().add_subplot()
        assert db.plot_layers(ax) is ax
        with pytest.raises(TypeError, match="a file path or matplotlib Axes, not int"):
            db.plot_layers(3)
    assert (tmp_path / "layers.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert [t.get_text() for t in ax.get_yticklabels()] == ["one (2)", "one_b (2)", "spread (5)"]
    assert [t.get_color() for t in ax.get_yticklabels()] == ["tab:red", "black", "black"]
    assert [len(c.get_paths()) for c in ax.collections] == [2, 2, 5]  # one segment per neuron


def test_plot_layers_without_matplotlib_says_so(store):
    code = ("import sys; sys.modules['matplotlib'] = None; import cquorlin\n"
            f"db = cquorlin.DB({store[0]!r}, 'r')\n"
            "try:\n    db.plot_layers('x.png')\nexcept ImportError as e:\n    print(e)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True)
    assert run.stdout.strip() == "DB.plot_layers draws with matplotlib, which is not installed: pip install matplotlib"


def test_merge_reports_progress_per_table(store, tmp_path):
    calls = []
    cquorlin.merge(tmp_path / "merged.h5", [store[0]], progress=lambda done, total: calls.append((done, total)))
    assert calls == [(j, 9) for j in range(1, 10)]

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        cquorlin.merge(tmp_path / "stopped.h5", [store[0]], progress=stop)
