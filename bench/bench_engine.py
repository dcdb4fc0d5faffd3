"""The store engine on a four-layer recording workload: add against its I/O floor, search, file growth.

Workload (seeded): batches of 256 inputs through four layers under the "image" preprocessor, "conv"
(256, 32, 8, 8), "fc1" (256, 512), "fc2" (256, 128) and "head" (256, 10), about 390 tables touched per
batch. Activations are exponential noise plus a fixed per-neuron bias drawn from N(0, 1.5^2), so that a
few neurons win most entries and tables grow unevenly, as in a real network. The script keeps its own
count of every table's entries and largest index, which gives each table's byte length in the store's
format before and after a batch without asking the store (checked against the file's datasets).

1. add: a store grown with batches of 8192 to 10^4 and then to 2x10^5 stored inputs; at each size 20
   batches of 256 are timed (CPU: process_time, and wall), each next to its floor: for the tables that
   batch touches, a pread of each table's current bytes and a pwrite of its new bytes at the same
   offset of a plain file in the same directory (page cache, no sync), timed the same way. The two are
   interleaved batch by batch, alternating which goes first.
   Target: add at most 8 times the floor at 2x10^5; no slower than today at 10^4.
2. search, on the 2x10^5 store reopened and warmed by one untimed pass over the queries: single
   queries (a batch of 1, k=10), each next to one plain h5py read (`f[name][()]` on an open h5py.File
   of a copy of the store) of a typical table (the median size among the tables the queries read),
   interleaved; then batches of 64 queries. Target: a single query at most half the table read;
   batches of queries at least 3 times faster than today.
3. file size: a fresh store, 60 sessions of (open DB, 5 adds of 256, close); the file's size over its
   tables' bytes after sessions 10, 30 and 60. Target: at most 1.5 after session 60.
4. peak resident memory (ru_maxrss): of the whole run, and of each part on its own (the high-water mark
   is reset to the resident size of the moment between parts, through /proc/self/clear_refs, so a
   part's peak includes what earlier parts left resident; where the reset fails the peaks are cumulative).
   Importing cquorlin (and with it torch) takes about 230 MiB of it; growing the store with batches of
   8192 inputs takes more than the timed parts.

Per-batch and per-query times are printed as the median and the 10th-90th percentile range. The
machine is shared and noisy: compare builds in one run, interleaved, with --builds.

Run: PYTHONPATH=<build dir> python bench/bench_engine.py [--quick]
     python bench/bench_engine.py --builds DIR_A DIR_B [--rounds N] [--quick]
        (each round runs the whole benchmark once per build, each in its own subprocess with
        PYTHONPATH=DIR, the order alternating between rounds; prints each figure's median and
        min-max over the rounds per build)
"""

import argparse
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np

BATCH = 256
GROW_BATCH = 8192
QUERY_BATCH = 64
K = 10
ADDS_PER_SESSION = 5
LAYERS = {"conv": (32, 8, 8), "fc1": (512,), "fc2": (128,), "head": (10,)}  # one input's output
INDEX_MAX = [np.iinfo(t).max for t in (np.uint16, np.uint32, np.uint64)]  # by the format's type code
SETTINGS = {
    # sizes at which add is timed, timed batches per size, single queries, query batches,
    # sessions, sessions after which the file size is shown
    "full": dict(sizes=(10_000, 200_000), timed=20, queries=400, query_batches=20, sessions=60, marks=(10, 30, 60)),
    "quick": dict(sizes=(10_000, 50_000), timed=8, queries=100, query_batches=5, sessions=20, marks=(10, 20)),
}


class Workload:
    """Seeded activations: the batch starting at a given input is the same in every run and build."""

    def __init__(self, seed):
        rng = np.random.default_rng(seed)
        self.seed = seed
        self.bias = {k: (1.5 * rng.standard_normal(shape)).astype(np.float32) for k, shape in LAYERS.items()}

    def batch(self, first, size, salt=0):
        rng = np.random.default_rng((self.seed, salt, first, size))
        acts = {}
        for key, shape in LAYERS.items():
            a = rng.standard_exponential((size,) + shape, dtype=np.float32)
            a += self.bias[key]
            acts[key] = a
        return acts


def winners(acts):
    """Per layer, the neuron (so the table) each input records into, as the "image" preprocessor reduces them."""
    return {k: a.reshape(len(a), -1).argmax(axis=1) for k, a in acts.items()}


