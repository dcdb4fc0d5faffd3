import struct
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from cquorlin import Table


def filled(pairs):
    t = Table()
    for idx, val in pairs:
        t.add(idx, val)
    t._flush()
    return t


def reference_search(idxs, vals, q, k):
    """Brute force: the k stored pairs nearest to q, scored relative to the stored value."""
    q = np.float32(q)
    d = np.abs(vals - q)
    order = np.argsort(d, kind="stable")[: max(0, min(len(vals), k))]
    with np.errstate(all="ignore"):
        scores = np.maximum(np.float32(0), np.float32(1) - d[order] / (np.float32(2) * np.abs(vals[order])))
    scores[d[order] == 0] = 1  # an exact match, a stored zero included
    return d[order], idxs[order], scores


def test_new_table():
    t = Table()
    assert t.idxs.dtype == np.uint16 and t.idxs.shape == (0,)
    assert t.vals.dtype == np.float32 and t.vals.shape == (0,)
    assert t._idxs_buffer == [] and t._vals_buffer == [] and t._flushed is True
    assert t._search_fn == t._search_uint16
    assert t.nbytes == 5


def test_add_and_flush():
    t = Table()
    for idx, val in [(3, 0.5), (1, -2.0), (2, 0.25)]:
        t.add(idx, val)
    assert t._flushed is False and t.nbytes == 23
    buffers = t._idxs_buffer, t._vals_buffer
    t._flush()
    assert t.vals.tolist() == [-2.0, 0.25, 0.5] and t.idxs.tolist() == [1, 2, 3]
    assert t.idxs.dtype == np.uint16 and t.vals.dtype == np.float32
    assert t._flushed is True and t.nbytes == 23
    assert (t._idxs_buffer, t._vals_buffer) == ([], []) and t._idxs_buffer is buffers[0]


def test_clean_flush_keeps_columns():
    t = filled([(1, 1.0)])
    idxs, vals = t.idxs, t.vals
    t._flushed = False
    t._flush()
    assert t.idxs is idxs and t.vals is vals and t._flushed is True


@pytest.mark.parametrize(
    "indices, dtype, fn",
    [([65535], np.uint16, "_search_uint16"), ([65536], np.uint32, "_search_uint32"),
     ([4294967296], np.uint64, "_search_uint64"), ([3, 70000, 5], np.uint32, "_search_uint32")],
)
def test_index_widening(indices, dtype, fn):
    t = filled([(i, float(j)) for j, i in enumerate(indices)])
    assert t.idxs.dtype == dtype and t._search_fn == getattr(t, fn)
    assert sorted(t.idxs.tolist()) == sorted(indices)
    t.add(1, 0.0)
    t._flush()
    assert t.idxs.dtype == dtype  # never narrows again


def test_nbytes_counts_buffer_at_current_width():
    t = Table()
    for idx in (1, 70000, 2):
        t.add(idx, 1.0)
    assert t.nbytes == 23
    t._flush()
    assert t.nbytes == 29


def test_value_rounded_to_float32():
    assert filled([(0, 0.1)]).vals[0] == np.float32(0.1)


@pytest.mark.parametrize(
    "bad, error",
    [(-1, ValueError), (2**64, IndexError), (1.5, TypeError), ("3", TypeError), (None, TypeError)],
)
def test_bad_index_leaves_table_unchanged(bad, error):
    t = filled([(1, 1.0)])
    idxs, vals = t.idxs, t.vals
    t.add(2, 2.0)
    t.add(bad, 3.0)  # add does not look at the index
    with pytest.raises(error):
        t._flush()
    assert t._idxs_buffer == [2, bad] and t._vals_buffer == [2.0, 3.0]
    assert t._flushed is False and t.idxs is idxs and t.vals is vals


def test_numpy_integer_indices():
    t = filled([(np.uint64(2**64 - 1), 1.0), (np.int32(7), 0.0)])
    assert t.idxs.dtype == np.uint64 and t.idxs.tolist() == [7, 2**64 - 1]


