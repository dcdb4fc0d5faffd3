"""Recording at scale: DB.add against the recorder, the bare reduction as the floor, and a sustained run.

Workload: one "image" store recording four layers per batch of 256 inputs, a (32, 8, 8) feature map
and layers of 512, 128 and 10 neurons (2,698 tables in all). Activations are seeded float32 values,
exponential noise plus a fixed per-neuron bias drawn from N(0, 1.5^2), so that, as in real networks,
some neurons win far more often than others and tables grow unevenly (as in bench_db.py).

1. Per batch at 2x10^5 stored inputs: the store is filled to 2x10^5 inputs, copied twice, and then
   256 batches go, interleaved batch by batch, through DB.add on one copy, through a recorder with
   the default flush_every (65,536 inputs: one flush, at the 256th batch) on the other, and through
   the bare reduction (NumPy argmax and the maximum over each layer's rows). CPU time per batch
   (process time), the recorder's flush included.
2. Sustained: a recorder from 0 to 10^6 inputs (default flush_every); inputs/s of the add calls,
   flushes included, over the flush cycle that holds the 10^5th, 5x10^5th and 10^6th input; peak resident
   memory; and the growth of resident memory over the first flush cycle per buffered entry.
3. Where one flush at 2x10^5 stored spends its CPU time: reading the tables, writing them, and the
   recorder's own merging (the rest).

Run: PYTHONPATH=<build dir> python bench/bench_recorder.py [--quick] [--stored N] [--batches N] [--sustain N]
"""

import argparse
import os
import resource
import shutil
import tempfile
import time

import numpy as np

import cquorlin

BATCH = 256
LAYERS = {"conv": (32, 8, 8), "fc1": (512,), "fc2": (128,), "out": (10,)}


class Workload:
    """Seeded activations: batch b is the same whenever it is asked for."""

    def __init__(self, seed=0):
        rng = np.random.default_rng(seed)
        self.seed = seed
        self.bias = {k: (1.5 * rng.standard_normal(shape)).astype(np.float32) for k, shape in LAYERS.items()}

    def batch(self, number, salt=0):
        rng = np.random.default_rng((self.seed, salt, number))
        out = {}
        for key, shape in LAYERS.items():
            a = rng.standard_exponential((BATCH,) + shape, dtype=np.float32)
            a += self.bias[key]
            out[key] = a
        return out