class Tables:
    """Entry count and largest index of every table, hence its byte length in the store's format."""

    def __init__(self):
        self.count = {k: np.zeros(int(np.prod(s)), np.int64) for k, s in LAYERS.items()}
        self.top = {k: np.full(int(np.prod(s)), -1, np.int64) for k, s in LAYERS.items()}

    @staticmethod
    def nbytes(count, top):
        """1 byte type code, 4 bytes index section length, the indices, 2 bytes per value."""
        width = 2 << int(np.searchsorted(INDEX_MAX, top))
        return 0 if count == 0 else 5 + count * (width + 2)

    def size(self, layer, neuron):
        return self.nbytes(self.count[layer][neuron], self.top[layer][neuron])

    def update(self, acts, first):
        """Records a batch; returns (old bytes, new bytes) of every table it touches."""
        touched = []
        for layer, neurons in winners(acts).items():
            idx = first + np.arange(len(neurons))
            hit = np.unique(neurons)
            old = [self.size(layer, n) for n in hit]
            np.add.at(self.count[layer], neurons, 1)
            np.maximum.at(self.top[layer], neurons, idx)
            touched += [(o, self.size(layer, n)) for o, n in zip(old, hit)]
        return touched

    def payload(self):
        return sum(self.nbytes(c, t) for k in LAYERS for c, t in zip(self.count[k], self.top[k]))


def dataset_bytes(path):
    """Sum of the byte lengths of the datasets in a closed store file."""
    total = 0

    def visit(_, obj):
        nonlocal total
        if isinstance(obj, h5py.Dataset):
            total += obj.nbytes

    with h5py.File(path, "r") as f:
        f.visititems(visit)
    return total


def clocked(fn, *args):
    """(CPU seconds, wall seconds, result) of one call."""
    c, w = time.process_time(), time.perf_counter()
    result = fn(*args)
    return time.process_time() - c, time.perf_counter() - w, result


