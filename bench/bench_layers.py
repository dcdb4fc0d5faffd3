"""Store reports on a large store: DB.layers() and DB.entries() cold, against decoding every table.

Records a store of --n inputs (10^6 by default) over four layers through a recorder: 64 neurons
evenly used, 256 with a skewed use, one neuron winning for 95% of the inputs (a degenerate layer),
and 1,024 neurons; the store is kept at --store for later runs (--rebuild records it again). Then, each in a fresh process with the store's pages dropped from the page cache
(posix_fadvise, so that HDF5 reads from the disk), it times opening the store plus one call:
`DB.entries()` (table headers only), `DB.layers()` (headers, index columns, and the largest table's
values per layer), and the way to learn the same without them, decoding every table through
`DB._tomemory`. It prints the seconds and the bytes the process read (rchar of /proc/self/io).

Run: PYTHONPATH=<build dir> python bench/bench_layers.py [--n 1000000] [--store PATH] [--runs 5] [--rebuild]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

NEURONS = {"even": 64, "skewed": 256, "degenerate": 16, "wide": 1024}
BATCH = 65536


def batch(first, size, rng):
    """One batch's activations: per layer, each input's strongest neuron gets the largest value."""
    acts = {}
    for name, neurons in NEURONS.items():
        if name == "even":
            win = rng.integers(0, neurons, size)
        elif name == "skewed":
            win = np.minimum(rng.zipf(1.3, size) - 1, neurons - 1)
        elif name == "degenerate":
            win = np.where(rng.random(size) < 0.95, 3, rng.integers(0, neurons, size))
        else:
            win = rng.integers(0, neurons, size)
        a = rng.random((size, neurons), dtype=np.float32)
        a[np.arange(size), win] = 1.0 + rng.random(size, dtype=np.float32)
        acts[name] = a
    return acts


def build(path, n):
    import cquorlin

    rng = np.random.default_rng(0)
    start = time.perf_counter()
    with cquorlin.DB(path, "w", preprocessor="image") as db, db.recorder(flush_every=4 * BATCH) as rec:
        for first in range(0, n, BATCH):
            size = min(BATCH, n - first)
            rec.add(batch(first, size, rng), first, batch_size=size)
    return time.perf_counter() - start


CHILD = r"""
import json, os, sys, time
path, what = sys.argv[1], sys.argv[2]
def rchar():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar")).split()[1])
fd = os.open(path, os.O_RDONLY)
os.fsync(fd)  # only clean pages can be dropped
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
os.close(fd)
import cquorlin
read0, start = rchar(), time.perf_counter()
with cquorlin.DB(path, "r") as db:
    if what == "entries":
        result = db.entries()
    elif what == "layers":
        result = [tuple(layer) for layer in db.layers()]
    else:  # every table decoded, as a script without the reports would
        result = {}
        for key in db.file:
            layer = key[len("table_"):key.rindex("_")]
            result[layer] = result.get(layer, 0) + len(db._tomemory(key).idxs)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "read": rchar() - read0, "result": result}))
"""


def measure(path, what):
    run = subprocess.run([sys.executable, "-c", CHILD, path, what], capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--store", default="/tmp/quorlin_bench_layers.h5")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--rebuild", action="store_true", help="record the store again although it exists")
    parser.add_argument("--quick", action="store_true", help="10^5 inputs, 3 runs")
    args = parser.parse_args(argv)
    if args.quick:
        args.n, args.runs, args.store = 100_000, 3, args.store.replace(".h5", "_quick.h5")

    if args.rebuild or not os.path.exists(args.store):
        print(f"recording {args.n:,} inputs x {len(NEURONS)} layers ... ", end="", flush=True)
        print(f"{build(args.store, args.n):.1f} s")
    print(f"store {args.store}: {os.path.getsize(args.store) / 2 ** 20:.1f} MiB")
    rows = []
    for what in ("entries", "layers", "decode every table"):
        runs = [measure(args.store, what) for _ in range(args.runs)]
        seconds = sorted(r["seconds"] for r in runs)
        median = seconds[len(seconds) // 2]
        print(f"{what:20s} cold, open included: median {median:.3f} s "
              f"(min {seconds[0]:.3f}, max {seconds[-1]:.3f}); read {runs[0]['read'] / 2 ** 20:.1f} MiB")
        if what == "layers":
            for row in runs[0]["result"]:
                print("    " + ", ".join(f"{field}={value}" for field, value in
                                         zip(("name", "tables", "entries", "inputs", "largest", "share", "values",
                                              "degenerate"), row)))
        rows.append((f"{what}, cold, {args.n:,} inputs x {len(NEURONS)} layers", median, "s",
                     "< 1" if what == "layers" else ""))
    return rows


if __name__ == "__main__":
    main()