def test_add_converts_value():
    t = Table()
    with pytest.raises(TypeError):
        t.add(1, "x")
    assert t._idxs_buffer == [] and t._flushed is True
    t.add(1, 3)
    assert type(t._vals_buffer[0]) is float


@pytest.mark.parametrize("old_sorted", [True, False])
def test_flush_sorts_with_nan_last(old_sorted):
    rng = np.random.default_rng(1)
    old_vals = rng.normal(size=200).astype(np.float32)
    old_vals[::17] = np.nan
    if old_sorted:
        old_vals = np.sort(old_vals)
    old_idxs = np.arange(200, dtype=np.uint16)
    t = Table(old_idxs, old_vals)
    new_vals = rng.normal(size=300)
    new_vals[::7] = np.nan
    new_vals[1] = -np.nan  # a NaN with its sign bit set sorts last as well
    for j, v in enumerate(new_vals):
        t.add(1000 + j, float(v))
    t._flush()
    n_nan = int(np.isnan(t.vals).sum())
    assert n_nan == int(np.isnan(old_vals).sum() + np.isnan(new_vals).sum())
    assert np.all(np.diff(t.vals[: len(t.vals) - n_nan]) >= 0) and np.isnan(t.vals[-n_nan:]).all()
    pairs = sorted(zip(t.idxs.tolist(), t.vals.tolist()), key=lambda p: p[0])
    expected = list(zip(range(200), old_vals.tolist())) + list(zip(range(1000, 1300), new_vals.astype(np.float32).tolist()))
    np.testing.assert_array_equal(np.array(pairs), np.array(expected))


@pytest.mark.parametrize("flaw", ["swap", "nan"])
@pytest.mark.parametrize("at", [1, 2, 63, 64, 65, 128, 200, 299])
def test_flush_finds_one_pair_out_of_order(flaw, at):
    # Old columns in value order but for one pair: a merge that trusted them would leave it there.
    vals = np.sort(np.random.default_rng(at).normal(size=300)).astype(np.float32)
    if flaw == "swap":
        vals[at - 1], vals[at] = vals[at], vals[at - 1]
    else:
        vals[at - 1] = np.nan  # a NaN before a number
    t = Table(np.arange(300, dtype=np.uint32), vals)
    t.add(1000, 0.0)
    t._flush()
    n_nan = int(np.isnan(t.vals).sum())
    assert np.all(np.diff(t.vals[: len(t.vals) - n_nan]) >= 0) and np.isnan(t.vals[len(t.vals) - n_nan :]).all()
    assert sorted(t.idxs.tolist()) == list(range(300)) + [1000]


def test_search_examples():
    t = Table(np.array([10, 20, 40], np.uint16), np.array([1.0, 2.0, 4.0], np.float32))
    idxs, scores = t.search(2.25, 2)
    assert idxs.dtype == np.uint16 and scores.dtype == np.float32
    assert dict(zip(idxs.tolist(), scores.tolist())) == {20: 0.9375, 10: 0.375}
    idxs, scores = t.search(2.25, 5)
    assert dict(zip(idxs.tolist(), scores.tolist())) == {20: 0.9375, 10: 0.375, 40: 0.78125}
    assert t.search(4.0, 1)[1].tolist() == [1.0]
    assert t.search(13.0, 1)[1].tolist() == [0.0]
    for k in (0, -3):
        idxs, scores = t.search(2.0, k)
        assert idxs.shape == scores.shape == (0,) and idxs.dtype == np.uint16