class Floor:
    """pread of the touched tables' current bytes and pwrite of their new bytes in a plain file."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
        self.buf = memoryview(b"")

    def prepare(self, touched):
        """Lays the tables out one after another at their new sizes, the file written (so cached)."""
        largest = max(new for _, new in touched)
        if largest > len(self.buf):
            self.buf = memoryview(np.random.default_rng(0).integers(0, 256, 2 * largest, dtype=np.uint8).tobytes())
        self.plan, offset = [], 0
        for old, new in touched:
            self.plan.append((offset, old, self.buf[:new]))
            offset += new
        os.ftruncate(self.fd, 0)
        for off, _, data in self.plan:
            os.pwrite(self.fd, data, off)

    def run(self):
        for off, old, data in self.plan:
            if old:
                os.pread(self.fd, old, off)
            os.pwrite(self.fd, data, off)

    def close(self):
        os.close(self.fd)


class Memory:
    """Peak resident memory per part of the run, and of the whole run."""

    def __init__(self):
        self.parts, self.whole = {}, 0.0

    def mark(self, part=None):
        """Records the peak since the last mark (as `part`'s, if given) and starts a new one."""
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        self.whole = max(self.whole, peak)
        if part:
            self.parts[part] = peak
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # resets the high-water mark to the current resident size
        except OSError:
            pass


def spread(values, scale=1e3):
    """Median and 10th-90th percentile of a list of seconds, in ms (or another scale)."""
    v = np.asarray(values) * scale
    return float(np.median(v)), float(np.percentile(v, 10)), float(np.percentile(v, 90))


def fmt(stats, unit="ms"):
    med, lo, hi = stats
    return f"{med:.3g} {unit} ({lo:.3g}-{hi:.3g})"


def measure(settings, tmp, out):
    """Runs the four parts; `out(name, value, unit, target)` collects the summary figures."""
    from cquorlin import DB  # the build first on PYTHONPATH

    work = Workload(seed=7)
    gc.collect()
    gc.freeze()  # keeps the collection before each timed call cheap
    memory = Memory()
    memory.mark("imports")

    # ---- 1. add
    path = os.path.join(tmp, "store.h5")
    tables = Tables()
    floor = Floor(os.path.join(tmp, "floor.bin"))
    stored = 0
    db = DB(path, "w", preprocessor="image")
    print("add (median, 10th-90th percentile per batch of 256):")
    for target_size in settings["sizes"]:
        start = time.perf_counter()
        while stored < target_size:
            acts = work.batch(stored, min(GROW_BATCH, target_size - stored))
            db.add(acts, stored)
            tables.update(acts, stored)
            stored += len(acts["conv"])
        grow = time.perf_counter() - start
        label = f"{target_size:.0e}".replace("e+0", "e")
        memory.mark(f"growing to {label}")
        t = {k: [] for k in ("add_cpu", "add_wall", "floor_cpu", "floor_wall")}
        n_touched = []
        for i in range(settings["timed"]):
            acts = work.batch(stored, BATCH)
            touched = tables.update(acts, stored)
            n_touched.append(len(touched))
            floor.prepare(touched)
            gc.collect()
            for which in ("add", "floor") if i % 2 == 0 else ("floor", "add"):
                if which == "add":
                    cpu, wall, _ = clocked(db.add, acts, stored)
                else:
                    cpu, wall, _ = clocked(floor.run)
                t[which + "_cpu"].append(cpu)
                t[which + "_wall"].append(wall)
            stored += BATCH
        memory.mark(f"timed adds at {label}")
        add, fl = spread(t["add_cpu"]), spread(t["floor_cpu"])
        ratio = spread(np.divide(t["add_cpu"], t["floor_cpu"]), 1)
        print(f"   {target_size:,} stored (grown in {grow:.1f} s), {np.mean(n_touched):.0f} tables touched per batch: "
              f"add CPU {fmt(add)}, wall {fmt(spread(t['add_wall']))}; floor CPU {fmt(fl)}, wall "
              f"{fmt(spread(t['floor_wall']))}; add/floor (CPU, per batch) {fmt(ratio, 'x')}")
        out(f"add at {label}: CPU ms per batch", add[0], "ms", "")
        out(f"add at {label}: wall ms per batch", spread(t["add_wall"])[0], "ms", "")
        out(f"add at {label}: floor CPU ms per batch", fl[0], "ms", "")
        out(f"add at {label}: add/floor (CPU)", ratio[0], "x", "<= 8" if target_size == settings["sizes"][-1] else "")
    floor.close()
    db.close()
    check(dataset_bytes(path) == tables.payload(), "the store's datasets do not hold the tables' expected bytes")

    # ---- 2. search
    copy = os.path.join(tmp, "plain.h5")
    shutil.copyfile(path, copy)
    plain = h5py.File(copy, "r")
    singles = [work.batch(q, 1, salt=1) for q in range(settings["queries"])]
    batches = [work.batch(q, QUERY_BATCH, salt=2) for q in range(settings["query_batches"])]
    read = sorted((tables.size(k, w[0]), f"table_{k}_{w[0]}") for acts in singles for k, w in winners(acts).items())
    typical_size, typical = read[len(read) // 2]  # the median size among the tables the queries read
    plain[typical][()]  # warm
    memory.mark()
    db = DB(path)
    for acts in singles + batches:  # warm
        db.search(acts, k=K)
    t = {k: [] for k in ("search_cpu", "search_wall", "read_cpu", "read_wall")}
    for q, acts in enumerate(singles):
        gc.collect()
        for which in ("search", "read") if q % 2 == 0 else ("read", "search"):
            cpu, wall, _ = clocked(db.search, acts, K) if which == "search" else clocked(lambda: plain[typical][()])
            t[which + "_cpu"].append(cpu)
            t[which + "_wall"].append(wall)
    t_batch = []
    for acts in batches:
        gc.collect()
        t_batch.append(clocked(db.search, acts, K)[1] / QUERY_BATCH)
    memory.mark("searches")
    db.close()
    plain.close()
    single, rd, per = spread(t["search_wall"], 1e6), spread(t["read_wall"], 1e6), spread(t_batch, 1e6)
    single_cpu, rd_cpu = spread(t["search_cpu"], 1e6), spread(t["read_cpu"], 1e6)
    ratio, ratio_cpu = single[0] / rd[0], single_cpu[0] / rd_cpu[0]
    print(f"search on {stored:,} stored, time per query (median, 10th-90th percentile):")
    print(f"   one query at a time: wall {fmt(single, 'us')}, {1e6 / single[0]:,.0f} queries/s, CPU "
          f"{fmt(single_cpu, 'us')}; one h5py read of a typical table ({typical}, {typical_size:,} B): wall "
          f"{fmt(rd, 'us')}, CPU {fmt(rd_cpu, 'us')}; search/read {ratio:.2f} (wall), {ratio_cpu:.2f} (CPU)")
    print(f"   batches of {QUERY_BATCH}: wall {fmt(per, 'us')} per query, {1e6 / per[0]:,.0f} queries/s")
    out("search, one at a time: wall us per query", single[0], "us", "")
    out("search: h5py read of a typical table, wall", rd[0], "us", "")
    out("search, one at a time / table read (wall)", ratio, "x", "<= 0.5")
    out("search, one at a time / table read (CPU)", ratio_cpu, "x", "<= 0.5")
    out(f"search, batches of {QUERY_BATCH}: wall us per query", per[0], "us", "")

    # ---- 3. file size over short sessions
    memory.mark()
    path = os.path.join(tmp, "sessions.h5")
    tables = Tables()
    stored = 0
    t_session = []
    print(f"file size over sessions of {ADDS_PER_SESSION} adds of {BATCH} (file / its tables' bytes):")
    for s in range(1, settings["sessions"] + 1):
        start = time.perf_counter()
        with DB(path, "w" if s == 1 else "a", preprocessor="image") as db:
            for _ in range(ADDS_PER_SESSION):
                acts = work.batch(stored, BATCH, salt=3)
                db.add(acts, stored)
                tables.update(acts, stored)
                stored += BATCH
        t_session.append(time.perf_counter() - start)
        if s in settings["marks"]:
            size, payload = os.path.getsize(path), tables.payload()
            check(dataset_bytes(path) == payload, "the store's datasets do not hold the tables' expected bytes")
            print(f"   after {s} sessions: file {size / 2**20:.2f} MiB, tables {payload / 2**20:.2f} MiB, "
                  f"ratio {size / payload:.2f}; session wall {fmt(spread(t_session))}")
            last = s == settings["marks"][-1]
            out(f"file / tables after {s} sessions", size / payload, "x", "<= 1.5" if last else "")
            t_session = []

    # ---- 4. memory
    memory.mark("sessions")
    print(f"peak resident memory: {memory.whole:.0f} MiB in the whole run; by part: "
          + ", ".join(f"{part} {peak:.0f}" for part, peak in memory.parts.items()) + " MiB")
    out("peak resident memory, whole run", memory.whole, "MiB", "")
    for part in (f"timed adds at {label}", "searches", "sessions"):
        out(f"peak resident memory, {part}", memory.parts[part], "MiB", "")


def check(ok, what):
    """A mismatch makes the ratios meaningless: say so, don't stop."""
    if not ok:
        print(f"   WARNING: {what}")


def print_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for i, r in enumerate([header] + rows):
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))


