"""Table timings against the same algorithms written with NumPy calls in Python.

Measured in one run, on one machine:
1. Table.search with k = 10 on tables of 10^3 to 10^6 pairs.
   Target: at least 20 times faster than the NumPy version; cost flat in n apart from the binary search.
2. Table._flush of 10^6 buffered pairs into a table of 10^6 pairs. Target: at most 0.5 times the NumPy
   version (argsort-based), and peak extra memory at most 2 times the final columns. Memory is shown
   two ways: tracemalloc (sees NumPy's allocations, but not the C++ std::vector scratch of cquorlin) and
   the RSS high-water delta (VmHWM) of a fresh subprocess per measurement, which sees everything.
3. Table._flush of 10^3 buffered pairs into tables of 10^6 and of 10^5 pairs. Target: at most 0.1 times the
   NumPy time.
4. tobytes / frombytes on 10^3 to 10^6 pairs. Target: at least 2 times faster than NumPy for small
   tables; for 10^6 pairs at most 2 times the time of bytes(memoryview(x)) of a warm buffer as long as
   the output.
5. Table.add against the same method written in Python. Target: at most 0.8 times its time.

Times are the minimum over repeats of timeit runs (each repeat about 50 ms, 10 ms with --quick), the
repeats of the two sides interleaved so that a slow spell of a shared machine hits both alike.

Run: PYTHONPATH=<build dir> python bench/bench_table.py [--quick]
"""

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import timeit
import tracemalloc

import numpy as np

import cquorlin
from cquorlin import Table

_IDX_DTYPES = ["uint16", "uint32", "uint64"]
_IDX_DTYPES_MAP = {name: code for code, name in enumerate(_IDX_DTYPES)}
_IDX_DTYPE_MAXES = np.array([np.iinfo(name).max for name in _IDX_DTYPES], dtype=np.uint64)


def np_get_dtype(val):
    return _IDX_DTYPES[np.searchsorted(_IDX_DTYPE_MAXES, val)]


def np_search(idxs, vals, val, k):
    """Nearest stored values by binary search, a window of 2k candidates and a partial selection."""
    n = len(idxs)
    q = np.float32(val)
    m = max(0, min(n, k))
    i = int(np.searchsorted(vals, q))
    start = max(0, i - m)
    window = vals[start:i + m]
    dists = np.abs(np.subtract(window, q))
    part = np.argpartition(dists, min(len(dists) - 1, m), axis=-1)
    chosen = np.take(part, np.arange(m), axis=-1)
    chosen_dists = dists[chosen]
    pos = chosen + start
    stored = vals[pos]
    scores = np.maximum(np.float32(0.0), np.float32(1.0) - chosen_dists / (np.float32(2.0) * np.abs(stored)))
    return idxs[pos], scores


def _check_columns(table, dtype):
    # The same buffer checks the compiled methods make, so both sides pay for validation.
    idxs, vals = table.idxs, table.vals
    if not isinstance(idxs, np.ndarray) or not isinstance(vals, np.ndarray):
        raise TypeError("columns must be numpy arrays")
    if idxs.ndim != 1 or vals.ndim != 1:
        raise ValueError("Buffer has wrong number of dimensions")
    if idxs.dtype != dtype or vals.dtype != np.float32:
        raise ValueError("Buffer dtype mismatch")
    return idxs, vals


