"""The store under faults: calls that fail part-way, a full disk, a second process, journals that
belong elsewhere, planted links and hostile input. What could crash the process runs in a child."""

import errno
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import time
import warnings

import h5py
import numpy as np
import pytest

import cquorlin
from cquorlin import DB, Table
from test_store import entries, journal_blocks, stored, write_file


def batch(b, inputs=16):
    return {"fc": np.random.default_rng(b).random((inputs, 8), np.float32)}


def indices(path):
    """Every stored input index of the "fc" layer, repeats kept, read through DB (which recovers)."""
    with DB(path, "r") as store:
        return sorted(i for k in store.file.keys() for i in store._tomemory(k).idxs.tolist())


def snapshot(path):
    with h5py.File(path, "r") as f:
        attrs = dict(f.attrs)
    return attrs, stored(path)


def forked(fn):
    """Runs fn() in a forked child: "ok", the name of the exception it raised, or "signal N"."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child leaves through os._exit
        os.close(r)
        try:
            fn()
            outcome = "ok"
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            outcome = type(e).__name__
        os.write(w, outcome.encode())
        os._exit(0)
    os.close(w)
    _, status = os.waitpid(pid, 0)
    outcome = os.read(r, 4096).decode()
    os.close(r)
    return f"signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status) else outcome


# ---------------------------------------------------------------------------------------------
# A call that raises leaves the file as it was; a retry stores its change once


def make_change(store, op, step):
    """One change of each kind a store writes: the retry of a failed one repeats it."""
    if op == "add":
        store.add(batch(step), 16 * step)
    elif op == "preprocessor":
        store.preprocessor = "text" if step % 2 else "image"
    else:
        store._get_table(f"table_fc_{step}").add(step, 1.0)
        if op == "_flush_cache":
            store._flush_cache()
        else:
            store.close()


def failing_flush(monkeypatch, after_writing):
    """Makes the next h5py flush fail, after writing the file or before."""
    real = h5py.File.flush

    def flush(self):
        monkeypatch.setattr(h5py.File, "flush", real)
        if after_writing:
            real(self)
        raise OSError(errno.ENOSPC, "injected flush failure")

    monkeypatch.setattr(h5py.File, "flush", flush)


@pytest.mark.parametrize("after_writing", [False, True])
@pytest.mark.parametrize("op", ["add", "_flush_cache", "preprocessor", "close"])
def test_failed_flush_leaves_file_as_before(store_path, monkeypatch, op, after_writing):
    with DB(store_path, "w", preprocessor="image") as store:
        make_change(store, "add", 0)
        before = snapshot(store_path)
        failing_flush(monkeypatch, after_writing)
        with pytest.raises(OSError, match="injected"):
            make_change(store, op, 1)
        assert snapshot(store_path) == before and not os.path.exists(store_path + "-journal")
        assert isinstance(store.file, h5py.File) and store.file.mode == "r+"
        make_change(store, op, 1)  # the retry, once
    if op == "add":
        assert indices(store_path) == list(range(32))
    elif op == "preprocessor":
        assert DB(store_path, "r").preprocessor == "text"
    else:
        assert ("table_fc_1", 1, 1.0) in entries(store_path)


@pytest.mark.parametrize("blocker", ["directory", "symlink"])
def test_add_that_cannot_write_its_journal_records_nothing(store_path, tmp_path, blocker):
    target = tmp_path / "target"
    target.write_bytes(b"not a journal")
    with DB(store_path, "w") as store:
        store.add(batch(0), 0)
        before = snapshot(store_path)
        if blocker == "directory":
            os.mkdir(store_path + "-journal")
        else:
            os.symlink(target, store_path + "-journal")
        with pytest.raises(FileExistsError):
            store.add(batch(1), 16)
        assert snapshot(store_path) == before
    assert snapshot(store_path) == before and target.read_bytes() == b"not a journal"
    (os.rmdir if blocker == "directory" else os.remove)(store_path + "-journal")
    with DB(store_path, "a") as store:
        store.add(batch(1), 16)
    assert indices(store_path) == list(range(32))


def test_store_refuses_writes_when_its_file_cannot_be_restored(store_path, monkeypatch):
    """HDF5 failing to close after a failed flush: the journal stays for the next open, the store
    writes nothing more through HDF5's memory, and nothing it is asked to do crashes."""
    with DB(store_path, "w") as store:
        make_change(store, "add", 0)
    before = snapshot(store_path)

    def child():
        store = DB(store_path, "a")
        failing_flush(monkeypatch, after_writing=True)

        def close(self):
            raise RuntimeError("injected close failure")

        monkeypatch.setattr(h5py.File, "close", close)
        with pytest.raises(OSError, match="injected flush"):
            store.add(batch(1), 16)
        assert os.path.exists(store_path + "-journal")
        assert len(store.search(batch(0))) == 16  # reads go on
        for op in ["add", "_flush_cache", "preprocessor"]:
            with pytest.raises(OSError, match="open the store again"):
                make_change(store, op, 2)
        with pytest.raises(RuntimeError, match="injected close"):
            store.close()

    assert forked(child) == "ok"
    assert indices(store_path) == list(range(16)) and snapshot(store_path) == before


