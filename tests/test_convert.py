"""to_numpy: a model's outputs as the arrays the store takes; and the store's side of that road
(layers of exact zeros, the merge's assertion, the note on a tensor given in place of an array)."""
import sys
import types

import numpy as np
import pytest
import torch
from torch import nn

import cquorlin
from conftest import memory_growth
from cquorlin import DB, Table
from test_store import entries

N, T = 3, 5


def values(n=N, seed=0):
    """Distinct float32 values of shape (n, T, 4)."""
    return np.random.default_rng(seed).standard_normal((n, T, 4)).astype(np.float32)


def padding_mask():
    """An attention mask of shape (N, T): the rows hold 5, 3 and 1 real tokens."""
    return (np.arange(T) < np.array([[5], [3], [1]])).astype(np.int64)


@pytest.mark.parametrize(
    "value",
    [
        torch.tensor(values(), dtype=torch.float16),
        torch.tensor(values(), dtype=torch.bfloat16),
        torch.tensor(values()),
        torch.tensor(values(), dtype=torch.float64),
        values().astype(np.float16),
        values(),
        values().astype(np.float64),
    ],
    ids=["tensor-f16", "tensor-bf16", "tensor-f32", "tensor-f64", "array-f16", "array-f32", "array-f64"],
)
def test_floating_values_kept_as_float32(value):
    acts = cquorlin.to_numpy({"x": value}, N)
    assert isinstance(acts, cquorlin.Activations) and isinstance(acts, dict)
    got = acts["x"]
    assert type(got) is np.ndarray and got.dtype == np.float32 and got.flags.c_contiguous
    expected = value.float().numpy() if isinstance(value, torch.Tensor) else value.astype(np.float32)
    np.testing.assert_array_equal(got, expected)
    assert acts.skipped == {}


@pytest.mark.parametrize(
    "value, reason",
    [
        (torch.zeros(N, 2, dtype=torch.int64), "dtype torch.int64 is not floating point"),
        (torch.zeros(N, 2, dtype=torch.bool), "dtype torch.bool is not floating point"),
        (torch.zeros(N, 2, dtype=torch.complex64), "dtype torch.complex64 is not floating point"),
        (np.zeros((N, 2), np.int32), "dtype int32 is not floating point"),
        (np.zeros((N, 2), bool), "dtype bool is not floating point"),
        (np.zeros((N, 2), object), "dtype object is not floating point"),
        (torch.tensor(1.5), "rank 0: no batch axis"),
        (np.array(1.5, np.float32), "rank 0: no batch axis"),
        (torch.zeros(1, T, 4), f"first axis has length 1, not the batch size {N}"),
        (np.zeros((N + 1, 2), np.float32), f"first axis has length {N + 1}, not the batch size {N}"),
        (torch.zeros(0, 2), f"first axis has length 0, not the batch size {N}"),
        ((torch.zeros(N, 2), torch.zeros(N, 2)), "not a tensor or an array but tuple"),
        ([torch.zeros(N, 2)], "not a tensor or an array but list"),
        (None, "not a tensor or an array but NoneType"),
        (np.float32(1.5), "not a tensor or an array but numpy.float32"),
        (2.5, "not a tensor or an array but float"),
    ],
)
def test_other_values_left_out_with_reason(value, reason):
    acts = cquorlin.to_numpy({"kept": np.ones((N, 2), np.float32), "x": value}, N)
    assert list(acts) == ["kept"] and acts.skipped == {"x": reason}


@pytest.mark.filterwarnings("ignore:The PyTorch API of nested tensors:UserWarning")
@pytest.mark.parametrize("layout", [torch.strided, torch.jagged])
def test_nested_tensor_left_out(layout):
    value = torch.nested.nested_tensor([torch.ones(k, 4) for k in (2, 1, 3)], layout=layout)
    acts = cquorlin.to_numpy({"x": value}, N, padding_mask())
    assert acts == {} and acts.skipped["x"].startswith("a nested tensor, whose inputs differ in length")


