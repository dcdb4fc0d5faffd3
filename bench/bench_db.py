"""DB.add and DB.search timings on a recording workload, against an HDF5 floor measured in the same run.

Workload: two stores. Store "image" records two layers per batch, a (256, 512) output and a
(256, 32, 8, 8) output; store "text" records a (256, 64, 128) output. 200 batches of 256 inputs
(768 entries per batch in all), then searches with 64-input query batches in both stores.
Activations are seeded float32 values: exponential noise plus a fixed per-neuron bias drawn from
N(0, 1.5^2), so that, as in real networks, some neurons win far more often than others (the top tenth
of a layer's neurons takes about half of the entries) and tables grow unevenly. The exponential tail
keeps that skew the same for 128 and for 2048 neurons, and under the text preprocessor's maximum.

Three passes run over every batch, interleaved so that drift hits all alike:
- stub: the same DB.add / DB.search on a DB subclass whose _tomemory and _flush_cache keep the
  tables' byte strings in a dict instead of HDF5 (an in-memory h5py file only carries the root
  attributes). It runs everything of the module that is not an HDF5 call (argument handling,
  reduction, argmax, keys, cache, Table.add, flush, tobytes / frombytes, merging) plus the overhead
  of two Python-level overrides and a byte copy standing in for the read, so its share of the real
  time is an upper bound of the non-HDF5 share. It also logs every table read and write (key, size,
  whether an old dataset is replaced); the real store makes the same calls on the same data.
- real: DB.add / DB.search on files in a temporary directory.
- floor: the logged reads, deletions and creations of the same sizes done with h5py's high-level API
  (file[k][()], del file[k], file[k] = array) from Python, on a copy of the store's file taken just
  before the call (so on the same datasets), opened and warmed up by listing its keys before the
  clock starts. Failed lookups of tables that do not exist yet, the crash-safety steps and the final
  flush are not in the floor. To keep the run short the floor is measured on every 5th batch (every
  2nd with --quick), and add/floor compares the real add on those same batches.

Targets: add and search each at most 0.7 times the floor; the non-HDF5 share of add at most 15%.

Run: PYTHONPATH=<build dir> python bench/bench_db.py [--quick] [--batches N] [--queries N]
"""

import argparse
import gc
import os
import shutil
import sys
import tempfile
import time

import h5py
import numpy as np

import cquorlin
from cquorlin import DB, Table

BATCH = 256
QUERY_BATCH = 64
STORES = {
    # store name -> (preprocessor, {layer key: shape of one input's output})
    "image": ("image", {"fc": (512,), "conv": (32, 8, 8)}),
    "text": ("text", {"tok": (64, 128)}),
}
NEURON_AXES = {"fc": (512,), "conv": (32, 8, 8), "tok": (128,)}  # the axes a bias varies over


class Workload:
    """Seeded activations: batch b is the same in every pass, generated on demand to bound memory."""

    def __init__(self, seed):
        rng = np.random.default_rng(seed)
        self.seed = seed
        self.bias = {k: (1.5 * rng.standard_normal(shape)).astype(np.float32) for k, shape in NEURON_AXES.items()}

    def batch(self, number, size, salt=0):
        rng = np.random.default_rng((self.seed, salt, number))
        out = {}
        for store, (_, layers) in STORES.items():
            acts = {}
            for key, shape in layers.items():
                a = rng.standard_exponential((size,) + shape, dtype=np.float32)
                a += self.bias[key]
                acts[key] = a
            out[store] = acts
        return out


class StubDB(DB):
    """DB whose tables live in a dict of byte strings: all of add / search except HDF5, with a log."""

    def __init__(self, preprocessor):
        super().__init__(f"stub-{preprocessor}.h5", "w", preprocessor=preprocessor, driver="core", backing_store=False)
        self.mem = {}
        self.log = []

    def _tomemory(self, k):
        data = self.mem[k]  # KeyError for a missing table, as h5py raises it
        self.log.append(("read", k, len(data)))
        table = Table.frombytes(np.frombuffer(data, dtype=np.uint8).copy())  # the copy stands in for the read
        self.cache[k] = table
        return table

    def _flush_cache(self):
        for k, table in self.cache.items():
            if not table._flushed:
                data = table.tobytes()
                self.log.append(("write", k, len(data), k in self.mem))
                self.mem[k] = data

    def take_log(self):
        log, self.log = self.log, []
        return log


def replay(f, ops, buf):
    """The floor: the logged reads, deletions and creations through h5py's high-level API."""
    start = time.perf_counter()
    for op in ops:
        if op[0] == "read":
            f[op[1]][()]
        else:
            _, k, size, existed = op
            if existed:
                del f[k]
            f[k] = buf[:size]
    return time.perf_counter() - start


def open_copy(path, copy_path):
    """A copy of a store's file (complete on disk: every call ends with a flush), opened and warmed up."""
    shutil.copyfile(path, copy_path)
    f = h5py.File(copy_path, "a")
    list(f.keys())  # loads the root group's index, which the store's open file already holds
    return f


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def dataset_sizes(f):
    sizes = {}
    f.visititems(lambda name, obj: sizes.__setitem__(name, obj.shape[0]) if isinstance(obj, h5py.Dataset) else None)
    return sizes