# ---------------------------------------------------------------------------------------------
# A full disk


@pytest.fixture(scope="module")
def small_disk(tmp_path_factory):
    """A 2 MiB tmpfs: needs root and mount, as CI has; skipped elsewhere."""
    where = tmp_path_factory.mktemp("disk")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(where)], capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    yield str(where)
    subprocess.run(["umount", "-l", str(where)], check=True)


def disk_full_trial(directory, seed, size_limit=False):
    """A child records batches until the disk is full (or, with `size_limit`, until the store meets
    the process's file size limit), makes room, retries the failed batch and closes. Returns "ok"
    when the store then holds every batch whose add returned, once, or what went wrong."""
    work = os.path.join(directory, f"trial{seed}")
    os.mkdir(work)
    path, filler = os.path.join(work, "s.h5"), os.path.join(work, "filler")
    room = random.Random(seed).randrange(150_000, 400_000)
    if not size_limit:
        stats = os.statvfs(directory)
        write_file(filler, bytes(stats.f_bavail * stats.f_frsize - room))
    r, w = os.pipe()

    def child():
        rng = np.random.default_rng(seed)
        store, b = DB(path, "w", preprocessor="image"), 0
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        if size_limit:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
            resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + room, hard))
        while True:
            acts = {"fc": rng.random((32, int(rng.integers(8, 200))), np.float32)}
            try:
                store.add(acts, 32 * b)
            except OSError as e:
                assert e.errno == (errno.EFBIG if size_limit else errno.ENOSPC)
                break
            b += 1
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        if not size_limit:
            os.remove(filler)
        store.add(acts, 32 * b)
        store.close()
        os.write(w, (b + 1).to_bytes(4, "little"))

    outcome = forked(child)
    os.close(w)
    done = int.from_bytes(os.read(r, 4) or b"\0", "little")
    os.close(r)
    if outcome == "ok" and indices(path) != list(range(32 * done)):
        outcome = "wrong entries"
    shutil.rmtree(work)
    return outcome


@pytest.mark.parametrize("seed", range(3))
def test_full_disk_fails_an_add_cleanly(small_disk, seed):
    assert disk_full_trial(small_disk, seed) == "ok"


@pytest.mark.parametrize("seed", range(2))
def test_file_size_limit_fails_an_add_cleanly(tmp_path, seed):
    assert disk_full_trial(str(tmp_path), seed, size_limit=True) == "ok"


# ---------------------------------------------------------------------------------------------
# A process killed at one of HDF5's writes

CRASH_CHILD = """
import sys
import numpy as np
from cquorlin import DB
store = DB(sys.argv[1], "a")
for b in range(2):
    rng = np.random.default_rng(b)
    store.add({"fc": rng.random((32, 64), np.float32), "conv": rng.random((32, 4, 3, 3), np.float32)}, 1000 + 32 * b)
    print(b, flush=True)
"""


