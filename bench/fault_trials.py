"""Longer runs of the store's fault trials than the test suite makes, with counts of the outcomes.

- killed at a write: a child adding two batches to a small store is killed at each of HDF5's writes
  in turn (half of that write done; a truncation done), through tests/crash_writes.c preloaded;
  intact when the store holds every batch whose add returned and the interrupted one whole or not
  at all, and takes another batch.
- kills: a child records batches and is killed with SIGKILL after a random 0.2-0.8 s; a trial is
  intact when the store opens, holds every batch whose add returned, and takes another batch.
- disk full: on a 2 MiB tmpfs (needs root; skipped where it cannot be mounted), a child records
  until an add fails, frees space, retries and closes; intact when every returned batch is stored
  once and the child did not crash.
- file size limit: the same, the child meeting its RLIMIT_FSIZE (SIGXFSZ ignored) instead.
- second opener: a child stops inside a flush; the store is opened in every mode meanwhile (with
  HDF5's file locking on, and off in both processes); intact when each open failed (or, without
  locking, left the journal alone) and, the child killed, the store keeps the returned batch.
- foreign journals: the journal of one store's flush placed beside every other store file of a
  set (other stores, older and newer copies of the same store); counts how many were applied.
- fuzzing: damaged table encodings and damaged journals, many more cases than the suite.

Run: PYTHONPATH=<build dir> python bench/fault_trials.py [--kills 200] [--full 60] [--openers 25]
"""

import argparse
import collections
import os
import random
import shutil
import subprocess
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import pytest  # noqa: E402

from cquorlin import DB  # noqa: E402
from test_faults import (  # noqa: E402
    batch,
    capture_journal,
    disk_full_trial,
    entries,
    fuzz_frombytes,
    fuzz_journal,
    build_crash_library,
    crash_trial,
    make_crash_base,
    second_opener_trial,
)
from test_store import kill_trial  # noqa: E402


def report(name, outcomes):
    counts = collections.Counter(outcomes)
    print(f"{name}: {len(outcomes)} trials: " + ", ".join(f"{k} {v}" for k, v in counts.most_common()), flush=True)


def foreign_pairs(directory):
    """The journal of one flush of each store beside every other file of a set: other stores, and
    copies of the same store at each earlier state. Only the copy of the very state the journal was
    taken from may take it (where writing it back changes nothing). Returns outcome counts."""
    files, states = [], {}
    for seed in range(4):
        path = os.path.join(directory, f"store{seed}.h5")
        with DB(path, "w") as store:
            for b in range(2 + seed):
                store.add(batch(10 * seed + b), 16 * b)
                shutil.copyfile(path, f"{path}.{b}")
                files.append(f"{path}.{b}")
        states[path] = f"{path}.{1 + seed}"  # the state the next flush starts from
        with pytest.MonkeyPatch.context() as monkeypatch:
            states[path] = (states[path], capture_journal(path, monkeypatch, batch(99), 1000))
    outcomes = []
    target = os.path.join(directory, "target.h5")
    for own, (state, journal) in states.items():
        for other in files:
            shutil.copyfile(other, target)
            before = entries(target)
            with open(target + "-journal", "wb") as f:
                f.write(journal)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                DB(target, "a").close()
            changed = entries(target) != before
            if caught:
                os.remove(target + "-journal.foreign-1")
            kind = "its own state" if other == state else "another file"
            outcomes.append(f"{kind}: {'set aside' if caught else 'applied'}{', file changed' if changed else ''}")
    return outcomes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--full", type=int, default=60)
    parser.add_argument("--openers", type=int, default=25)
    parser.add_argument("--fuzz", type=int, default=20000)
    parser.add_argument("--no-crash-points", action="store_true", help="skip the kill at every write")
    args = parser.parse_args()
    rng = random.Random(11)
    with tempfile.TemporaryDirectory() as d:
        library = None if args.no_crash_points else build_crash_library(d)
        if library:
            base = os.path.join(d, "crash.h5")
            writes = make_crash_base(library, base)
            report("killed at a write", [crash_trial(library, base, os.path.join(d, "c.h5"), at) for at in range(1, writes + 1)])
        else:
            print("killed at a write: skipped" + ("" if args.no_crash_points else ", no C compiler"))
        report("kills", ["intact" if kill_trial(os.path.join(d, f"k{t}.h5"), rng.uniform(0.2, 0.8)) else "lost"
                         for t in range(args.kills)])
        disk = os.path.join(d, "disk")
        os.mkdir(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk], capture_output=True).returncode:
            print("disk full: skipped, cannot mount a tmpfs")
        else:
            try:
                report("disk full", [disk_full_trial(disk, seed) for seed in range(args.full)])
            finally:
                subprocess.run(["umount", "-l", disk], check=True)
        report("file size limit", [disk_full_trial(d, seed, size_limit=True) for seed in range(args.full)])
        for locking in [True, False]:
            outcomes = []
            for seed in range(args.openers):
                problems = second_opener_trial(d, seed, locking)
                outcomes.append("intact" if not problems else "; ".join(problems))
            report(f"second opener (HDF5 locking {'on' if locking else 'off'})", outcomes)
        os.mkdir(os.path.join(d, "pairs"))
        report("journal and file pairs", foreign_pairs(os.path.join(d, "pairs")))
        fuzz_frombytes(rng, args.fuzz)
        print(f"fuzz: {args.fuzz} damaged table encodings decoded or refused cleanly")
        os.mkdir(os.path.join(d, "fuzz"))
        fuzz_journal(os.path.join(d, "fuzz"), rng, args.fuzz // 20)
        print(f"fuzz: {args.fuzz // 20} damaged journals dropped or set aside, the file untouched")


if __name__ == "__main__":
    main()