class NpTable:
    """The table written in Python with NumPy: the baseline of every ratio below."""

    def __init__(self, idxs=None, vals=None):
        self.idxs = idxs if idxs is not None else np.zeros(0, dtype=np.uint16)
        self.vals = vals if vals is not None else np.zeros(0, dtype=np.float32)
        self._search_fn = getattr(self, "_search_" + format(self.idxs.dtype, ""))
        self._idxs_buffer = []
        self._vals_buffer = []
        self._flushed = True

    def add(self, idx, val):
        self._idxs_buffer.append(idx)
        self._vals_buffer.append(float(val))
        self._flushed = False

    def _flush(self):
        if not self._idxs_buffer:
            self._flushed = True
            return
        idx_mx = max(self._idxs_buffer)
        idx_dtype = self.idxs.dtype
        if idx_mx > np.iinfo(idx_dtype).max:
            idx_dtype = np.dtype(np_get_dtype(idx_mx))
            self._search_fn = getattr(self, "_search_" + idx_dtype.name)
        n_old = len(self.idxs)
        new_idxs = np.zeros(n_old + len(self._idxs_buffer), dtype=idx_dtype)
        new_vals = np.zeros(len(self.vals) + len(self._vals_buffer), dtype=self.vals.dtype)
        new_idxs[:n_old] = self.idxs
        new_idxs[n_old:] = self._idxs_buffer
        new_vals[:n_old] = self.vals
        new_vals[n_old:] = self._vals_buffer
        self._idxs_buffer.clear()
        self._vals_buffer.clear()
        order = np.argsort(new_vals)
        self.vals = new_vals[order]
        self.idxs = new_idxs[order]
        self._flushed = True

    def search(self, val, k):
        val = float(val)
        if not self._flushed:
            self._flush()
        return self._search_fn(val, int(k))

    def _search_uint16(self, val, k):
        return np_search(*_check_columns(self, np.uint16), float(val), int(k))

    def _search_uint32(self, val, k):
        return np_search(*_check_columns(self, np.uint32), float(val), int(k))

    def _search_uint64(self, val, k):
        return np_search(*_check_columns(self, np.uint64), float(val), int(k))

    def tobytes(self):
        if not self._flushed:
            self._flush()
        idxs, vals = self.idxs, self.vals
        if vals.dtype != np.float32 or vals.ndim != 1:
            raise ValueError("value column must be one-dimensional float32")
        index_section = idxs.tobytes()
        value_section = vals.view(np.uint8).reshape(-1, 4)[:, 2:].tobytes()
        header = bytes([_IDX_DTYPES_MAP[idxs.dtype.name]]) + len(index_section).to_bytes(4, "little")
        return b"".join((header, index_section, value_section))

    @classmethod
    def frombytes(cls, byts):
        view = memoryview(byts)  # the same buffer checks as the compiled reader: writable, one-dimensional
        if view.readonly:
            raise BufferError("Object is not writable.")
        if view.ndim != 1:
            raise ValueError("Buffer has wrong number of dimensions")
        arr = np.frombuffer(byts, dtype=np.uint8)
        code = int.from_bytes(arr[0:1].tobytes(), "little")
        length = int.from_bytes(arr[1:5].tobytes(), "little")
        idxs = np.frombuffer(arr[5:5 + length], dtype=_IDX_DTYPES[code])
        section = arr[5 + length:]
        out = np.zeros((len(section) // 2, 4), dtype=np.uint8)
        out[:, 2:] = section.reshape(-1, 2)
        return cls(idxs, out.view(np.float32).reshape(-1))


# ---------------------------------------------------------------------------------------------
# helpers


def paired(stmts, number=None, repeats=5, min_time=0.05, globals_=None, setup="pass"):
    """Minimum seconds per execution of each statement, their repeats interleaved (A B A B ...), so
    that a slow spell of a shared machine hits every statement alike instead of one of them."""
    timers = [timeit.Timer(s, setup=setup, globals=globals_) for s in stmts]
    numbers = [number or calibrated(t, min_time) for t in timers]  # each repeat about min_time long
    best = [float("inf")] * len(timers)
    for _ in range(repeats):
        for j, t in enumerate(timers):
            best[j] = min(best[j], t.timeit(numbers[j]) / numbers[j])
    return best


def calibrated(timer, min_time):
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= min_time / 5:
            return max(1, round(number * min_time / t))
        number *= 5


def sorted_columns(n, rng, idx_dtype=None):
    vals = np.sort(rng.standard_normal(n).astype(np.float32))
    if idx_dtype is None:
        idx_dtype = np.uint16 if n <= 65536 else np.uint32
    idxs = rng.permutation(n).astype(idx_dtype)
    return idxs, vals


def check(ok, what):
    """Both sides must compute the same thing for a ratio to mean anything; say so, don't stop."""
    if not ok:
        print(f"   WARNING: {what}; the figures below compare different work")


def fmt_time(s):
    if s < 1e-6:
        return f"{s * 1e9:7.1f} ns"
    if s < 1e-3:
        return f"{s * 1e6:7.2f} us"
    return f"{s * 1e3:7.2f} ms"


SIZES = {3: "10^3", 4: "10^4", 5: "10^5", 6: "10^6"}


# ---------------------------------------------------------------------------------------------
# 1. search


def bench_search(rows, repeats, min_time):
    print("1. search, k = 10 (1000 distinct queries per timed run; per call)")
    rng = np.random.default_rng(1)
    queries = rng.standard_normal(1000).tolist()
    for e, label in SIZES.items():
        idxs, vals = sorted_columns(10**e, rng)
        cq, ref = Table(idxs, vals), NpTable(idxs, vals)
        r_cq, r_np = cq.search(queries[0], 10), ref.search(queries[0], 10)
        check(sorted(r_cq[0].tolist()) == sorted(r_np[0].tolist()), f"search answers differ at n = {label}")

        def run(table):
            search = table.search
            for q in queries:
                search(q, 10)

        t_cq, t_np = (t / len(queries) for t in paired(["run(cq)", "run(ref)"], globals_={"run": run, "cq": cq, "ref": ref},
                                                        repeats=repeats, min_time=min_time))
        print(f"   n = {label}: cquorlin {fmt_time(t_cq)}, NumPy {fmt_time(t_np)}, speedup {t_np / t_cq:6.1f}x  [target >= 20x]")
        rows.append((f"search k=10 n={label}: cquorlin", t_cq * 1e9, "ns", ""))
        rows.append((f"search k=10 n={label}: NumPy", t_np * 1e9, "ns", ""))
        rows.append((f"search k=10 n={label}: speedup", t_np / t_cq, "x", ">= 20"))


# ---------------------------------------------------------------------------------------------
# 2./3. flush


def flush_inputs(n_old, n_new, seed=2):
    """Old columns in flush order with uint32 indices; new entries as Python lists, as add leaves them."""
    rng = np.random.default_rng(seed)
    idxs, vals = sorted_columns(n_old, rng, np.uint32)
    new_idx = list(range(n_old, n_old + n_new))
    new_val = rng.standard_normal(n_new).astype(np.float32).astype(np.float64).tolist()
    return idxs, vals, new_idx, new_val


def loaded(cls, idxs, vals, new_idx, new_val):
    t = cls(idxs, vals)
    t._idxs_buffer = new_idx.copy()
    t._vals_buffer = new_val.copy()
    t._flushed = False
    return t


def time_flush(inputs, repeats):
    """Minimum seconds of one flush for cquorlin and for NumPy, their runs interleaved; the last tables."""
    best = {Table: float("inf"), NpTable: float("inf")}
    last = {}
    for _ in range(repeats):
        for cls in best:
            t = loaded(cls, *inputs)
            gc.collect()  # tables are cycles (via _search_fn): free the last ones outside the clock
            start = timeit.default_timer()
            t._flush()
            best[cls] = min(best[cls], timeit.default_timer() - start)
            last[cls] = t
            del t
    return best[Table], best[NpTable], last[Table], last[NpTable]


def traced_peak(cls, inputs):
    """Peak bytes allocated during the flush, as tracemalloc sees them."""
    t = loaded(cls, *inputs)
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    t._flush()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field + " not found")


def rss_child(impl, n_old, n_new):
    """Runs in a fresh process: the RSS high-water delta of one flush, printed as JSON."""
    cls = Table if impl == "cquorlin" else NpTable
    # `inputs` keeps the entry objects alive, so that the flush emptying its buffers frees no ints or
    # floats: their release would hide the flush's own allocations from the high-water mark.
    inputs = flush_inputs(n_old, n_new)
    t = loaded(cls, *inputs)
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # freed setup memory must not be counted as headroom
    except OSError:
        pass
    before = _status_kib("VmRSS")
    reset = True
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current RSS
    except OSError:
        reset = False
    if not reset and _status_kib("VmHWM") > before:
        print(json.dumps({"error": "VmHWM cannot be reset here"}))
        return
    t._flush()
    peak = _status_kib("VmHWM")
    print(json.dumps({"extra": peak - before, "final": t.idxs.nbytes + t.vals.nbytes}))


def rss_extra(impl, n_old, n_new):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--rss-child", impl, str(n_old), str(n_new)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def bench_flush(rows, repeats, quick):
    n = 10**6
    print("2. _flush of 10^6 buffered pairs into a table of 10^6 pairs (uint32 indices)")
    inputs = flush_inputs(n, n)
    t_cq, t_np, cq, ref = time_flush(inputs, 3 if quick else max(3, repeats))
    check(np.array_equal(cq.vals, ref.vals) and np.array_equal(np.sort(cq.idxs), np.sort(ref.idxs)),
          "flush results differ")
    final = cq.idxs.nbytes + cq.vals.nbytes
    print(f"   time: cquorlin {fmt_time(t_cq)}, NumPy {fmt_time(t_np)}, ratio {t_cq / t_np:.3f}  [target <= 0.5]")
    rows.append(("flush 10^6 into 10^6: cquorlin", t_cq * 1e3, "ms", ""))
    rows.append(("flush 10^6 into 10^6: NumPy", t_np * 1e3, "ms", ""))
    rows.append(("flush 10^6 into 10^6: time ratio", t_cq / t_np, "x", "<= 0.5"))
    mib = 1 / 2**20
    tm_cq, tm_np = traced_peak(Table, inputs), traced_peak(NpTable, inputs)
    print(f"   final columns {final * mib:.1f} MiB")
    print(f"   tracemalloc peak during flush: cquorlin {tm_cq * mib:.1f} MiB ({tm_cq / final:.2f}x final; "
          f"its C++ scratch is invisible here), NumPy {tm_np * mib:.1f} MiB ({tm_np / final:.2f}x final)")
    rows.append(("flush 10^6 into 10^6: tracemalloc peak / final, cquorlin (no C++ scratch)", tm_cq / final, "x", ""))
    rows.append(("flush 10^6 into 10^6: tracemalloc peak / final, NumPy", tm_np / final, "x", ""))
    for impl in ("cquorlin", "numpy"):
        res = rss_extra(impl, n, n)
        if "error" in res:
            print(f"   RSS high-water delta, {impl}: not measurable ({res['error']})")
            continue
        ratio = res["extra"] / res["final"]
        target = "<= 2" if impl == "cquorlin" else ""
        print(f"   RSS high-water delta (fresh process), {impl}: {res['extra'] * mib:.1f} MiB = {ratio:.2f}x final columns"
              + ("  [target <= 2x, new columns included]" if target else ""))
        rows.append((f"flush 10^6 into 10^6: RSS peak extra / final, {impl}", ratio, "x", target))

    del cq, ref
    for size, label in ((n, "10^6"), (n // 10, "10^5")):
        print(f"3. _flush of 10^3 buffered pairs into a table of {label} pairs")
        inputs = flush_inputs(size, 1000)
        t_cq, t_np, _, _ = time_flush(inputs, 8 if quick else max(20, repeats * 4))
        print(f"   time: cquorlin {fmt_time(t_cq)}, NumPy {fmt_time(t_np)}, ratio {t_cq / t_np:.3f}  [target <= 0.1]")
        rows.append((f"flush 10^3 into {label}: cquorlin", t_cq * 1e3, "ms", ""))
        rows.append((f"flush 10^3 into {label}: NumPy", t_np * 1e3, "ms", ""))
        rows.append((f"flush 10^3 into {label}: time ratio", t_cq / t_np, "x", "<= 0.1"))


# ---------------------------------------------------------------------------------------------
# 4. byte format


def bench_bytes(rows, repeats, min_time):
    print("4. tobytes / frombytes (uint16 indices up to 10^4 pairs, uint32 from 10^5)")
    rng = np.random.default_rng(3)
    for e, label in SIZES.items():
        idxs, vals = sorted_columns(10**e, rng)
        cq, ref = Table(idxs, vals), NpTable(idxs, vals)
        data = cq.tobytes()
        check(data == ref.tobytes(), f"byte strings differ at n = {label}")
        arr = np.frombuffer(bytearray(data), dtype=np.uint8)
        g = {"cq": cq, "ref": ref, "arr": arr, "Table": Table, "NpTable": NpTable}
        to_cq, to_np = paired(["cq.tobytes()", "ref.tobytes()"], globals_=g, repeats=repeats, min_time=min_time)
        # A table's _search_fn is a method bound to the table itself, so a dropped table is a reference
        # cycle: its columns live until the cycle collector runs, and each new call maps fresh pages.
        # "released" clears the result's attributes at once, so the columns' memory is reused.
        from_cq, from_np = paired(["Table.frombytes(arr)", "NpTable.frombytes(arr)"], globals_=g, repeats=repeats,
                                  min_time=min_time)
        rel_cq, rel_np = paired(["Table.frombytes(arr).__dict__.clear()", "NpTable.frombytes(arr).__dict__.clear()"],
                                globals_=g, repeats=repeats, min_time=min_time)
        print(f"   n = {label}: tobytes cquorlin {fmt_time(to_cq)}, NumPy {fmt_time(to_np)} ({to_np / to_cq:5.1f}x); "
              f"frombytes cquorlin {fmt_time(from_cq)}, NumPy {fmt_time(from_np)} ({from_np / from_cq:5.1f}x); "
              f"released: {fmt_time(rel_cq)}, {fmt_time(rel_np)} ({rel_np / rel_cq:5.1f}x)")
        small = e <= 4
        rows.append((f"tobytes n={label}: cquorlin", to_cq * 1e6, "us", ""))
        rows.append((f"tobytes n={label}: speedup vs NumPy", to_np / to_cq, "x", ">= 2" if small else ""))
        rows.append((f"frombytes n={label}: cquorlin", from_cq * 1e6, "us", ""))
        rows.append((f"frombytes n={label}: speedup vs NumPy", from_np / from_cq, "x", ">= 2" if small else ""))
        rows.append((f"frombytes n={label}, released: cquorlin", rel_cq * 1e6, "us", ""))
        rows.append((f"frombytes n={label}, released: speedup vs NumPy", rel_np / rel_cq, "x", ">= 2" if small else ""))
        if e == 6:
            # A warm buffer as long as each output: the bytes object of tobytes, the two columns of frombytes.
            out_to = np.ones(len(data), dtype=np.uint8)
            out_from = np.ones(idxs.nbytes + vals.nbytes, dtype=np.uint8)
            gc_ = {"a": out_to, "b": out_from}
            copy_to, copy_from = paired(["bytes(memoryview(a))", "bytes(memoryview(b))"], globals_=gc_, repeats=repeats,
                                        min_time=min_time)
            print(f"   n = {label}: bytes(memoryview(x)) of the output length: {fmt_time(copy_to)} for tobytes "
                  f"({len(data)} B), {fmt_time(copy_from)} for frombytes ({len(out_from)} B)")
            print(f"   n = {label}: tobytes {to_cq / copy_to:.2f}x that copy, frombytes {from_cq / copy_from:.2f}x, "
                  f"frombytes released {rel_cq / copy_from:.2f}x  [target <= 2x]")
            rows.append((f"tobytes n={label}: time / bytes(memoryview) copy", to_cq / copy_to, "x", "<= 2"))
            rows.append((f"frombytes n={label}: time / bytes(memoryview) copy", from_cq / copy_from, "x", "<= 2"))
            rows.append((f"frombytes n={label}, released: time / copy", rel_cq / copy_from, "x", "<= 2"))


# ---------------------------------------------------------------------------------------------
# 5. add


def bench_add(rows, repeats):
    print("5. add(idx, val) with a Python int and float, on a table reached by attribute lookup")
    # Many short interleaved repeats: on a shared machine the minimum of these is the stable figure.
    setup = "cq = Table(); ref = NpTable(); i = 123456; v = 0.5"
    t_cq, t_py, t_loop = paired(["cq.add(i, v)", "ref.add(i, v)", "pass"], number=20_000, repeats=20 * repeats,
                                globals_={"Table": Table, "NpTable": NpTable}, setup=setup)
    print(f"   cquorlin {fmt_time(t_cq)}, Python method {fmt_time(t_py)} (timeit loop alone {fmt_time(t_loop)}), "
          f"ratio {t_cq / t_py:.2f}  [target <= 0.8]")
    rows.append(("add: cquorlin", t_cq * 1e9, "ns", ""))
    rows.append(("add: Python method", t_py * 1e9, "ns", ""))
    rows.append(("add: time ratio", t_cq / t_py, "x", "<= 0.8"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--rss-child", nargs=3, metavar=("IMPL", "N_OLD", "N_NEW"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rss_child:
        impl, n_old, n_new = args.rss_child
        rss_child(impl, int(n_old), int(n_new))
        return []
    repeats, min_time = (3, 0.01) if args.quick else (5, 0.05)
    print(f"cquorlin {cquorlin.__file__}; NumPy {np.__version__}; Python {sys.version.split()[0]}; "
          f"{os.cpu_count()} CPUs")
    rows = []
    gc.collect()
    gc.freeze()  # keeps the collections between flush runs cheap: torch's objects are not rescanned
    bench_search(rows, repeats, min_time)
    bench_flush(rows, repeats, args.quick)
    bench_bytes(rows, repeats, min_time)
    bench_add(rows, repeats)
    return rows


if __name__ == "__main__":
    main()