def check(ok, what):
    """The passes must do the same work for the ratios to mean anything; say so, don't stop."""
    if not ok:
        print(f"   WARNING: {what}")


def ratio_row(rows, name, num, den, target=""):
    rows.append((name, num / den, "x", target))
    return num / den


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="40 batches, 8 query batches, floor on every 2nd")
    parser.add_argument("--batches", type=int, help="batches of 256 to add (default 200)")
    parser.add_argument("--queries", type=int, help="query batches of 64 to search (default 30)")
    parser.add_argument("--floor-every", type=int, help="measure the floor on every N-th batch (default 5)")
    args = parser.parse_args(argv)
    n_batches = args.batches or (40 if args.quick else 200)
    n_queries = args.queries or (8 if args.quick else 30)
    floor_every = args.floor_every or (2 if args.quick else 5)
    print(f"cquorlin {cquorlin.__file__}; h5py {h5py.__version__}, HDF5 {h5py.version.hdf5_version}; "
          f"NumPy {np.__version__}; Python {sys.version.split()[0]}; {os.cpu_count()} CPUs")
    print(f"{n_batches} batches of {BATCH}, {n_queries} query batches of {QUERY_BATCH}; the add floor on 1 "
          f"batch in {floor_every}")
    work = Workload(seed=7)
    rows = []
    # Everything imported so far (torch included) goes to the permanent generation, so the collection
    # before each batch (which keeps cycles from one call out of the next call's timing) stays cheap.
    gc.collect()
    gc.freeze()
    with tempfile.TemporaryDirectory(prefix="bench_db_") as tmp:
        paths = {s: os.path.join(tmp, f"store_{s}.h5") for s in STORES}
        real = {s: DB(paths[s], "w", preprocessor=p) for s, (p, _) in STORES.items()}
        stub = {s: StubDB(p) for s, (p, _) in STORES.items()}
        buf = np.random.default_rng(0).integers(0, 256, 1 << 22, dtype=np.uint8)
        t_add = {s: {"real": 0.0, "stub": 0.0, "real_sampled": 0.0, "floor": 0.0} for s in STORES}
        counts = {s: {"read": 0, "delete": 0, "create": 0, "read_bytes": 0, "write_bytes": 0} for s in STORES}
        entries = 0
        samples = 0
        replay_ok = True

        # ---- add
        for b in range(n_batches):
            batch = work.batch(b, BATCH)
            gc.collect()
            sample = b % floor_every == floor_every - 1
            samples += sample
            for s in STORES:
                dt, _ = timed(stub[s].add, batch[s], b * BATCH)
                t_add[s]["stub"] += dt
                ops = stub[s].take_log()
                for op in ops:
                    c = counts[s]
                    if op[0] == "read":
                        c["read"] += 1
                        c["read_bytes"] += op[2]
                    else:
                        c["create"] += 1
                        c["delete"] += op[3]
                        c["write_bytes"] += op[2]
                if not sample:
                    t_add[s]["real"] += timed(real[s].add, batch[s], b * BATCH)[0]
                    continue
                copy = open_copy(paths[s], os.path.join(tmp, f"floor_{s}.h5"))
                # Alternate which of real and floor goes first, so neither always meets a warmer cache.
                order = ("real", "floor") if samples % 2 == 0 else ("floor", "real")
                for which in order:
                    if which == "real":
                        dt = timed(real[s].add, batch[s], b * BATCH)[0]
                        t_add[s]["real"] += dt
                        t_add[s]["real_sampled"] += dt
                    else:
                        t_add[s]["floor"] += replay(copy, ops, buf)
                if b + floor_every >= n_batches:  # the last sample: the replay did what the store did
                    replay_ok = replay_ok and dataset_sizes(copy) == dataset_sizes(real[s].file)
                copy.close()
            entries += sum(BATCH * len(batch[s]) for s in STORES)
        check(replay_ok, "replaying the logged operations does not give the store's datasets")

        print("add:")
        for s in STORES:
            c = counts[s]
            sizes = dataset_sizes(real[s].file)
            check(sizes == {k: len(v) for k, v in stub[s].mem.items()}, f"store {s}: the stub's tables differ from the file's")
            vals = np.array(list(sizes.values()))
            print(f"   store {s}: {len(sizes)} tables, {vals.mean():.0f} B mean, {vals.max()} B largest; per batch "
                  f"{c['read'] / n_batches:.0f} reads ({c['read_bytes'] / max(1, c['read']):.0f} B mean), "
                  f"{c['delete'] / n_batches:.0f} deletions, {c['create'] / n_batches:.0f} creations "
                  f"({c['write_bytes'] / max(1, c['create']):.0f} B mean)")
            tr, trs, tf, ts = (t_add[s][w] for w in ("real", "real_sampled", "floor", "stub"))
            print(f"   store {s}: add {tr / n_batches * 1e3:.2f} ms/batch; on the {samples} floor batches add "
                  f"{trs / samples * 1e3:.2f} ms, floor {tf / samples * 1e3:.2f} ms, add/floor {trs / tf:.3f}; "
                  f"stub {ts / n_batches * 1e3:.2f} ms/batch = {ts / tr * 100:.1f}% of add")
            ratio_row(rows, f"add/floor, store {s}", trs, tf, "<= 0.7")
        tr, trs, tf, ts = (sum(t[w] for t in t_add.values()) for w in ("real", "real_sampled", "floor", "stub"))
        print(f"   both stores: {entries / tr:,.0f} entries/s; add/floor {trs / tf:.3f}  [target <= 0.7]; "
              f"non-HDF5 share (stub/add, an upper bound) {ts / tr * 100:.1f}%  [target <= 15%]")
        rows.append(("add: entries/s", entries / tr, "1/s", ""))
        rows.append(("add: ms per batch (both stores)", tr / n_batches * 1e3, "ms", ""))
        rows.append(("add: floor ms per batch (both stores)", tf / samples * 1e3, "ms", ""))
        ratio_row(rows, "add/floor, both stores", trs, tf, "<= 0.7")
        rows.append(("add: non-HDF5 share (upper bound)", ts / tr * 100, "%", "<= 15"))

        # ---- search
        t_search = {s: {"real": 0.0, "stub": 0.0, "floor": 0.0} for s in STORES}
        reads = {s: 0 for s in STORES}
        same = True
        floor = {s: open_copy(paths[s], os.path.join(tmp, f"floor_{s}.h5")) for s in STORES}
        for q in range(n_queries):
            batch = work.batch(q, QUERY_BATCH, salt=1)
            gc.collect()
            for s in STORES:
                dt, stub_result = timed(stub[s].search, batch[s])
                t_search[s]["stub"] += dt
                ops = stub[s].take_log()
                reads[s] += len(ops)
                order = ("real", "floor") if q % 2 == 0 else ("floor", "real")
                for which in order:
                    if which == "real":
                        dt, result = timed(real[s].search, batch[s])
                        t_search[s]["real"] += dt
                    else:
                        t_search[s]["floor"] += replay(floor[s], ops, buf)
                same = same and [list(d) for d in result] == [list(d) for d in stub_result]
        check(same, "the stub's search results differ from the store's")
        print("search:")
        for s in STORES:
            tr, tf, ts = (t_search[s][w] for w in ("real", "floor", "stub"))
            print(f"   store {s}: {n_queries * QUERY_BATCH / tr:,.0f} queries/s, {tr / n_queries * 1e3:.2f} ms per query "
                  f"batch, {reads[s] / n_queries:.0f} table reads per batch; floor {tf / n_queries * 1e3:.2f} ms, "
                  f"search/floor {tr / tf:.3f}; stub {ts / tr * 100:.1f}% of search")
            rows.append((f"search: queries/s, store {s}", n_queries * QUERY_BATCH / tr, "1/s", ""))
            ratio_row(rows, f"search/floor, store {s}", tr, tf, "<= 0.7")
        tr = sum(t["real"] for t in t_search.values())
        tf = sum(t["floor"] for t in t_search.values())
        ts = sum(t["stub"] for t in t_search.values())
        print(f"   both stores: {n_queries * QUERY_BATCH / tr:,.0f} queries/s (a query searched in both stores); "
              f"search/floor {tr / tf:.3f}  [target <= 0.7]; non-HDF5 share {ts / tr * 100:.1f}%")
        rows.append(("search: queries/s, both stores", n_queries * QUERY_BATCH / tr, "1/s", ""))
        ratio_row(rows, "search/floor, both stores", tr, tf, "<= 0.7")
        rows.append(("search: non-HDF5 share (upper bound)", ts / tr * 100, "%", ""))

        # ---- file size
        print("file size (payload: the sum of the datasets' lengths; compact: the same datasets written once by h5py):")
        for s in STORES:
            payload = sum(dataset_sizes(real[s].file).values())
            real[s].close()
            floor[s].close()
            size = os.path.getsize(paths[s])
            compact_path = os.path.join(tmp, f"compact_{s}.h5")
            with h5py.File(compact_path, "w") as f:
                f.attrs["version"] = "0.0.1"
                f.attrs["preprocessor"] = STORES[s][0]
                for k, data in stub[s].mem.items():
                    f[k] = np.frombuffer(data, dtype=np.uint8)
            compact = os.path.getsize(compact_path)
            stub[s].close()
            print(f"   store {s}: file {size / 2**20:.2f} MiB, payload {payload / 2**20:.2f} MiB, "
                  f"file/payload {size / payload:.2f}; compact file {compact / 2**20:.2f} MiB ({compact / payload:.2f}x payload)")
            rows.append((f"file size / payload, store {s}", size / payload, "x", ""))
            rows.append((f"compact h5py file / payload, store {s}", compact / payload, "x", ""))
    return rows


if __name__ == "__main__":
    main()