def build_crash_library(directory):
    """Compiles crash_writes.c, which kills a process at a chosen write, into `directory`; None
    where no C compiler is found."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        return None
    library = os.path.join(directory, "crash_writes.so")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_writes.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-o", library, source, "-ldl"], check=True)
    return library


def crash_at_write(library, base, work, at):
    """Runs CRASH_CHILD on a copy of the store `base`, killed at its write `at` (0: not killed).
    Returns the batches whose add returned, the child's standard error, and its exit status."""
    shutil.copy(base, work)
    # After whatever is preloaded already (a sanitizer's runtime must come first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
    env = dict(os.environ, LD_PRELOAD=preload, CRASH_AT_WRITE=str(at))
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(cquorlin.__file__), os.environ.get("PYTHONPATH", "")])
    child = subprocess.run([sys.executable, "-c", CRASH_CHILD, work], env=env, capture_output=True, text=True)
    return len(child.stdout.split()), child.stderr, child.returncode


def make_crash_base(library, base, neurons=1):
    """A store of three batches at `base`, recording `neurons` neurons per input and layer; returns
    how many writes the child makes into it when nothing stops it."""
    rng = np.random.default_rng(0)
    with DB(base, "w", preprocessor="image") as store:
        store.neurons = neurons
        for b in range(3):
            store.add({"fc": rng.random((32, 64), np.float32), "conv": rng.random((32, 4, 3, 3), np.float32)}, 32 * b)
    done, err, status = crash_at_write(library, base, base + ".count", 0)
    assert done == 2 and status == 0, err
    return int(err.split("writes:")[1])


def check_crashed_store(path, done):
    """The store opens, holds the three first batches and every batch whose add returned, holds the
    interrupted batch whole or not at all, and takes another batch."""
    with DB(path, "r") as store:
        found = set()
        for key in store.file.keys():
            found |= set(store._tomemory(key).idxs.tolist())
    kept = set(range(96)) | {i for b in range(done) for i in range(1000 + 32 * b, 1032 + 32 * b)}
    interrupted = set(range(1000 + 32 * done, 1032 + 32 * done)) if done < 2 else set()
    assert found in (kept, kept | interrupted)
    with DB(path, "a") as store:
        store.add({"fc": np.eye(64, dtype=np.float32), "conv": np.ones((64, 4, 3, 3), np.float32)}, 10**6)
    assert not os.path.exists(path + "-journal")


def crash_trial(library, base, work, at):
    """A child killed at its write `at`: "intact" when the store then holds what it should, or
    what went wrong."""
    done, err, status = crash_at_write(library, base, work, at)
    if status != -signal.SIGKILL:
        return f"not killed: {err[-300:]}"
    try:
        check_crashed_store(work, done)
    except Exception as e:  # noqa: BLE001 - reported
        return f"{type(e).__name__}: {e}"
    return "intact"


@pytest.fixture(scope="module")
def crash_library(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("crash"))
    library = build_crash_library(directory)
    if not library:
        pytest.skip("no C compiler")
    return library, directory


@pytest.fixture(scope="module")
def crash_base(crash_library):
    library, directory = crash_library
    base = os.path.join(directory, "base.h5")
    return library, base, make_crash_base(library, base)


@pytest.mark.parametrize("part", range(8))
def test_killed_at_a_write_loses_nothing(crash_base, tmp_path, part):
    # Eight crash points spread over the child's writes; bench/fault_trials.py tries every one.
    library, base, writes = crash_base
    at = 1 + (part * writes) // 8 + random.Random(part).randrange(max(writes // 8, 1))
    assert crash_trial(library, base, str(tmp_path / "s.h5"), at) == "intact"


@pytest.fixture(scope="module")
def crash_base_of_four_neurons(crash_library):
    library, directory = crash_library
    base = os.path.join(directory, "base4.h5")
    return library, base, make_crash_base(library, base, neurons=4)


@pytest.mark.parametrize("part", range(2))
def test_killed_at_a_write_loses_nothing_of_a_store_of_four_neurons(crash_base_of_four_neurons, tmp_path, part):
    # Each input in four tables per layer: a killed add still keeps its batch whole or not at all.
    library, base, writes = crash_base_of_four_neurons
    at = 1 + (part * writes) // 2 + random.Random(part).randrange(max(writes // 2, 1))
    assert crash_trial(library, base, str(tmp_path / "s.h5"), at) == "intact"


# ---------------------------------------------------------------------------------------------
# A second process while a writer is inside a flush