def test_empty_batch_and_outputs():
    acts = cquorlin.to_numpy({"x": torch.zeros(0, 2), "y": torch.zeros(2, 2)}, 0)
    assert acts["x"].shape == (0, 2) and list(acts.skipped) == ["y"]
    empty = cquorlin.to_numpy({}, N)
    assert empty == {} and empty.skipped == {}


@pytest.mark.parametrize("value", [torch.arange(N, dtype=torch.float64), np.arange(N, dtype=np.float32)])
def test_rank_one_becomes_one_column(value):
    got = cquorlin.to_numpy({"x": value}, N)["x"]
    assert got.shape == (N, 1) and got.dtype == np.float32 and got.flags.c_contiguous
    assert got[:, 0].tolist() == [0.0, 1.0, 2.0]


@pytest.mark.parametrize(
    "value",
    [
        torch.tensor(values()).transpose(1, 2),
        torch.tensor(values())[:, ::2],
        torch.tensor(values()).expand(2, N, T, 4)[1],
        np.asfortranarray(values()),
        values()[:, ::2],
        values().astype(">f4"),
        values().astype(">f8")[:, 1:],
    ],
    ids=["transposed", "tensor-step", "expanded", "fortran", "array-step", "big-endian", "big-endian-f8-slice"],
)
def test_any_layout_becomes_c_contiguous(value):
    got = cquorlin.to_numpy({"x": value}, N)["x"]
    assert got.dtype == np.float32 and got.dtype.isnative and got.flags.c_contiguous
    expected = value.numpy() if isinstance(value, torch.Tensor) else value
    np.testing.assert_array_equal(got, expected.astype(np.float32))


def test_tensors_in_a_graph_are_detached():
    leaf = torch.tensor(values(), requires_grad=True)
    value = leaf * 2  # not a leaf: .numpy() would refuse it
    for mask in (None, padding_mask()):
        got = cquorlin.to_numpy({"x": value}, N, mask)["x"]
        assert isinstance(got, np.ndarray) and got[0, 0, 0] == 2 * values()[0, 0, 0]
    assert value.requires_grad and value.grad_fn is not None
    value.sum().backward()  # the caller's graph is intact
    assert leaf.grad is not None


def test_copies_only_what_it_must():
    array = values()
    tensor = torch.tensor(values(seed=1))
    rank_one = np.arange(N, dtype=np.float32)
    acts = cquorlin.to_numpy({"array": array, "tensor": tensor, "rank_one": rank_one}, N)
    assert acts["array"] is array
    assert np.shares_memory(acts["tensor"], tensor.numpy())
    assert np.shares_memory(acts["rank_one"], rank_one)


def test_key_order_kept_for_any_mapping():
    outputs = {
        "z": np.ones((N, 2)),
        "ids": torch.zeros(N, 2, dtype=torch.long),
        "a": torch.ones(N, 3),
        "pos": torch.ones(1, 3),
        "m": np.ones(N),
        7: np.ones((N, 1)),
    }
    for mapping in (outputs, types.MappingProxyType(outputs)):
        acts = cquorlin.to_numpy(mapping, N)
        assert list(acts) == ["z", "a", "m", 7] and list(acts.skipped) == ["ids", "pos"]


@pytest.mark.parametrize(
    "make_mask",
    [
        torch.tensor,
        lambda m: torch.tensor(m, dtype=torch.bool),
        lambda m: torch.tensor(m, dtype=torch.float32),
        np.asarray,
        lambda m: m.astype(np.uint8),
        lambda m: m.tolist(),
    ],
    ids=["tensor-int", "tensor-bool", "tensor-float", "array-int", "array-uint8", "list"],
)
@pytest.mark.parametrize("as_tensor", [True, False], ids=["tensors", "arrays"])
def test_attention_mask_sets_padding_to_minus_infinity(make_mask, as_tensor):
    mask = padding_mask()
    rng = np.random.default_rng(2)
    outputs = {
        "tokens": values(),
        "tokens4": rng.standard_normal((N, T, 2, 3)).astype(np.float32),
        "other_axis": rng.standard_normal((N, T + 1, 4)).astype(np.float32),
        "tokens_last": rng.standard_normal((N, 4, T)).astype(np.float32),
        "pooled": rng.standard_normal((N, T)).astype(np.float32),
    }
    given = {key: torch.tensor(value) if as_tensor else value for key, value in outputs.items()}
    acts = cquorlin.to_numpy(given, N, make_mask(mask))
    for key in ("tokens", "tokens4"):
        expected = outputs[key].copy()
        expected[mask == 0] = -np.inf
        np.testing.assert_array_equal(acts[key], expected)
    for key in ("other_axis", "tokens_last", "pooled"):
        np.testing.assert_array_equal(acts[key], outputs[key])
    for key, value in given.items():  # the caller's values are untouched
        np.testing.assert_array_equal(np.asarray(value), outputs[key])


