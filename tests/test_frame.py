import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cquorlin
from conftest import frame_names


def test_index_type_tables():
    assert type(cquorlin._idx_dtypes) is list
    assert cquorlin._idx_dtypes == ["uint16", "uint32", "uint64"]
    assert cquorlin._idx_dtypes_map == {"uint16": 0, "uint32": 1, "uint64": 2}
    maxes = cquorlin._idx_dtype_maxes
    assert maxes.dtype == np.uint64 and maxes.shape == (3,)
    assert maxes.tolist() == [65535, 4294967295, 18446744073709551615]


def test_module_attributes():
    import collections
    import copy
    import threading
    import typing
    import warnings

    import h5py
    import torch

    assert cquorlin.np is np and cquorlin.torch is torch and cquorlin.h5py is h5py
    assert cquorlin.copy is copy and cquorlin.warnings is warnings and cquorlin.threading is threading
    for name in ["List", "Tuple", "Optional", "Dict", "Union"]:
        assert getattr(cquorlin, name) is getattr(typing, name)
    assert cquorlin.defaultdict is collections.defaultdict
    assert not hasattr(cquorlin, "__version__")
    assert cquorlin.__doc__ is None
    for cls in (cquorlin.Table, cquorlin.DB):
        assert cls.__module__ == "cquorlin"
        assert cls.__doc__ is None
    assert isinstance(cquorlin.Table().__dict__, dict)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("cquorlin")
    try:
        again = importlib.import_module("cquorlin")
        assert again is first
    finally:
        sys.modules["cquorlin"] = first


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_second_interpreter_and_failed_dependency():
    result = run_python(
        """
        import sys, traceback
        sys.modules["h5py"] = None  # makes the dependency import fail
        try:
            import cquorlin
        except ImportError as e:
            print("FRAMES", [f.name for f in traceback.extract_tb(e.__traceback__)])
        del sys.modules["h5py"]
        import cquorlin
        assert cquorlin.DB is not None
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import cquorlin")
        except Exception as e:
            print("SUB", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "'init cquorlin'" in result.stdout
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in result.stdout
    )


@pytest.mark.parametrize(
    "val, expected",
    [(0, "uint16"), (65535, "uint16"), (65536, "uint32"), (4294967295, "uint32"), (4294967296, "uint64"),
     (2**64 - 1, "uint64"), (np.uint64(2**64 - 1), "uint64")],
)
def test_get_dtype(val, expected):
    assert cquorlin.get_dtype(val) == expected


def test_get_dtype_beyond_uint64():
    with pytest.raises(IndexError):
        cquorlin.get_dtype(2**64)


T = cquorlin.Table


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: T().add(1), "add() takes exactly 3 positional arguments (2 given)"),
        (lambda: T().add(1, 2.0, 3), "add() takes exactly 3 positional arguments (4 given)"),
        (lambda: T().add(1, idx=2), "add() got multiple values for keyword argument 'idx'"),
        (lambda: T().add(1, value=2), "add() got an unexpected keyword argument 'value'"),
        (lambda: T(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
        (lambda: T().search(1.0), "search() takes exactly 3 positional arguments (2 given)"),
        (lambda: T()._flush(1), "_flush() takes exactly 1 positional argument (2 given)"),
        (lambda: T.frombytes(), "frombytes() takes exactly 2 positional arguments (1 given)"),
        (lambda: cquorlin.get_dtype(), "get_dtype() takes exactly 1 positional argument (0 given)"),
        (lambda: cquorlin.get_dtype(val=1), "get_dtype() takes no keyword arguments"),
        (lambda: cquorlin.DB(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: cquorlin.DB(b"x.h5"), "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda: cquorlin.DB(type("S", (str,), {})("x.h5")), "Argument 'path' has incorrect type (expected str, got S)"),
    ],
)
def test_calling_forms(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_keywords_and_class_method_forms():
    t = T(vals=None, idxs=None)
    t.add(val=0.5, idx=3)
    idxs, scores = t.search(k=1, val=0.5)
    assert idxs.tolist() == [3]
    sub = type("Sub", (T,), {})
    assert type(sub().frombytes(bytearray(5))) is sub
    assert type(T().frombytes(byts=bytearray(5))) is T


@pytest.mark.parametrize(
    "call, frame",
    [
        (lambda: T().add(1, "x"), "cquorlin.Table.add"),
        (lambda: T().search("x", 1), "cquorlin.Table.search"),
        (lambda: T(np.zeros(1, np.int64)), "cquorlin.Table.__init__"),
        (lambda: T.frombytes(b""), "cquorlin.Table.frombytes"),
        (lambda: cquorlin.get_dtype(2**64), "cquorlin.get_dtype"),
    ],
)
def test_traceback_frames(call, frame):
    with pytest.raises(Exception) as excinfo:
        call()
    assert frame_names(excinfo).count(frame) == 1


def test_type_stub_matches_module():
    import ast
    import pathlib

    stub = ast.parse((pathlib.Path(__file__).parent.parent / "cquorlin.pyi").read_text())
    for node in stub.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            obj = getattr(cquorlin, node.name)
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        assert hasattr(obj, member.name), (node.name, member.name)
