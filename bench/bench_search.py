"""Search alone on a warm store of the engine benchmark's four-layer "image" workload.

Builds the store once (kept at --store for later runs), reopens it, warms it with one pass over the
queries, then times single queries (a batch of 1, k=10) each next to one plain h5py read of a typical
table (the median size among the tables the queries read) of a copy of the store, interleaved, and
batches of 64 queries. Prints medians with the 10th-90th percentile range.

Run: PYTHONPATH=<build dir> python bench/bench_search.py [--store PATH] [--size N] [--queries N]
Compare builds by running it for each, alternating, on the same --store.
"""

import argparse
import gc
import os
import shutil
import sys
import time

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_engine import GROW_BATCH, K, QUERY_BATCH, Workload, clocked, spread, winners  # noqa: E402


def build(path, size):
    from cquorlin import DB

    work = Workload(seed=7)
    with DB(path, "w", preprocessor="image") as db:
        for first in range(0, size, GROW_BATCH):
            db.add(work.batch(first, min(GROW_BATCH, size - first)), first)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", default="/tmp/quorlin_bench_search.h5")
    parser.add_argument("--size", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--batches", type=int, default=20)
    args = parser.parse_args(argv)
    from cquorlin import DB

    if not os.path.exists(args.store):
        build(args.store, args.size)
    copy = args.store + ".plain"
    shutil.copyfile(args.store, copy)
    work = Workload(seed=7)
    singles = [work.batch(q, 1, salt=1) for q in range(args.queries)]
    batches = [work.batch(q, QUERY_BATCH, salt=2) for q in range(args.batches)]
    gc.collect()
    gc.freeze()
    with h5py.File(copy, "r") as plain, DB(args.store, "r") as db:
        sizes = sorted((plain[f"table_{k}_{w[0]}"].shape[0], f"table_{k}_{w[0]}")
                       for acts in singles for k, w in winners(acts).items())
        typical = sizes[len(sizes) // 2][1]
        plain[typical][()]
        for acts in singles + batches:
            db.search(acts, k=K)
        search, read = [], []
        for q, acts in enumerate(singles):
            gc.collect()
            for which in ("search", "read") if q % 2 == 0 else ("read", "search"):
                if which == "search":
                    search.append(clocked(db.search, acts, K)[1])
                else:
                    read.append(clocked(lambda: plain[typical][()])[1])
        per = []
        for acts in batches:
            gc.collect()
            per.append(clocked(db.search, acts, K)[1] / QUERY_BATCH)
    os.remove(copy)
    s, r, b = spread(search, 1e6), spread(read, 1e6), spread(per, 1e6)
    ratio = spread(np.divide(search, read), 1)
    print(f"single {s[0]:.1f} us ({s[1]:.1f}-{s[2]:.1f}); read {r[0]:.1f} us ({r[1]:.1f}-{r[2]:.1f}); "
          f"single/read {s[0] / r[0]:.2f} (per-pair {ratio[1]:.2f}-{ratio[2]:.2f}); "
          f"batch of {QUERY_BATCH}: {b[0]:.1f} us per query ({b[1]:.1f}-{b[2]:.1f})")


if __name__ == "__main__":
    main()