@pytest.mark.parametrize(
    "mask",
    [np.ones((N + 1, T)), np.ones(N), np.ones((N, T, 1)), torch.ones(N, T, 1), np.array(1), "mask"],
)
def test_attention_mask_of_wrong_shape(mask):
    with pytest.raises(ValueError, match=rf"^attention_mask must have shape \(batch_size, T\) = \({N}, T\), not "):
        cquorlin.to_numpy({"x": values()}, N, mask)


@pytest.mark.parametrize(
    "batch_size, error, message",
    [
        (-1, ValueError, "batch_size must be at least 0, not -1"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (2**70, OverflowError, None),
    ],
)
def test_batch_size_errors(batch_size, error, message):
    with pytest.raises(error) as excinfo:
        cquorlin.to_numpy({"x": values()}, batch_size)
    if message:
        assert str(excinfo.value) == message


@pytest.mark.parametrize("outputs", [[("x", 1)], None, torch.zeros(N, 2)])
def test_outputs_not_a_mapping(outputs):
    with pytest.raises(TypeError, match="outputs must be a mapping of names to tensors or arrays, not "):
        cquorlin.to_numpy(outputs, N)


def test_batch_size_through_index():
    assert list(cquorlin.to_numpy({"x": values()}, np.int64(N))) == ["x"]


def test_calling_form():
    assert list(cquorlin.to_numpy(outputs={"x": values()}, batch_size=N, attention_mask=None)) == ["x"]
    with pytest.raises(TypeError, match=r"^to_numpy\(\) got an unexpected keyword argument 'mask'$"):
        cquorlin.to_numpy({"x": values()}, N, mask=None)
    with pytest.raises(TypeError):
        cquorlin.to_numpy({"x": values()})


class TokenNet(nn.Module):
    """Per-token features: a token's output depends on that token alone, whatever the padding."""

    def __init__(self):
        super().__init__()
        self.embed = nn.Embedding(20, 8, padding_idx=0)
        self.fc = nn.Linear(8, 6)
        with torch.no_grad():
            self.embed.weight[0] = 100.0  # the padding token would win every maximum it took part in

    def forward(self, ids):
        return self.fc(self.embed(ids))


def record_sentences(path, sentences, length, use_mask):
    """Records the sentences padded with token 0 to `length` through the documented path."""
    ids = torch.zeros(len(sentences), length, dtype=torch.long)
    for row, sentence in enumerate(sentences):
        ids[row, : len(sentence)] = torch.tensor(sentence)
    torch.manual_seed(0)
    with torch.no_grad():
        out = cquorlin.get_embedding_model(TokenNet())(ids)
    acts = cquorlin.to_numpy(out, len(sentences), (ids != 0) if use_mask else None)
    with DB(path, "w", preprocessor="text") as db:
        db.add(acts, 0)
    return entries(path)


def test_masked_text_reduction_independent_of_padding(tmp_path):
    sentences = [[3, 5, 7], [11, 2], [4, 4, 9, 13, 1], [6]]
    masked = [record_sentences(str(tmp_path / f"masked{n}.h5"), sentences, n, True) for n in (5, 9)]
    assert masked[0] == masked[1]
    unmasked = [record_sentences(str(tmp_path / f"plain{n}.h5"), sentences, n, False) for n in (5, 9)]
    assert unmasked[0] != unmasked[1] and unmasked[0] != masked[0]


def test_no_memory_growth():
    mask = torch.tensor(padding_mask())
    outputs = {"a": torch.ones(N, T, 4), "b": values(), "ids": torch.zeros(N, 2, dtype=torch.long), "c": None}

    def round_trip():
        cquorlin.to_numpy(outputs, N, mask)
        with pytest.raises(ValueError):
            cquorlin.to_numpy(outputs, N, mask[:1])

    assert min(memory_growth(round_trip, 200)) < 4_000


def test_references_kept_balanced():
    value, mask = values(), padding_mask()
    outputs = {"x": value, "y": value[:, 0]}
    before = sys.getrefcount(value), sys.getrefcount(mask), sys.getrefcount(outputs)
    acts = cquorlin.to_numpy(outputs, N, mask)
    del acts
    assert (sys.getrefcount(value), sys.getrefcount(mask), sys.getrefcount(outputs)) == before


# The store's side of the same road.


def test_layer_of_exact_zeros_keeps_scores_finite(store_path):
    """A dead layer (a zero-initialised head, dead ReLUs) scores its exact matches 1, not 0/0 = NaN."""
    n = 8
    acts = {"dead": np.zeros((n, 4), np.float32), "fc": np.eye(n, dtype=np.float32) * np.arange(1, n + 1)[:, None]}
    with DB(store_path, "w") as db:
        db.add(acts, 0)
        raw = db.search(acts, k=3, _postprocess=False)
        results = db.search(acts, k=3)
    assert all(scores.tolist() == [1.0] * len(scores) for _, scores in raw["dead"])
    for i, result in enumerate(results):
        assert not any(np.isnan(s) for s in result.values())
        assert max(result, key=result.get) == i and result[i] >= 4.0


class UnevenTable(Table):
    """A table whose answers hold one index more than scores."""

    def search(self, val, k):
        idxs, scores = super().search(val, k)
        return np.append(idxs, idxs[:1]), scores


class UnevenDB(DB):
    def _tomemory(self, k):
        table = UnevenTable.frombytes(self.file[k][()])
        self.cache[k] = table
        return table


def test_merge_assertion_carries_the_pair(store_path):
    with DB(store_path, "w") as db:
        db.add({"fc": np.eye(2, dtype=np.float32)}, 0)
    with UnevenDB(store_path, "r") as db, pytest.raises(AssertionError) as excinfo:
        db.search({"fc": np.eye(2, dtype=np.float32)})
    (pair,) = excinfo.value.args
    indices, scores = pair
    assert indices == [0, 0] and type(indices) is list
    assert isinstance(scores, np.ndarray) and scores.tolist() == [1.0]


@pytest.mark.parametrize(
    "value, type_name",
    [(torch.zeros(2, 3), "Tensor"), (nn.Parameter(torch.zeros(2, 3)), "Parameter"), ([[1.0]], "list")],
    ids=["Tensor", "Parameter", "list"],
)
@pytest.mark.parametrize("method", ["add", "search"])
def test_tensor_given_to_store_names_to_numpy(store_path, value, type_name, method):
    with DB(store_path, "w") as db:
        call = db.add if method == "add" else db.search
        with pytest.raises(TypeError) as excinfo:
            call({"fc": value}, 0) if method == "add" else call({"fc": value})
    assert str(excinfo.value) == f"Cannot convert {type_name} to numpy.ndarray"
    notes = getattr(excinfo.value, "__notes__", [])
    if type_name == "list":
        assert notes == []
    else:
        assert len(notes) == 1 and "cquorlin.to_numpy(" in notes[0]


def test_mask_never_writes_into_a_subclass_or_memmap(tmp_path):
    data = np.memmap(tmp_path / "acts.bin", dtype=np.float32, mode="w+", shape=(N, 3, 2))
    data[:] = 1.0
    mask = np.ones((N, 3), np.int64)
    mask[:, 2] = 0
    out = cquorlin.to_numpy({"m": data}, N, attention_mask=mask)
    assert np.isneginf(out["m"][:, 2]).all() and (np.asarray(data) == 1.0).all()
