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
- frozen at a write: the same child stopped (SIGSTOP) at each of its writes in turn, half done; the
  store opened meanwhile in every mode, HDF5's locking on and off; intact when every open failed
  and left the file and journal as they were, and the child, continued, completed both batches.
- frozen in a restore: a child whose flush failed stops as its restore has closed HDF5's handle,
  before it writes the journal back; the same opens; intact as above.
- two handles: a second DB on a store in the same process (every pair of modes with a writer), and
  in another process with HDF5's locking off; intact when refused and the file unchanged.
- compaction: stores owned by another user (mode 0640) keep owner, group and mode; stores with a
  second hard link or another handle are not compacted; compact() on a full disk (2 MiB tmpfs,
  room left from 5% to 95% of the store) raises OSError(ENOSPC) and leaves the store whole.
- foreign journals: the journal of one store's flush placed beside every other store file of a
  set (other stores, older and newer copies of the same store); counts how many were applied.
  Journals whose blocks or recorded end reach far past the file, checksum made to fit, too.
- fuzzing: damaged table encodings and damaged journals, many more cases than the suite.

Run: PYTHONPATH=<build dir> python bench/fault_trials.py [--kills 200] [--full 60] [--openers 25]
"""

import argparse
import collections
import errno
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import h5py
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import pytest  # noqa: E402

from cquorlin import DB  # noqa: E402
from test_faults import (  # noqa: E402
    batch,
    capture_journal,
    disk_full_trial,
    entries,
    fnv1a,
    frozen_at_write_trial,
    frozen_restore_trial,
    fuzz_frombytes,
    fuzz_journal,
    build_crash_library,
    crash_trial,
    make_crash_base,
    second_opener_trial,
    snapshot,
)
from test_store import journal_blocks  # noqa: E402
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


def two_handle_trials(directory):
    """A second DB on a store, in this process and in another without HDF5's locking."""
    outcomes = []
    path = os.path.join(directory, "two.h5")
    for first in ["r", "a", "r+", "w"]:
        for second in ["r", "a", "r+", "w"]:
            if first == second == "r":
                continue
            with DB(path, "w") as store:
                store.add(batch(0), 0)
            with DB(path, first):
                before = snapshot(path)
                try:
                    DB(path, second).close()
                    outcome = "opened"
                except OSError as e:
                    outcome = "refused" if isinstance(e, BlockingIOError) else f"{type(e).__name__} from HDF5"
                changed = snapshot(path) != before
            outcomes.append(f"this process: {outcome}" + (", file changed" if changed else ""))
    for held in ["r", "a"]:
        for mode in ["r", "a", "r+", "w"]:
            if held == mode == "r":
                continue
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:  # the holder, killed below
                os.close(r)
                store = DB(path, held)  # noqa: F841
                os.write(w, b"x")
                time.sleep(60)
                os._exit(1)
            os.close(w)
            os.read(r, 1)
            os.close(r)
            with open(path, "rb") as f:
                image = f.read()
            try:
                DB(path, mode, locking=False).close()
                outcome = "opened"
            except OSError:
                outcome = "refused"
            with open(path, "rb") as f:
                changed = f.read() != image
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            outcomes.append(f"another process, locking off: {outcome}" + (", file changed" if changed else ""))
    return outcomes