def bare_reduction(acts):
    """The floor: reading each layer's activations once, NumPy argmax and maximum per row."""
    for a in acts.values():
        rows = a.reshape(len(a), -1)
        rows.argmax(axis=1)
        rows.max(axis=1)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fill(path, work, inputs):
    """A store holding `inputs` inputs (salt 1), recorded in one flush."""
    with cquorlin.DB(path, "w", preprocessor="image") as db, db.recorder(flush_every=inputs + BATCH) as rec:
        for b in range(inputs // BATCH):
            rec.add(work.batch(b, salt=1), b * BATCH, batch_size=BATCH)


def per_batch(work, directory, stored, batches):
    base = os.path.join(directory, "base.h5")
    t0 = time.perf_counter()
    fill(base, work, stored)
    print(f"filled a store with {stored:,} inputs in {time.perf_counter() - t0:.1f} s")
    shutil.copy(base, os.path.join(directory, "add.h5"))
    shutil.copy(base, os.path.join(directory, "rec.h5"))
    times = {"DB.add": [], "recorder": [], "bare": []}
    first = stored // BATCH * BATCH
    with cquorlin.DB(os.path.join(directory, "add.h5")) as a, cquorlin.DB(os.path.join(directory, "rec.h5")) as r:
        rec = r.recorder()
        for b in range(batches):
            acts = work.batch(b, salt=2)
            runs = [("DB.add", lambda: a.add(acts, first + b * BATCH)),
                    ("recorder", lambda: rec.add(acts, first + b * BATCH, batch_size=BATCH)),
                    ("bare", lambda: bare_reduction(acts))]
            for name, fn in runs[b % 3:] + runs[:b % 3]:  # rotate the order: drift hits all alike
                t = time.process_time()
                fn()
                times[name].append(time.process_time() - t)
        t = time.process_time()
        rec.flush()  # a no-op with the default flush_every and 256 batches: the flush ran in the last add
        times["recorder"][-1] += time.process_time() - t
        assert rec.pending == 0 and rec.durable == batches * BATCH
    print(f"\n1. CPU time per batch of {BATCH} at {stored:,} stored inputs, {batches} batches interleaved")
    print(f"   {'':10s} {'mean ms':>9s} {'median':>8s} {'p10-p90 ms':>14s}")
    for name, ts in times.items():
        ts = np.array(ts) * 1e3
        print(f"   {name:10s} {ts.mean():9.3f} {np.median(ts):8.3f} {np.percentile(ts, 10):6.3f}-{np.percentile(ts, 90):.3f}")
    rec_ts = np.array(times["recorder"])
    print(f"   recorder's flush (in its last add): {rec_ts[-1] * 1e3:.0f} ms; the other adds "
          f"{np.median(rec_ts[:-1]) * 1e3:.3f} ms median")
    add_mean, rec_mean, bare_mean = (np.mean(times[k]) for k in ("DB.add", "recorder", "bare"))
    print(f"   recorder / DB.add: 1/{add_mean / rec_mean:.0f}  [target at most 1/20]")
    print(f"   recorder / bare reduction: {rec_mean / bare_mean:.1f}x  [target at most 5x]")
    identical = True
    with cquorlin.DB(os.path.join(directory, "add.h5"), "r") as a, cquorlin.DB(os.path.join(directory, "rec.h5"), "r") as r:
        for k in a.file:
            identical &= np.array_equal(a.file[k][()], r.file[k][()])
    print(f"   both stores hold the same bytes in every table: {identical}")


class TimedDB(cquorlin.DB):
    """A store that times the two internals a flush goes through: table reads and the write."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.spent = {"read": 0.0, "write": 0.0}

    def _get_table(self, k, create=True):
        t = time.process_time()
        try:
            return super()._get_table(k, create)
        finally:
            self.spent["read"] += time.process_time() - t

    def _clear_cache(self):
        t = time.process_time()
        try:
            return super()._clear_cache()
        finally:
            self.spent["write"] += time.process_time() - t


def flush_breakdown(work, directory, stored, batches):
    """Where one flush of `batches` batches into the filled store spends its CPU time."""
    path = os.path.join(directory, "timed.h5")
    shutil.copy(os.path.join(directory, "base.h5"), path)
    first = stored // BATCH * BATCH
    with TimedDB(path) as db:
        rec = db.recorder(flush_every=10**12)
        for b in range(batches):
            rec.add(work.batch(b, salt=2), first + b * BATCH, batch_size=BATCH)
        t = time.process_time()
        rec.flush()
        total = time.process_time() - t
        tables = len(db.file)
    read, write = db.spent["read"], db.spent["write"]
    print(f"\n3. one flush of {batches} batches at {stored:,} stored: {total * 1e3:.0f} ms CPU for {tables:,} tables: "
          f"reading them {read * 1e3:.0f} ms, writing them {write * 1e3:.0f} ms, the recorder's own merging "
          f"{(total - read - write) * 1e3:.0f} ms")


def sustained(work, directory, total):
    marks = [m for m in (100_000, 500_000, 1_000_000) if m <= total] or [total]
    path = os.path.join(directory, "sustained.h5")
    warm = 16  # batches before the memory baseline: first-call allocations of NumPy and HDF5 settle
    rss_warm = cycle_growth = None
    print(f"\n2. sustained recording to {total:,} inputs (flush_every 65,536); resident memory at the start "
          f"{rss_bytes() / 2**20:.0f} MiB")
    with cquorlin.DB(path, "w", preprocessor="image") as db:
        rec = db.recorder()
        window_start, window_inputs, window_time = 0, 0, 0.0
        next_mark = 0
        flushes = []
        # Whole flush cycles: the last one ends at or past `total`.
        n_batches = -(-total // 65536) * 65536 // BATCH
        for b in range(n_batches):
            acts = work.batch(b, salt=3)
            t = time.perf_counter()
            rec.add(acts, b * BATCH, batch_size=BATCH)
            elapsed = time.perf_counter() - t
            window_time += elapsed
            window_inputs += BATCH
            done = (b + 1) * BATCH
            if b + 1 == warm:
                rss_warm = rss_bytes()
            elif cycle_growth is None and rec.pending == 0:  # the first flush just ran
                cycle_growth = before_flush - rss_warm
                cycle_entries = (done - BATCH - warm * BATCH) * len(LAYERS)
            elif cycle_growth is None:
                before_flush = rss_bytes()
            if rec.pending == 0:
                flushes.append(elapsed)
                while next_mark < len(marks) and done >= marks[next_mark]:
                    print(f"   at {marks[next_mark]:>9,} stored: {window_inputs / window_time:8.0f} inputs/s "
                          f"(the flush cycle of inputs {window_start:,}-{done:,}, its flush of "
                          f"{elapsed:.2f} s included)")
                    next_mark += 1
                window_start, window_inputs, window_time = done, 0, 0.0
    print("   each flush, s: " + " ".join(f"{t:.2f}" for t in flushes))
    print(f"   peak resident memory of the process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB; "
          f"store file {os.path.getsize(path) / 2**20:.0f} MiB")
    if cycle_growth is not None:
        print(f"   resident growth from batch 16 to the first flush: {cycle_growth / 2**20:.1f} MiB for {cycle_entries:,} "
              f"buffered entries = {cycle_growth / cycle_entries:.1f} bytes per entry")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--stored", type=int, default=200_000, help="inputs stored before the per-batch comparison")
    p.add_argument("--batches", type=int, default=256, help="batches in the per-batch comparison")
    p.add_argument("--sustain", type=int, default=1_000_000, help="inputs of the sustained run (0: skip)")
    p.add_argument("--quick", action="store_true", help="a short run: 2x10^4 stored, 64 batches, 2x10^5 sustained")
    args = p.parse_args()
    if args.quick:
        args.stored, args.batches, args.sustain = 20_000, 64, 200_000
    work = Workload()
    with tempfile.TemporaryDirectory() as directory:
        if args.sustain:
            sustained(work, directory, args.sustain)
        per_batch(work, directory, args.stored, args.batches)
        flush_breakdown(work, directory, args.stored, args.batches)


if __name__ == "__main__":
    main()