def second_opener_trial(directory, seed, hdf5_locking=True):
    """A child stops inside the flush of its second add; other opens must fail (or, without
    HDF5's locks, leave the journal alone); killed there, the store keeps its first batch."""
    path = os.path.join(directory, f"opened{seed}.h5")
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - killed by the parent
        os.close(r)
        if not hdf5_locking:
            os.environ["HDF5_USE_FILE_LOCKING"] = "FALSE"
        store = DB(path, "w")
        store.add(batch(seed), 0)
        real = h5py.File.flush

        def flush(self):
            real(self)
            os.write(w, b"x")
            time.sleep(60)

        h5py.File.flush = flush
        store.add(batch(seed + 1), 16)
        os._exit(1)
    os.close(w)
    problems = []
    try:
        assert os.read(r, 1) == b"x"
        with open(path + "-journal", "rb") as f:
            journal = f.read()
        with open(path, "rb") as f:
            image = f.read()
        for mode in ["r", "a", "r+", "w"] if hdf5_locking else ["r"]:
            try:
                DB(path, mode, locking=hdf5_locking).close()
                if hdf5_locking:
                    problems.append(f"{mode}: opened")
            except OSError:
                pass
            with open(path + "-journal", "rb") as f:
                if f.read() != journal:
                    problems.append(f"{mode}: journal changed")
            with open(path, "rb") as f:
                if f.read() != image:
                    problems.append(f"{mode}: file changed")
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(r)
    if indices(path) != list(range(16)):
        problems.append("first batch lost")
    return problems


@pytest.mark.parametrize("hdf5_locking", [True, False])
def test_second_opener_leaves_a_live_journal_alone(tmp_path, hdf5_locking):
    assert second_opener_trial(str(tmp_path), 0, hdf5_locking) == []


# ---------------------------------------------------------------------------------------------
# Journals that do not belong to the file beside them, and where journals go


def capture_journal(path, monkeypatch, acts, idx):
    """Adds to the store at `path` and returns the journal its flush kept beside the file."""
    captured = []
    real = h5py.File.flush

    def flush(self):
        real(self)
        with open(path + "-journal", "rb") as f:
            captured.append(f.read())

    with DB(path, "a") as store:
        monkeypatch.setattr(h5py.File, "flush", flush)
        store.add(acts, idx)
        monkeypatch.undo()
    return captured[-1]


def replace_store(path, how, backup, other):
    if how == "backup":  # restored in place: same inode, an older state
        shutil.copyfile(backup, path)
    elif how == "repacked":  # the same tables, rewritten into a new file
        with h5py.File(path, "r") as src, h5py.File(path + ".new", "w") as dst:
            dst.attrs.update(src.attrs)
            for k in src:
                dst[k] = src[k][()]
        os.replace(path + ".new", path)
    elif how == "recreated":  # another store under the same name
        os.remove(path)
        shutil.copyfile(other, path)
    else:
        os.remove(path)


@pytest.mark.parametrize("how", ["backup", "repacked", "recreated", "removed"])
def test_foreign_journal_is_set_aside(tmp_path, monkeypatch, how):
    path, backup, other = (str(tmp_path / n) for n in ["s.h5", "backup.h5", "other.h5"])
    for p, seed in [(path, 0), (other, 50)]:
        with DB(p, "w") as store:
            for b in range(4):
                store.add(batch(seed + b), 16 * b)
            if p == path:
                shutil.copyfile(path, backup)
                store.add(batch(seed + 9), 64)
    journal = capture_journal(path, monkeypatch, batch(10), 80)
    replace_store(path, how, backup, other)
    present = entries(path) if how != "removed" else set()
    write_file(path + "-journal", journal)
    with pytest.warns(RuntimeWarning, match="does not belong to .* set aside as .*foreign-1"):
        DB(path, "a").close()
    assert entries(path) == present and not os.path.exists(path + "-journal")
    with open(path + "-journal.foreign-1", "rb") as f:
        assert f.read() == journal


def test_journal_of_another_version_is_set_aside(store_path):
    with DB(store_path, "w") as store:
        store.add(batch(0), 0)
    before = snapshot(store_path)
    write_file(store_path + "-journal", b"QRLNJRN1" + bytes(64))
    with pytest.warns(RuntimeWarning, match="set aside"):
        DB(store_path, "a").close()
    assert snapshot(store_path) == before and os.path.exists(store_path + "-journal.foreign-1")