def compaction_trials(directory, disk):
    """Compaction of stores owned by another user, with a second name or handle, on a full disk."""
    outcomes = []
    path = os.path.join(directory, "owned.h5")
    for uid, gid, mode in [(12345, 23456, 0o640), (0, 23456, 0o600), (12345, 0, 0o664)]:
        with DB(path, "w") as store:
            for b in range(4):
                store.add(batch(b), 16 * b)
        os.chown(path, uid, gid)
        os.chmod(path, mode)
        with DB(path, "a") as store:
            store.compact()
        st = os.stat(path)
        kept = (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (uid, gid, mode)
        outcomes.append("owner, group and mode kept" if kept else "identity lost")
    for other in ["hard link", "h5py handle"]:
        with DB(path, "w") as store:
            store.add(batch(0), 0)
        if other == "hard link":
            os.link(path, path + ".link")
        with DB(path, "a") as store:
            handle = h5py.File(path, "r") if other == "h5py handle" else None
            try:
                store.compact()
                outcomes.append(f"{other}: compacted")
            except (ValueError, BlockingIOError):
                outcomes.append(f"{other}: refused")
            if handle:
                handle.close()
        if other == "hard link":
            os.remove(path + ".link")
    if disk:
        for step in range(19):
            for name in os.listdir(disk):
                os.remove(os.path.join(disk, name))
            path = os.path.join(disk, "s.h5")
            with DB(path, "w") as store:
                for b in range(12):
                    store.add({"fc": np.random.default_rng(b).random((400, 64), np.float32)}, 400 * b)
            before = snapshot(path)
            stats = os.statvfs(disk)
            fd = os.open(os.path.join(disk, "filler"), os.O_CREAT | os.O_WRONLY)
            os.posix_fallocate(fd, 0, stats.f_bavail * stats.f_frsize - int((0.05 + 0.05 * step) * os.path.getsize(path)))
            os.close(fd)
            try:
                with DB(path, "a") as store:
                    store.compact()
                outcome = "compacted"
            except OSError as e:
                outcome = f"{type(e).__name__} {errno.errorcode.get(e.errno, e.errno)}"
            except Exception as e:  # noqa: BLE001 - counted
                outcome = type(e).__name__
            whole = snapshot(path)[1] == before[1] and not os.path.exists(path + "-compacting")
            outcomes.append(f"full disk: {outcome}" + ("" if whole else ", store changed"))
    return outcomes


def far_journals(directory, monkeypatch_cls, cases=40):
    """Journals whose second block or recorded end of file is moved far past the file."""
    outcomes = []
    path = os.path.join(directory, "far.h5")
    for case in range(cases):
        with DB(path, "w") as store:
            store.add(batch(case), 0)
        with monkeypatch_cls.context() as monkeypatch:
            journal = bytearray(capture_journal(path, monkeypatch, batch(case + 1), 16))
        size = os.path.getsize(path)
        far = (1 << 30) << (case % 11)  # 1 GiB to 1 TiB
        if case % 2:
            at = 32 + 16 + len(journal_blocks(bytes(journal))[0][1])
            journal[at : at + 8] = far.to_bytes(8, "little")
        else:
            journal[32 + 16 + 40 : 32 + 16 + 48] = far.to_bytes(8, "little")
        journal[-8:] = fnv1a(journal[:-8]).to_bytes(8, "little")
        with open(path + "-journal", "wb") as f:
            f.write(journal)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            DB(path, "a").close()
        grown = os.path.getsize(path) > 2 * size
        outcomes.append(("set aside" if caught else "applied") + (", file grown" if grown else ""))
        for name in os.listdir(directory):
            os.remove(os.path.join(directory, name))
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
        if library:
            outcomes = []
            for at in range(1, writes + 1):
                problems = frozen_at_write_trial(library, base, os.path.join(d, "f.h5"), at)
                outcomes.append("intact" if not problems else "; ".join(problems))
            report("frozen at a write", outcomes)
        for locking in [True, False]:
            outcomes = []
            for seed in range(args.openers):
                problems = frozen_restore_trial(d, seed, locking)
                outcomes.append("intact" if not problems else "; ".join(problems))
            report(f"frozen in a restore (HDF5 locking {'on' if locking else 'off'})", outcomes)
        report("two handles", two_handle_trials(d))
        os.mkdir(os.path.join(d, "compaction"))
        mounted = not subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk], capture_output=True).returncode
        try:
            report("compaction", compaction_trials(os.path.join(d, "compaction"), disk if mounted else None))
        finally:
            if mounted:
                subprocess.run(["umount", "-l", disk], check=True)
        os.mkdir(os.path.join(d, "far"))
        report("journals reaching far past the file", far_journals(os.path.join(d, "far"), pytest.MonkeyPatch))
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