@pytest.mark.parametrize("method", ["search", "_search_uint16"])
def test_exact_match_scores_one_also_for_zero(method):
    t = Table(np.array([1, 2, 3], np.uint16), np.array([-0.0, 0.0, 2.0], np.float32))
    search = getattr(t, method)
    assert dict(zip(*(a.tolist() for a in search(1.0, 3))))[1] == 0.0
    assert sorted(search(0.0, 2)[1].tolist()) == [1.0, 1.0]  # 0/0 would be NaN
    nan = Table(np.array([1], np.uint16), np.array([np.nan], np.float32))
    assert np.isnan(nan.search(0.0, 1)[1][0]) and np.isnan(t.search(np.nan, 1)[1][0])


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.floats(-1e6, 1e6, width=32), max_size=60),
    st.floats(-1e6, 1e6, width=32),
    st.integers(-2, 70),
)
def test_search_matches_brute_force(values, q, k):
    vals = np.sort(np.array(values, np.float32))
    idxs = np.arange(len(vals), dtype=np.uint32)
    t = Table(idxs, vals)
    got_idx, got_scores = t.search(q, k)
    want_d, _, _ = reference_search(idxs, vals, q, k)
    assert got_idx.dtype == np.uint32 and len(got_idx) == len(want_d)
    got_d = np.abs(vals[got_idx] - np.float32(q))
    np.testing.assert_array_equal(np.sort(got_d), np.sort(want_d))
    for i, s in zip(got_idx, got_scores):
        _, _, expected = reference_search(np.array([i]), vals[i : i + 1], q, 1)
        np.testing.assert_array_equal(s, expected[0])


def test_search_flushes_and_dispatches():
    t = filled([(1, 1.0)])
    t.add(70000, 1.5)
    assert t._search_uint16(1.5, 5)[0].tolist() == [1]  # searches the merged columns only
    idxs, _ = t.search(1.5, 5)
    assert idxs.dtype == np.uint32 and sorted(idxs.tolist()) == [1, 70000] and t._flushed
    with pytest.raises(ValueError):
        t._search_uint16(1.0, 1)


def test_search_strided_columns_without_copy():
    base_i = np.arange(20, dtype=np.uint16)
    base_v = np.arange(20, dtype=np.float32)
    t = Table(base_i[::2], base_v[::2])
    assert t.search(6.2, 1)[0].tolist() == [6]
    t = Table(base_i[::-1].copy(), base_v[::-1][::-1])
    assert t.search(0.0, 1)[0].tolist() == [19]


@pytest.mark.parametrize(
    "k, error, message",
    [("3", TypeError, "an integer is required"), (2**31, OverflowError, "value too large to convert to int"),
     (-(2**31) - 1, OverflowError, "value too large to convert to int")],
)
def test_search_k_conversion(k, error, message):
    t = filled([(1, 1.0)])
    with pytest.raises(error, match=message):
        t.search(1.0, k)
    assert t.search(1.0, 2.9)[0].tolist() == [1]
    assert t.search(1.0, np.int64(1))[0].tolist() == [1]


@pytest.mark.parametrize(
    "idxs, vals, error",
    [
        ([1], np.zeros(1, np.float32), TypeError),
        (np.zeros((1, 1), np.uint16), np.zeros(1, np.float32), ValueError),
        (np.zeros(1, np.uint16), np.zeros(1, np.float64), ValueError),
        (np.zeros(1, np.uint16), np.zeros(1, ">f4"), ValueError),
        (np.zeros(3, np.uint16), np.zeros(1, np.float32), IndexError),
        (np.zeros(1, np.uint16), np.zeros(3, np.float32), IndexError),
    ],
)
def test_search_column_checks(idxs, vals, error):
    t = Table()
    t.idxs, t.vals = idxs, vals
    with pytest.raises(error):
        t._search_uint16(1.0, 2)


def test_column_check_messages():
    t = Table()
    t.idxs = [1]
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        t._search_uint16(1.0, 1)
    t.idxs = np.zeros((2, 2), np.uint16)
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
        t._search_uint16(1.0, 1)


def test_constructor_errors():
    with pytest.raises(AttributeError):
        Table([1, 2])
    with pytest.raises(AttributeError, match="_search_int64"):
        Table(np.zeros(1, np.int64))


def test_worked_example_bytes():
    t = Table(np.array([3, 7], np.uint16), np.array([0.5, -1.25], np.float32))
    b = t.tobytes()
    assert b == bytes.fromhex("00 04000000 0300 0700 003f a0bf")
    back = Table.frombytes(bytearray(b))
    assert back.idxs.dtype == np.uint16 and back.idxs.tolist() == [3, 7] and back.vals.tolist() == [0.5, -1.25]
    assert back._flushed is True and back._search_fn == back._search_uint16
    wide = Table(np.array([3, 7], np.uint32), np.array([0.5, -1.25], np.float32)).tobytes()
    assert wide[:13] == bytes.fromhex("01 08000000 03000000 07000000")