def test_symlink_at_journal_path_is_never_followed(store_path, tmp_path):
    target = tmp_path / "target"
    target.write_bytes(b"precious")
    with DB(store_path, "w") as store:
        store.add(batch(0), 0)
    os.symlink(target, store_path + "-journal")
    with pytest.warns(RuntimeWarning, match="set aside"):
        with DB(store_path, "a") as store:
            store.add(batch(1), 16)
    assert target.read_bytes() == b"precious" and os.path.islink(store_path + "-journal.foreign-1")
    assert indices(store_path) == list(range(32))


def test_journal_path_fixed_at_open(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path / "a")
    store = DB("s.h5", "w")
    monkeypatch.chdir(tmp_path / "b")
    seen = []
    real = h5py.File.flush

    def flush(self):
        seen.append((os.path.exists(tmp_path / "a" / "s.h5-journal"), os.path.exists(tmp_path / "b" / "s.h5-journal")))
        real(self)

    monkeypatch.setattr(h5py.File, "flush", flush)
    store.add(batch(0), 0)
    monkeypatch.undo()
    store.close()
    assert seen == [(True, False)] and indices(str(tmp_path / "a" / "s.h5")) == list(range(16))


# ---------------------------------------------------------------------------------------------
# Hostile and malformed input


class MaxReturns(np.ndarray):
    result = None

    def max(self, *args, **kwargs):
        return type(self).result


@pytest.mark.parametrize("result", [3, [[1.0, 2.0]], np.ones(4), np.ones((2, 2, 2))])
def test_text_reduction_must_give_a_matrix(store_path, result):
    def child():
        with DB(store_path, "w", preprocessor="text") as store:
            MaxReturns.result = result
            acts = np.ones((2, 3, 4)).view(MaxReturns)
            with pytest.raises(TypeError, match="two-dimensional array"):
                store.add({"tok": acts}, 0)
            with pytest.raises(TypeError, match="two-dimensional array"):
                store.search({"tok": acts})

    assert forked(child) == "ok"


class Reshaper:
    """An element whose conversion to float shrinks the array it came from."""

    array = None

    def __init__(self, v):
        self.v = v

    def __float__(self):
        Reshaper.array.resize((1, 1), refcheck=False)
        return float(self.v)

    def __gt__(self, other):
        return self.v > other.v

    def __lt__(self, other):
        return self.v < other.v


def test_object_array_reshaped_during_reduction(store_path):
    def child():
        values = np.arange(64, dtype=float).reshape(8, 8)[::-1]
        acts = np.empty((8, 8), object)
        acts[...] = [[Reshaper(v) for v in row] for row in values]
        Reshaper.array = acts
        with DB(store_path, "w") as store:
            store.add({"fc": acts}, 0)
        assert entries(store_path) == {(f"table_fc_{7}", i, 63.0 - 8 * i) for i in range(8)}

    assert forked(child) == "ok"


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda f: f.create_dataset("table_fc_0", data=h5py.Empty("u1")), ValueError),
        (lambda f: f.create_dataset("table_fc_0", shape=(2**62 + 1, 4), dtype="u1", chunks=(1, 1)), OverflowError),
        (lambda f: f.create_dataset("table_fc_0", shape=(2**32, 2**32), dtype="u1", chunks=(1, 1)), OverflowError),
    ],
)
def test_malformed_table_datasets_raise(store_path, make, error):
    DB(store_path, "w").close()
    with h5py.File(store_path, "a") as f:
        make(f)
    def layout():
        with h5py.File(store_path, "r") as f:
            return {k: (f[k].shape, f[k].id.get_offset()) for k in f}

    before = layout()

    def child():
        with DB(store_path, "a") as store:
            with pytest.raises(error, match="table_fc_0"):
                store._tomemory("table_fc_0")
            with pytest.raises(error):
                store.add({"fc": np.eye(1)}, 0)

    assert forked(child) == "ok"
    assert layout() == before


