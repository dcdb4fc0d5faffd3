"""Recording at scale into shards: CPU per input against stored inputs, bytes written, peak memory,
and a single query on the shards opened as one set against one store merged from them.

Workload: that of bench_recorder.py (one "image" store, four layers, a (32, 8, 8) feature map and
layers of 512, 128 and 10 neurons, batches of 256 seeded inputs with per-neuron biases).

For each size (default 10^6, 3x10^6 and 10^7 inputs, in that order, in one process), a recorder
with `flush_every` and `shard_inputs` records the inputs into a fresh directory. Reported:
- CPU time (process time) of the recorder's calls, flushes and roll-overs included, the making of
  the activations excluded: per input over the whole run, and per window of `--window` inputs (the
  figure's points);
- bytes the process wrote (`wchar` of /proc/self/io) against the final payload (the bytes of the
  shards' tables; the files are larger, as HDF5 keeps the space of rewritten tables);
- the process's peak resident memory after the run (a high-water mark: sizes go in rising order);
- after the largest size: the shards merged into one store (`cquorlin.merge`), and a warm single
  query (one input, four layers, k=10; `search`, then `query` with its defaults) on the set and on
  the merged store, median of 200 after 5 warm-up calls each, with the check that both give the
  same answers for 20 query inputs.

With --baseline N, N more inputs go into one store without shards (flush_every 65,536), for the
comparison (last: its memory is not in the peaks of the runs above).

Run: PYTHONPATH=<build dir> python bench/bench_store_set.py [--sizes 1e6,3e6,1e7] [--flush-every N]
     [--shard-inputs N] [--window N] [--baseline N] [--dir DIR] [--plot docs/recording_cpu.png]
"""

import argparse
import os
import resource
import shutil
import tempfile
import time

import h5py
import numpy as np

import cquorlin
from bench_recorder import BATCH, LAYERS, Workload


def written_bytes():
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("wchar:"))


