"""DB.add time of two builds of the module, compared in one run.

Each round starts one child process per build, in alternating order, and each child records the
same seeded batches into a new store in a temporary directory: 60 batches of 256 inputs with a
(256, 512) and a (256, 32, 8, 8) layer output under the "image" preprocessor, as in bench_db.py.
A child prints its median and total time per add; the summary gives each build's range over the
rounds, and the ratio of the medians round by round, so that drift on a shared machine hits both
alike. With --small, each batch is 16 inputs of one (16, 64) output, so that the fixed cost of a
call (the journal, its locks and the space reservation) weighs most.

Run: python bench/bench_add_builds.py BUILD_BEFORE BUILD_AFTER [--rounds 5] [--batches 60] [--small]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def child(build, batches, small):
    sys.path.insert(0, build)
    import numpy as np

    from cquorlin import DB

    rng = np.random.default_rng(0)
    bias = {"fc": rng.normal(0, 1.5, 512).astype(np.float32), "conv": rng.normal(0, 1.5, (32, 8, 8)).astype(np.float32)}
    inputs = 16 if small else 256
    if small:
        bias = {"fc": bias["fc"][:64]}
    times = []
    with tempfile.TemporaryDirectory() as d, DB(os.path.join(d, "s.h5"), "w", preprocessor="image") as store:
        for b in range(batches):
            acts = {k: (rng.exponential(1.0, (inputs, *v.shape)).astype(np.float32) + v) for k, v in bias.items()}
            start = time.perf_counter()
            store.add(acts, inputs * b)
            times.append(time.perf_counter() - start)
    print(statistics.median(times), sum(times))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="*")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--batches", type=int, default=60)
    parser.add_argument("--small", action="store_true")
    parser.add_argument("--child")
    args = parser.parse_args()
    if args.child:
        return child(args.child, args.batches, args.small)
    before, after = args.builds
    results = {before: [], after: []}
    ratios = []
    for r in range(args.rounds):
        order = [before, after] if r % 2 == 0 else [after, before]
        got = {}
        for build in order:
            command = [sys.executable, __file__, "--child", build, "--batches", str(args.batches)]
            out = subprocess.run(command + ["--small"] * args.small, check=True, capture_output=True, text=True).stdout.split()
            got[build] = float(out[0])
            results[build].append((float(out[0]), float(out[1])))
        ratios.append(got[after] / got[before])
    for name, build in [("before", before), ("after", after)]:
        med = [m * 1e3 for m, _ in results[build]]
        tot = [t for _, t in results[build]]
        print(f"{name:6s} {build}: median add {min(med):.2f}-{max(med):.2f} ms, "
              f"total {min(tot):.2f}-{max(tot):.2f} s over {args.batches} adds")
    print(f"after/before median add, per round: {', '.join(f'{x:.3f}' for x in ratios)}")


if __name__ == "__main__":
    main()
