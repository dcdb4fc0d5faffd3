"""The command line `cquorlin`: its commands on good stores, and exit codes and messages on bad files."""

import subprocess
import sys

import h5py
import numpy as np
import pytest

import cquorlin
import cquorlin_cli


def run(*args):
    """Runs the command line as a process: (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "cquorlin_cli", *map(str, args)], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


def make_store(path, first=0, n=200):
    """A store of n inputs from index `first` on: layer "a" spreads over 4 neurons, "b" has one."""
    acts = np.zeros((n, 4), np.float32)
    acts[np.arange(n), np.arange(n) % 4] = np.arange(n) + 1
    with cquorlin.DB(str(path), "w", preprocessor="image") as db:
        db.add({"a": acts, "b": np.arange(n, dtype=np.float32)[:, None]}, first)


@pytest.fixture
def bad_files(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not a store\n")
    plain = tmp_path / "plain.h5"
    h5py.File(plain, "w").close()
    return {"missing": (tmp_path / "absent.h5", "no such file"),
            "not HDF5": (text, "cannot be opened as a store"),
            "HDF5, no store": (plain, "an HDF5 file, but no cquorlin store"),
            "a directory": (tmp_path, "is a directory")}


def test_help_and_a_good_store_as_processes(tmp_path):
    status, out, _ = run("--help")
    assert status == 0 and all(c in out for c in ("info", "layers", "neuron", "merge", "compact", "Exit status"))
    make_store(tmp_path / "s.h5")
    status, out, err = run("info", tmp_path / "s.h5")
    assert (status, err) == (0, "")
    assert "preprocessor  image" in out and "layers        2 (1 degenerate)" in out and "inputs        200" in out


def test_a_bad_file_as_a_process_is_one_line_and_status_2(bad_files):
    path, says = bad_files["not HDF5"]
    status, out, err = run("layers", path)
    assert (status, out) == (2, "") and err.startswith(f"cquorlin: {path}: {says}") and err.count("\n") == 1


@pytest.mark.parametrize("kind", ["missing", "not HDF5", "HDF5, no store", "a directory"])
@pytest.mark.parametrize("command", [["info"], ["layers"], ["neuron", "@", "a", "0"], ["compact"],
                                     ["merge", "@target", "@"]])
def test_bad_files_exit_2_with_one_line(tmp_path, bad_files, capsys, kind, command):
    path, says = bad_files[kind]
    args = [str(path) if a == "@" else str(tmp_path / "t.h5") if a == "@target" else a for a in command]
    if "@" not in command:
        args.append(str(path))
    before = path.read_bytes() if path.is_file() else None
    assert cquorlin_cli.main(args) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"cquorlin: {path}: {says}\n" if kind != "not HDF5" else err.count("\n") == 1
    assert (path.read_bytes() if path.is_file() else None) == before  # never written to
    assert not (tmp_path / "t.h5").exists()


def test_layers_neuron_and_plot(tmp_path, capsys):
    make_store(tmp_path / "s.h5")
    assert cquorlin_cli.main(["layers", str(tmp_path / "s.h5"), "--plot", str(tmp_path / "p.png")]) == 0
    rows = capsys.readouterr().out.splitlines()
    assert rows[1].split() == ["a", "4", "200", "200", "0", "0.250", "50"]
    assert rows[2].split() == ["b", "1", "200", "200", "0", "1.000", "200", "yes"]
    assert (tmp_path / "p.png").stat().st_size > 0
    assert cquorlin_cli.main(["neuron", str(tmp_path / "s.h5"), "a", "1", "-k", "2"]) == 0
    assert capsys.readouterr().out.split()[2:] == ["197", "198", "193", "194"]
    assert cquorlin_cli.main(["neuron", str(tmp_path / "s.h5"), "a", "1", "-k", "1", "--smallest"]) == 0
    assert capsys.readouterr().out.split()[2:] == ["1", "2"]


def test_an_unknown_layer_exits_1(tmp_path, capsys):
    make_store(tmp_path / "s.h5")
    assert cquorlin_cli.main(["neuron", str(tmp_path / "s.h5"), "c", "0"]) == 1
    assert capsys.readouterr().err == "cquorlin: neuron: the store has no layer 'c'\n"


def test_merge_with_progress_then_compact(tmp_path, capsys):
    shards = [tmp_path / f"s{r}.h5" for r in range(3)]
    for r, shard in enumerate(shards):
        make_store(shard, first=200 * r)
    target = tmp_path / "all.h5"
    assert cquorlin_cli.main(["merge", str(target), *map(str, shards)]) == 0
    out, err = capsys.readouterr()
    assert out.startswith(f"merged 3 stores into {target}: 1,200 entries")
    assert err.endswith("] 5/5 tables " + err.rsplit("tables ", 1)[1]) and err.endswith(" s\n")
    with cquorlin.DB(str(target), "r") as db:
        assert db.entries() == {"a": 600, "b": 600} and [layer.inputs for layer in db.layers()] == [600, 600]
    assert cquorlin_cli.main(["compact", str(target)]) == 0
    assert capsys.readouterr().out.startswith(f"compacted {target}: ")


def test_merge_of_disagreeing_stores_exits_1(tmp_path, capsys):
    make_store(tmp_path / "a.h5")
    with cquorlin.DB(str(tmp_path / "b.h5"), "w", preprocessor="text") as db:
        db.add({"a": np.ones((2, 3), np.float32)}, 0)
    assert cquorlin_cli.main(["merge", str(tmp_path / "t.h5"), str(tmp_path / "a.h5"), str(tmp_path / "b.h5")]) == 1
    assert capsys.readouterr().err.startswith("cquorlin: merge: the stores' preprocessors differ")


def test_usage_errors_exit_2(capsys):
    for argv in [[], ["frobnicate"], ["neuron", "s.h5", "a", "x"]]:
        with pytest.raises(SystemExit) as e:
            cquorlin_cli.main(argv)
        assert e.value.code == 2
    assert capsys.readouterr().err.count("usage: cquorlin") == 3