def data_bytes(paths):
    """The bytes the stores' tables take in their files, without the space of tables since rewritten."""
    total = 0
    for path in paths:
        with h5py.File(path, "r") as f:
            total += sum(f[name].id.get_storage_size() for name in f)
    return total


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def record(work, directory, total, flush_every, shard_inputs, window):
    """Records `total` inputs into shards of `directory`; returns the shards and the figures."""
    os.makedirs(directory)
    path = os.path.join(directory, "acts.h5")
    cpu, points, window_cpu = 0.0, [], 0.0
    written = written_bytes()
    with cquorlin.DB(path, "w", preprocessor="image") as db, \
            db.recorder(flush_every=flush_every, shard_inputs=shard_inputs) as rec:
        for b in range(-(-total // BATCH)):
            acts = work.batch(b)
            t = time.process_time()
            rec.add(acts, b * BATCH, batch_size=BATCH)
            spent = time.process_time() - t
            cpu += spent
            window_cpu += spent
            if (b + 1) * BATCH % window == 0:
                points.append(((b + 1) * BATCH, window_cpu / window))
                window_cpu = 0.0
        t = time.process_time()
        rec.flush()  # the last inputs
        cpu += time.process_time() - t
        shards = rec.shards
    written = written_bytes() - written
    files = sum(os.path.getsize(s) for s in shards)
    return shards, {"cpu": cpu, "points": points, "written": written, "payload": data_bytes(shards), "files": files,
                    "inputs": rec.durable}


def query_times(call, acts, repeats=200):
    for _ in range(5):
        call(acts)
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        call(acts)
        times.append(time.perf_counter() - t)
    return float(np.median(times))


def compare_queries(shards, merged, work):
    """Warm single-query times of search and query on the set and on one store, and whether they
    answer alike."""
    queries = work.batch(0, salt=9)
    one_input = {k: v[:1] for k, v in queries.items()}
    twenty = {k: v[:20] for k, v in queries.items()}
    with cquorlin.open_set(shards) as shard_set, cquorlin.DB(merged, "r") as one:
        times = {name: (query_times(getattr(shard_set, name), one_input), query_times(getattr(one, name), one_input))
                 for name in ("search", "query")}
        alike = sum(x == y for x, y in zip(shard_set.search(twenty, k=10), one.search(twenty, k=10)))
        same_arrays = all(np.array_equal(x, y) for x, y in zip(shard_set.query(twenty), one.query(twenty)))
    return times, alike, same_arrays


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="1e6,3e6,1e7", help="inputs recorded per run, rising")
    p.add_argument("--flush-every", type=int, default=2**19)
    p.add_argument("--shard-inputs", type=int, default=2**21)
    p.add_argument("--window", type=int, default=2**19, help="inputs per point of the figure")
    p.add_argument("--baseline", type=float, default=0,
                   help="then also record this many inputs into one store, flushing every 65,536 (0: not)")
    p.add_argument("--dir", default=None, help="where the stores go (default: a temporary directory)")
    p.add_argument("--plot", default=None, help="write the figure of CPU per input here")
    args = p.parse_args()
    sizes = [int(float(s)) for s in args.sizes.split(",")]
    work = Workload()
    top = tempfile.mkdtemp(dir=args.dir)
    print(f"four layers {', '.join(f'{k} {v}' for k, v in LAYERS.items())}; batches of {BATCH}; "
          f"flush_every {args.flush_every:,}, shard_inputs {args.shard_inputs:,}")
    print(f"{'stored':>12s} {'CPU s':>8s} {'us/input':>9s} {'shards':>7s} {'written MiB':>12s} {'payload MiB':>12s} "
          f"{'ratio':>6s} {'files MiB':>10s} {'peak MiB':>9s}")
    runs = {}
    try:
        for size in sizes:
            shards, f = record(work, os.path.join(top, str(size)), size, args.flush_every, args.shard_inputs,
                               args.window)
            runs[size] = (shards, f)
            print(f"{f['inputs']:12,d} {f['cpu']:8.1f} {f['cpu'] / f['inputs'] * 1e6:9.2f} {len(shards):7d} "
                  f"{f['written'] / 2**20:12.0f} {f['payload'] / 2**20:12.0f} {f['written'] / f['payload']:6.2f} "
                  f"{f['files'] / 2**20:10.0f} {peak_mib():9.0f}", flush=True)
        baseline = None
        if args.baseline:
            _, baseline = record(work, os.path.join(top, "baseline"), int(args.baseline), 65536, None, args.window)
            f = baseline
            print(f"one store, flush_every 65,536, without shards (last, so that the peaks above are the shards'):\n"
                  f"{f['inputs']:12,d} {f['cpu']:8.1f} {f['cpu'] / f['inputs'] * 1e6:9.2f} {1:7d} "
                  f"{f['written'] / 2**20:12.0f} {f['payload'] / 2**20:12.0f} {f['written'] / f['payload']:6.2f} "
                  f"{f['files'] / 2**20:10.0f} {peak_mib():9.0f}", flush=True)
        per_input = [runs[s][1]["cpu"] / runs[s][1]["inputs"] for s in sizes]
        print(f"CPU per input, largest run over smallest: {per_input[-1] / per_input[0]:.2f}x  [target at most 1.5x]")
        shards = runs[sizes[-1]][0]
        merged = os.path.join(top, "merged.h5")
        t = time.process_time()
        cquorlin.merge(merged, shards)
        print(f"merged {len(shards)} shards into one store of {os.path.getsize(merged) / 2**20:.0f} MiB in "
              f"{time.process_time() - t:.1f} s CPU")
        times, alike, same_arrays = compare_queries(shards, merged, work)
        t_set, t_one = times["search"]
        print(f"warm single search at {sizes[-1]:,}: set of {len(shards)} shards {t_set * 1e6:.0f} us, one store "
              f"{t_one * 1e6:.0f} us: {t_set / t_one:.2f}x  [target at most 3x]; "
              f"{alike} of 20 query inputs answered alike")
        t_set, t_one = times["query"]
        print(f"warm single DB.query at {sizes[-1]:,}: set {t_set * 1e6:.0f} us, one store {t_one * 1e6:.0f} us: "
              f"{t_set / t_one:.2f}x; arrays of 20 query inputs equal: {same_arrays}")
        if args.plot:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt

            fig, ax = plt.subplots(figsize=(6, 3.2))
            for size in sizes:
                xs, ys = zip(*runs[size][1]["points"])
                ax.plot(xs, np.array(ys) * 1e6, marker=".", label=f"shards, recording {size:,}")
            if baseline:
                xs, ys = zip(*baseline["points"])
                ax.plot(xs, np.array(ys) * 1e6, marker=".", color="gray", label="one store, flush every 65,536")
            ax.set_xscale("log")
            ax.set_ylim(bottom=0)
            ax.set_xlabel("stored inputs")
            ax.set_ylabel("recorder CPU per input (us)")
            ax.set_title(f"shards of {args.shard_inputs:,} inputs, flush every {args.flush_every:,}; four layers, "
                         f"batches of {BATCH}", fontsize=9)
            ax.legend(fontsize=8)
            fig.tight_layout()
            fig.savefig(args.plot, dpi=110)
            print(f"figure written to {args.plot}")
    finally:
        shutil.rmtree(top)


if __name__ == "__main__":
    main()