@pytest.mark.parametrize(
    "value, back",
    [(0.1, 0.099609375), (-0.1, -0.099609375), (3.14159, 3.140625), (-0.0, -0.0), (np.inf, np.inf), (-np.inf, -np.inf)],
)
def test_value_truncation(value, back):
    t = Table(np.zeros(1, np.uint16), np.array([value], np.float32))
    got = Table.frombytes(bytearray(t.tobytes())).vals[0]
    assert got == back and np.signbit(got) == np.signbit(back)


@pytest.mark.parametrize("pattern, back", [(0x7FC00000, 0x7FC00000), (0x7F800001, 0x7F800000), (0x00000001, 0)])
def test_special_patterns(pattern, back):
    vals = np.array([pattern], np.uint32).view(np.float32)
    t = Table(np.zeros(1, np.uint16), vals)
    assert Table.frombytes(bytearray(t.tobytes())).vals.view(np.uint32)[0] == back


def test_empty_and_round_trip():
    assert Table().tobytes() == bytes(5)
    for raw in (bytearray(5), bytearray()):
        t = Table.frombytes(raw)
        assert t.idxs.dtype == np.uint16 and len(t.idxs) == 0 and t.vals.dtype == np.float32
    rng = np.random.default_rng(0)
    t = filled([(int(i), float(v)) for i, v in zip(rng.integers(0, 2**40, 100), rng.normal(size=100))])
    once = t.tobytes()
    assert Table.frombytes(np.frombuffer(once, np.uint8).copy()).tobytes() == once


def test_tobytes_flushes():
    t = Table()
    t.add(70000, 1.0)
    b = t.tobytes()
    assert t._flushed is True and b[0] == 1 and len(b) == 5 + 6


@pytest.mark.parametrize(
    "raw, error",
    [(bytes(5), BufferError), (np.frombuffer(bytes(5), np.uint8), ValueError), (5, TypeError),
     (np.zeros((2, 3), np.uint8), ValueError), (bytearray([3, 0, 0, 0, 0]), IndexError),
     (bytearray([0, 3, 0, 0, 0, 1, 2, 3]), ValueError), (bytearray([0, 0, 0, 0, 0, 1]), ValueError),
     (np.zeros(3, np.uint16), ValueError)],
)
def test_frombytes_errors(raw, error):
    with pytest.raises(error):
        Table.frombytes(raw)


def test_frombytes_dimension_message():
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
        Table.frombytes(np.zeros((2, 3), np.uint8))


def test_header_longer_than_buffer():
    t = Table.frombytes(bytearray([0, 100, 0, 0, 0, 1, 0, 2, 0]))
    assert t.idxs.tolist() == [1, 2] and len(t.vals) == 0


@settings(max_examples=500, deadline=None)
@given(st.binary(max_size=64))
def test_frombytes_fuzz(raw):
    """Any bytes either decode into columns the header and length describe, or raise cleanly."""
    try:
        t = Table.frombytes(bytearray(raw))
    except (IndexError, ValueError):
        return
    code = raw[0] if raw else 0
    width = 2 << code
    length = int.from_bytes(raw[1:5], "little")
    assert t.idxs.nbytes == len(raw[5 : 5 + length]) and t.idxs.itemsize == width
    assert t.vals.nbytes == 2 * len(raw[5 + length :])


def test_reference_counts_stable():
    t = filled([(i, float(i)) for i in range(100)])
    val = 12.5
    before = sys.getrefcount(val), sys.getrefcount(t)
    for _ in range(1000):
        t.search(val, 5)
        t.add(3, val)
    t._flush()
    assert t._vals_buffer == []
    assert (sys.getrefcount(val), sys.getrefcount(t)) == before
    raw = bytearray(t.tobytes())
    before = sys.getrefcount(raw)
    for _ in range(100):
        Table.frombytes(raw)
    assert sys.getrefcount(raw) == before
