"""DB.query against DB.search and exact cosine search on the sentence example's data, every target in one run.

The activations of all-MiniLM-L6-v2 for the 1,952 sentences of examples/sentences.py and for the
300 x 4 changed copies it queries are computed once and kept in an .npz (--cache), each layer
already reduced as the "text" preprocessor reduces it (the maximum over the real tokens), so that
later runs spend no forward pass. From those it records an m = 1 store with DB.add and an m = 1 and
an m = 4 store through the recorder (CPU time of each), then measures recall@1 and recall@10 of
the original sentence per query form for cosine search, DB.search, DB.query with its defaults and
the variants given by --variants, and the CPU time per query of DB.search and DB.query on the m = 1
store, single queries and batches of 64. The stores are recorded in the example's batches: the order
of equal values in a table decides what DB.search picks among them.

Run: PYTHONPATH=<build dir> python bench/bench_query.py [--cache build/sentences_acts.npz] [--variants]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FORMS = ("unchanged", "two words dropped", "two words swapped", "one word replaced")


def example():
    """examples/sentences.py as a module (it sets the offline switches before transformers loads)."""
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    import sentences

    return sentences


def recording_batches(size):
    """The batches in which the example records its sentences: the order of entries among equal
    values in a table, which decides what DB.search picks among them."""
    ex = example()
    return ex.batches(ex.load_sentences(), size)


def compute_activations(path, queries, seed):
    """The reduced activations and sentence embeddings of the stored sentences and the queries."""
    ex = example()
    import torch

    torch.set_num_threads(1)
    rng = np.random.default_rng(seed)
    texts = ex.load_sentences()
    vocabulary = sorted({w for s in texts for w in s.split() if w.isalpha() and w.islower()})
    sample = rng.choice(len(texts), min(queries, len(texts)), replace=False)
    asked = [ex.perturb(texts[i], kind, vocabulary, rng) for kind in ex.PERTURBATIONS for i in sample]
    encode = ex.Encoder(None)

    def run(items):
        acts, feats = {}, np.empty((len(items), 384), np.float32)
        for idx in ex.batches(items, 128):
            out, pooled = encode([items[i] for i in idx])
            feats[idx] = pooled
            for name, a in out.items():
                # The "text" reduction: the maximum over every axis but the first and the last.
                a = a.max(axis=tuple(range(1, a.ndim - 1))) if a.ndim > 2 else a
                acts.setdefault(name, np.empty((len(items), a.shape[1]), np.float32))[idx] = a
        return acts, feats

    stored, feats = run(texts)
    asked_acts, asked_feats = run(asked)
    layers = encode.layers
    arrays = {"layers": np.array(layers), "feats": feats, "asked_feats": asked_feats,
              "truth": np.tile(sample, len(ex.PERTURBATIONS))}
    for j, name in enumerate(layers):
        arrays[f"s{j}"] = stored[name]
        arrays[f"q{j}"] = asked_acts[name]
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    np.savez(path, **arrays)


def load(path):
    data = np.load(path)
    layers = [str(n) for n in data["layers"]]
    stored = {name: data[f"s{j}"] for j, name in enumerate(layers)}
    asked = {name: data[f"q{j}"] for j, name in enumerate(layers)}
    return layers, stored, asked, data["feats"], data["asked_feats"], data["truth"]


def cpu(fn):
    start = time.process_time()
    result = fn()
    return result, time.process_time() - start


def record_with_add(path, stored, batches):
    from cquorlin import DB

    with DB(path, "w") as db:
        for idx in batches:
            db.add({k: v[idx] for k, v in stored.items()}, idx)


def record_with_recorder(path, stored, batches, m, repeat=3):
    """CPU seconds of recording the stored activations, as tensors, through the recorder: of the
    adds and flushes, and with closing the store (which may compact the file) too; the least of
    `repeat` recordings, each into a new store."""
    import torch
    from cquorlin import DB

    tensors = [({k: torch.from_numpy(v[idx]) for k, v in stored.items()}, idx) for idx in batches]
    best = None
    for _ in range(repeat):
        with DB(path, "w") as db:
            db.neurons = m
            start = time.process_time()
            with db.recorder() as rec:
                for outputs, idx in tensors:
                    rec.add(outputs, idx)
            recorded = time.process_time() - start
        took = (recorded, time.process_time() - start)
        best = took if best is None else tuple(min(a, b) for a, b in zip(best, took))
    return best


def ranked_search(db, asked, layers, k, batch=128):
    n = len(next(iter(asked.values())))
    out = []
    for first in range(0, n, batch):
        for res in db.search({name: asked[name][first:first + batch] for name in layers}, k=k):
            out.append(sorted(res, key=res.get, reverse=True)[:k])  # first met first among ties, as the example
    return out


def ranked_query(db, asked, layers, k, batch=128, **kw):
    n = len(next(iter(asked.values())))
    out = []
    for first in range(0, n, batch):
        _, idx = db.query({name: asked[name][first:first + batch] for name in layers}, k=k, **kw)
        out.extend([[i for i in row if i >= 0] for row in idx.tolist()])
    return out


def recalls(ranked, truth, k):
    """Per query form, (R@1, R@k)."""
    per = len(truth) // len(FORMS)
    hits1 = np.array([len(r) > 0 and r[0] == t for r, t in zip(ranked, truth)])
    hitsk = np.array([t in r[:k] for r, t in zip(ranked, truth)])
    return [(hits1[f * per:(f + 1) * per].mean(), hitsk[f * per:(f + 1) * per].mean()) for f in range(len(FORMS))]


def per_query_cpu(fn, queries, repeat):
    """Median CPU seconds per query of `fn(batch)` over the batches."""
    times = []
    for _ in range(repeat):
        for q in queries:
            start = time.process_time()
            fn(q)
            times.append((time.process_time() - start) / len(next(iter(q.values()))))
    return float(np.median(times))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--cache", default=os.path.join(ROOT, "build", "sentences_acts.npz"))
    p.add_argument("--queries", type=int, default=300)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--variants", action="store_true", help="also measure the query's other choices")
    p.add_argument("--dir", default=None, help="where the stores go (default: a temporary directory)")
    args = p.parse_args(argv)
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    import torch

    torch.set_num_threads(1)
    from cquorlin import DB

    if not os.path.exists(args.cache):
        print(f"computing the activations once into {args.cache} ...", flush=True)
        compute_activations(args.cache, args.queries, args.seed)
    layers, stored, asked, feats, asked_feats, truth = load(args.cache)
    n, k = len(feats), args.k
    work = args.dir or tempfile.mkdtemp(prefix="bench_query_")
    paths = {name: os.path.join(work, f"{name}.h5") for name in ("add1", "rec1", "rec4")}
    order = recording_batches(128)
    record_with_add(paths["add1"], stored, order)
    t_rec = {m: record_with_recorder(paths[f"rec{m}"], stored, order, m) for m in (1, 4)}
    size = {name: os.path.getsize(path) for name, path in paths.items()}
    print(f"{n} sentences, {len(truth)} queries ({len(truth) // len(FORMS)} per form), {len(layers)} layers, k={k}")

    rows = {}
    cos = np.argsort(-(asked_feats @ feats.T), axis=1, kind="stable")[:, :k]
    rows["cosine"] = recalls([list(r) for r in cos], truth, k)
    with DB(paths["add1"], "r") as db1, DB(paths["rec4"], "r") as db4:
        rows["search, m=1"] = recalls(ranked_search(db1, asked, layers, k), truth, k)
        rows["query, m=1"] = recalls(ranked_query(db1, asked, layers, k), truth, k)
        rows["query, m=4"] = recalls(ranked_query(db4, asked, layers, k), truth, k)
        if args.variants:
            for label, kw in (("exact", dict(exact=True)), ("no ties", dict(ties=False)),
                              ("no midpoint", dict(midpoint=False)), ("no ties, no midpoint", dict(ties=False, midpoint=False)),
                              ("candidates 13", dict(candidates=13)), ("candidates 26", dict(candidates=26)),
                              ("candidates 104", dict(candidates=104))):
                rows[f"query, m=1, {label}"] = recalls(ranked_query(db1, asked, layers, k, **kw), truth, k)
                if label != "exact":
                    rows[f"query, m=4, {label}"] = recalls(ranked_query(db4, asked, layers, k, **kw), truth, k)
            rows["query m=4 store, neurons=1"] = recalls(ranked_query(db4, asked, layers, k, neurons=1), truth, k)

        print(f"\nrecall of the original sentence (R@1 / R@{k}):")
        print(f"  {'':34s}" + "".join(f"  {f:>20s}" for f in FORMS))
        for label, figures in rows.items():
            print(f"  {label:34s}" + "".join(f"  {a:9.3f} / {b:8.3f}" for a, b in figures))

        # Cost per query on the m = 1 store: single queries and batches of 64, interleaved runs.
        rng = np.random.default_rng(1)
        picks = rng.choice(len(truth), 64 * 6, replace=False)
        singles = [{name: asked[name][i:i + 1] for name in layers} for i in picks[:60]]
        batches = [{name: asked[name][picks[b * 64:(b + 1) * 64]] for name in layers} for b in range(6)]
        for q in singles[:5] + batches[:1]:  # warm the read cache
            db1.search(q, k=k)
            db1.query(q, k=k)
        cost = {}
        for label, queries, repeat in (("single", singles, 2), ("batch of 64", batches, 2)):
            s = per_query_cpu(lambda q: db1.search(q, k=k), queries, repeat)
            qq = per_query_cpu(lambda q: db1.query(q, k=k), queries, repeat)
            cost[label] = (s, qq)

    print("\nCPU per query on the m = 1 store (median):")
    for label, (s, qq) in cost.items():
        print(f"  {label:12s} search {s * 1e3:7.2f} ms   query {qq * 1e3:7.2f} ms   ratio {qq / s:5.2f}")
    for j, what in enumerate(("adds and flushes", "with closing")):
        print(f"{'recording through the recorder (CPU), ' if j == 0 else ' ' * 39}{what}: m=1 {t_rec[1][j]:.2f} s, "
              f"m=4 {t_rec[4][j]:.2f} s, ratio {t_rec[4][j] / t_rec[1][j]:.2f}")
    print(f"store bytes: add m=1 {size['add1']}, recorder m=1 {size['rec1']}, recorder m=4 {size['rec4']}")

    # Every target of the query, met or not, as run_all.py's rows: (figure, value, unit, target).
    q4, q1, c = rows["query, m=4"], rows["query, m=1"], rows["cosine"]
    targets = []
    for f, form in enumerate(FORMS[1:], start=1):
        targets.append((f"m=4 query R@1, {form}", q4[f][0], "", f">= {c[f][0] - 0.02:.3f}"))
        targets.append((f"m=4 query R@{k}, {form}", q4[f][1], "", ">= 0.99"))
        targets.append((f"m=1 query R@1, {form}", q1[f][0], "", ">= 0.85"))
    for label, (s, qq) in cost.items():
        targets.append((f"query / search CPU per query, {label}", qq / s, "x", "<= 3"))
    targets.append(("recorder CPU m=4 / m=1, adds and flushes", t_rec[4][0] / t_rec[1][0], "x", "<= 2"))
    targets.append(("recorder CPU m=4 / m=1, with closing", t_rec[4][1] / t_rec[1][1], "x", "<= 2"))
    targets.append(("bytes m=4 / m=1 (recorder)", size["rec4"] / size["rec1"], "x", "<= 4.2"))
    targets.append(("bytes m=4 (recorder) / m=1 (add)", size["rec4"] / size["add1"], "x", "<= 4.2"))
    print("\ntargets:")
    for label, value, unit, target in targets:
        bound = float(target.split()[1])
        met = value <= bound if target.startswith("<=") else value >= bound
        print(f"  {'met    ' if met else 'NOT met'}  {label}: {value:.3f} (target {target})")
    return [(label, float(value), unit, target) for label, value, unit, target in targets]

if __name__ == "__main__":
    main()