def compare_builds(builds, rounds, quick):
    """Runs the benchmark once per build per round, each in its own subprocess, alternating the order."""
    figures = [{} for _ in builds]  # per build: figure name -> its value in each round
    meta = {}
    with tempfile.TemporaryDirectory(prefix="bench_engine_") as tmp:
        for r in range(rounds):
            order = range(len(builds)) if r % 2 == 0 else reversed(range(len(builds)))
            for b in order:
                result = os.path.join(tmp, "result.json")
                cmd = [sys.executable, os.path.abspath(__file__), "--json", result] + (["--quick"] if quick else [])
                env = dict(os.environ, PYTHONPATH=os.path.abspath(builds[b]))
                start = time.perf_counter()
                proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
                if proc.returncode != 0:
                    print(proc.stdout + proc.stderr)
                    raise SystemExit(f"the benchmark failed with the build in {builds[b]}")
                with open(result) as f:
                    data = json.load(f)
                print(f"round {r + 1}, {builds[b]}: {time.perf_counter() - start:.0f} s ({data['module']})")
                for line in proc.stdout.splitlines():
                    if "WARNING" in line:
                        print(line)
                for name, value, unit, target in data["rows"]:
                    figures[b].setdefault(name, []).append(value)
                    meta[name] = (unit, target)
    print(f"\nmedian [min-max] over {rounds} rounds per build:")
    rows = []
    for name, (unit, target) in meta.items():
        cells = []
        for per_build in figures:
            v = per_build.get(name, [])
            cells.append(f"{np.median(v):.3g} [{min(v):.3g}-{max(v):.3g}]" if v else "-")
        rows.append([name, unit, target] + cells)
    print_table(["figure", "unit", "target"] + builds, rows)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="sizes 10^4 and 5x10^4, fewer batches, 20 sessions")
    parser.add_argument("--builds", nargs="+", metavar="DIR", help="build directories to compare, interleaved")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per build with --builds (default 3)")
    parser.add_argument("--json", help=argparse.SUPPRESS)  # where a subprocess of --builds leaves its figures
    args = parser.parse_args(argv)
    if args.builds:
        return compare_builds(args.builds, args.rounds, args.quick)

    import cquorlin

    print(f"cquorlin {cquorlin.__file__}; h5py {h5py.__version__}, HDF5 {h5py.version.hdf5_version}; "
          f"NumPy {np.__version__}; Python {sys.version.split()[0]}; {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}")
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench_engine_") as tmp:
        measure(SETTINGS["quick" if args.quick else "full"], tmp, lambda *row: rows.append(row))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"module": cquorlin.__file__, "rows": rows}, f)
    print("\nsummary:")
    print_table(["figure", "value", "unit", "target"], [[n, f"{v:.3g}", u, t] for n, v, u, t in rows])
    return rows


if __name__ == "__main__":
    main()