def misaligned(array):
    """The same values in a buffer that starts one byte past an aligned address."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = raw[1:].view(array.dtype)
    view[...] = array
    assert not view.flags.aligned
    return view


def test_misaligned_columns_read_as_aligned():
    idxs, vals = np.arange(50, dtype=np.uint32), np.sort(np.random.default_rng(1).random(50, np.float32))
    aligned, shifted = Table(idxs, vals), Table(misaligned(idxs), misaligned(vals))
    assert shifted.tobytes() == aligned.tobytes()
    for t in (aligned, shifted):
        t.add(7, 0.5)
    shifted._flush()
    aligned._flush()
    assert shifted.tobytes() == aligned.tobytes()
    assert [a.tolist() for a in shifted.search(0.25, 5)] == [a.tolist() for a in aligned.search(0.25, 5)]


# ---------------------------------------------------------------------------------------------
# Structured fuzzing of the two readers of untrusted bytes


def mutated(data, rng):
    """`data` with one structured fault: a byte changed, a field overwritten, bytes cut or added."""
    data = bytearray(data)
    kind = rng.randrange(4)
    at = rng.randrange(len(data))
    if kind == 0:
        data[at] = rng.randrange(256)
    elif kind == 1:
        data[at : at + 8] = rng.choice([0, 1, 2**31, 2**63, 2**64 - 1, len(data)]).to_bytes(8, "little")[: len(data) - at]
    elif kind == 2:
        del data[at:]
    else:
        data[at:at] = bytes(rng.randrange(1, 16))
    return bytes(data)


def fuzz_frombytes(rng, cases):
    """Decodes `cases` damaged table encodings: each raises cleanly or decodes within its bytes."""
    sources = [Table(np.arange(n, dtype=dt), np.linspace(-1, 1, n, dtype=np.float32)).tobytes()
               for n, dt in [(0, np.uint16), (5, np.uint16), (9, np.uint32), (3, np.uint64)]]
    for _ in range(cases):
        raw = mutated(rng.choice(sources), rng) if rng.random() < 0.9 else bytes(rng.randrange(0, 12))
        try:
            t = Table.frombytes(bytearray(raw))
        except (IndexError, ValueError):
            continue
        assert t.idxs.nbytes + 2 * len(t.vals) <= len(raw)  # nothing read past the bytes
        again = Table.frombytes(bytearray(t.tobytes()))
        assert again.idxs.tobytes() == t.idxs.tobytes() and again.vals.tobytes() == t.vals.tobytes()


def fnv1a(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) % 2**64
    return h


def structure_fields(journal):
    """Offsets of the journal's fields that give its identity and shape (not addresses or bytes)."""
    fields, at = [8, 16, 24], 32
    for _, data in journal_blocks(journal):
        fields.append(at + 8)
        at += 16 + len(data)
    fields.append(at)
    fields += [at + 8 + 24 * s + f for s in range(int.from_bytes(journal[at : at + 8], "little")) for f in (0, 8, 16)]
    return fields


def test_frombytes_structured_fuzz():
    fuzz_frombytes(random.Random(7), 2000)


def fuzz_journal(directory, rng, cases):
    """Opens a store beside `cases` damaged journals: one whose checksum fails is dropped, one that
    checks out but does not describe this file is set aside; neither writes to the file."""
    path = os.path.join(directory, "fuzzed.h5")
    with DB(path, "w") as store:
        for b in range(3):
            store.add(batch(b), 16 * b)
    before = entries(path)
    with pytest.MonkeyPatch.context() as monkeypatch:
        journal = capture_journal(path, monkeypatch, batch(3), 48)
    with open(path, "rb") as f:
        image = f.read()
    after = entries(path)
    fields = structure_fields(journal)
    for trial in range(cases):
        if trial % 2:  # a field rewritten and the checksum made to fit: the parser must refuse it
            bad = bytearray(journal)
            at = rng.choice(fields)
            bad[at : at + 8] = rng.choice([0, 1, 2**32, 2**63, 2**64 - 1, len(journal)]).to_bytes(8, "little")
            bad[-8:] = fnv1a(bad[:-8]).to_bytes(8, "little")
            bad = bytes(bad)
        else:
            bad = mutated(journal, rng)
        write_file(path, image)
        write_file(path + "-journal", bad)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            DB(path, "r").close()
        assert not os.path.exists(path + "-journal")
        got = entries(path)
        if bad == journal:
            assert got == before
        else:
            assert got == after and len(caught) == os.path.exists(path + "-journal.foreign-1")
        if os.path.exists(path + "-journal.foreign-1"):
            os.remove(path + "-journal.foreign-1")


def test_journal_reader_structured_fuzz(tmp_path):
    fuzz_journal(str(tmp_path), random.Random(3), 120)
