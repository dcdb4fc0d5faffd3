"""Recording a CNN's outputs on the GPU: equality with DB.add and the bytes copied to the host.

Runs a small CNN (3x32x32 inputs; two convolutions, two linear layers) at batch 256 through the
embedding model on the GPU, records its outputs with a recorder straight from the device, and
records the same batches with DB.add on cquorlin.to_numpy's host arrays; the two stores must hold
the same bytes in every table. It also measures what crosses to the host per batch: with the CUDA
profiler (the device-to-host copies' bytes, for the recorder and for to_numpy) and with a tensor
subclass that logs the elements of every tensor handed to the host. Without a GPU the same runs on
the CPU with float32, float64 and bfloat16 outputs, and the profiler part is skipped.

Run: PYTHONPATH=<build dir> python bench/device_check.py [--batches N]   (well under 2 minutes)
"""

import argparse
import json
import os
import tempfile
import time

import h5py
import numpy as np
import torch

import cquorlin

BATCH = 256


class CNN(torch.nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv1 = torch.nn.Conv2d(3, 32, 3, padding=1)
        self.conv2 = torch.nn.Conv2d(32, 64, 3, padding=1)
        self.fc1 = torch.nn.Linear(64 * 16 * 16, 512)
        self.fc2 = torch.nn.Linear(512, 10)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = torch.relu(self.conv1(x))
        x = torch.max_pool2d(torch.relu(self.conv2(x)), 2)
        return self.fc2(torch.relu(self.fc1(x.flatten(1))))


class Counting(torch.Tensor):
    """Logs the number of elements of every tensor handed to the host."""
    moved = []

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        name = getattr(func, "__name__", "")
        to_host = name == "to" and any(isinstance(a, (str, torch.device)) and torch.device(a).type == "cpu"
                                       for a in list(args[1:]) + list(kwargs.values()))
        if name in ("cpu", "tolist", "item", "__array__") or to_host:
            cls.moved.append(args[0].numel())
        return super().__torch_function__(func, types, args, kwargs)


def tables(path):
    with h5py.File(path, "r") as f:
        return {k: f[k][()].tobytes() for k in f}


def outputs(emb, x, dtype):
    with torch.no_grad():
        out = emb(x)
    out.pop(".pred")
    return {k: v.to(dtype) for k, v in out.items()}


def check_equality(emb, inputs, dtype, directory, batches):
    """Records the same batches both ways; returns (identical, recorder s/batch, to_numpy+add s/batch)."""
    add_path, rec_path = os.path.join(directory, "add.h5"), os.path.join(directory, "rec.h5")
    t_rec = t_add = 0.0
    with cquorlin.DB(add_path, "w", preprocessor="image") as a, cquorlin.DB(rec_path, "w", preprocessor="image") as r:
        rec = r.recorder()
        for b in range(batches):
            out = outputs(emb, inputs[b], dtype)
            sync()
            t = time.perf_counter()
            rec.add(out, b * BATCH, batch_size=BATCH)
            t_rec += time.perf_counter() - t
            t = time.perf_counter()
            a.add(cquorlin.to_numpy(out, BATCH), b * BATCH)
            t_add += time.perf_counter() - t
        t = time.perf_counter()
        rec.flush()
        t_rec += time.perf_counter() - t
    return tables(add_path) == tables(rec_path), t_rec / batches, t_add / batches


def sync():
    if torch.cuda.is_available():
        torch.cuda.synchronize()


def tie_heavy(device, seed=0):
    """Outputs whose rows tie often, hold NaN, both zeros and infinities: the device's argmax and
    maximum must resolve them as NumPy does (first maximum, NaN largest)."""
    rng = np.random.default_rng(seed)
    classes = np.array([-2.0, -1.0, -0.5, 0.0, -0.0, 0.5, 1.0, np.inf, -np.inf, np.nan], np.float32)

    def draw(shape):
        base = rng.choice(classes, size=shape)
        return torch.from_numpy((base + np.sign(base) * rng.integers(0, 4, size=shape) * 1e-5).astype(np.float32))
    return {"fc": draw((BATCH, 7)).to(device), "conv": draw((BATCH, 3, 2, 2)).to(device)}


def check_ties(device, directory, batches):
    add_path, rec_path = os.path.join(directory, "tadd.h5"), os.path.join(directory, "trec.h5")
    with cquorlin.DB(add_path, "w", preprocessor="image") as a, cquorlin.DB(rec_path, "w", preprocessor="image") as r:
        with r.recorder(flush_every=3 * BATCH) as rec:
            for b in range(batches):
                out = tie_heavy(device, b)
                rec.add(out, b * BATCH, batch_size=BATCH)
                a.add(cquorlin.to_numpy(out, BATCH), b * BATCH)
    return tables(add_path) == tables(rec_path)


def profiled_dtoh_bytes(fn, directory):
    """Bytes of the device-to-host copies the CUDA profiler saw while `fn` ran."""
    from torch.profiler import ProfilerActivity, profile

    with profile(activities=[ProfilerActivity.CPU, ProfilerActivity.CUDA]) as prof:
        fn()
        sync()
    trace = os.path.join(directory, "trace.json")
    prof.export_chrome_trace(trace)
    with open(trace) as f:
        events = json.load(f)["traceEvents"]
    copies = [e for e in events if e.get("cat") == "gpu_memcpy" and "DtoH" in e.get("name", "")]
    return sum(int(e.get("args", {}).get("bytes", 0)) for e in copies), len(copies)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--batches", type=int, default=8)
    args = p.parse_args()
    cuda = torch.cuda.is_available()
    device = torch.device("cuda" if cuda else "cpu")
    print(f"device: {torch.cuda.get_device_name() if cuda else 'CPU (no GPU: the profiler part is skipped)'}")
    torch.manual_seed(0)
    emb = cquorlin.get_embedding_model(CNN().to(device))
    inputs = [torch.randn(BATCH, 3, 32, 32, device=device) for _ in range(args.batches)]
    layers = len(outputs(emb, inputs[0], torch.float32))
    ok = True
    with tempfile.TemporaryDirectory() as directory:
        print(f"\nequality with DB.add on to_numpy's arrays, {args.batches} batches of {BATCH}, {layers} layers:")
        for dtype in (torch.float32, torch.float16, torch.bfloat16, torch.float64):
            same, t_rec, t_add = check_equality(emb, inputs, dtype, directory, args.batches)
            ok &= same
            print(f"  {str(dtype):15s} identical tables: {same}   recorder {t_rec * 1e3:7.2f} ms/batch, "
                  f"to_numpy + DB.add {t_add * 1e3:7.2f} ms/batch")

        same = check_ties(device, directory, args.batches)
        ok &= same
        print(f"  tie-heavy outputs (NaN, +-0, +-inf, 16-bit ties) identical tables: {same}")

        out = outputs(emb, inputs[0], torch.float32)
        full = sum(v.numel() * 4 for v in out.values())
        counted = {k: v.as_subclass(Counting) for k, v in out.items()}
        Counting.moved.clear()
        with cquorlin.DB(os.path.join(directory, "c.h5"), "w", preprocessor="image") as db, db.recorder() as rec:
            rec.add(counted, 0, batch_size=BATCH)
        per_layer = sum(Counting.moved) / layers / BATCH
        ok &= per_layer == 2
        print(f"\nhanded to the host per batch (tensor subclass): {sum(Counting.moved)} values = {per_layer:g} per "
              f"input and layer; to_numpy copies {full:,} bytes")

        if cuda:
            with cquorlin.DB(os.path.join(directory, "p.h5"), "w", preprocessor="image") as db:
                rec = db.recorder()
                rec.add(out, 0, batch_size=BATCH)  # warm-up
                rec_bytes, rec_copies = profiled_dtoh_bytes(lambda: rec.add(out, BATCH, batch_size=BATCH), directory)
                rec.flush()
            np_bytes, np_copies = profiled_dtoh_bytes(lambda: cquorlin.to_numpy(out, BATCH), directory)
            per_input = rec_bytes / layers / BATCH
            ok &= rec_bytes == 8 * layers * BATCH
            print(f"device-to-host copies per batch (CUDA profiler): recorder {rec_bytes:,} bytes in {rec_copies} "
                  f"copies = {per_input:g} bytes per input and layer (an int32 neuron number and a float32 value); "
                  f"to_numpy {np_bytes:,} bytes in {np_copies} copies ({np_bytes / max(rec_bytes, 1):,.0f}x)")
    print("\nall checks passed" if ok else "\nSOME CHECKS FAILED")
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
