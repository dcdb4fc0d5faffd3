"""End-to-end example: record a small CNN's activations on handwritten digits, then search them.

Trains a small CNN on scikit-learn's 8x8 digits (shipped with the package, no download), records
the training split into a store file, searches it with the held-out split and compares the
retrieved inputs' labels, from DB.search and from DB.query, with a brute-force nearest-neighbour
baseline on the penultimate layer.

    python examples/digits.py [--epochs 12] [--neurons 1] [--store digits.h5] [--k 10] [--batch-size 128]
"""

import argparse
import os
import time

import numpy as np
import torch
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split
from tqdm import tqdm

import cquorlin
from retrieval import argument_parser, brute_force, precision, train

PRECISION_AT = (1, 5, 10)


class Net(torch.nn.Module):
    """Two convolutions and two linear layers: four layers for the embedding model to capture."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = torch.nn.Conv2d(1, 16, 3, padding=1)
        self.conv2 = torch.nn.Conv2d(16, 32, 3, padding=1)
        self.fc1 = torch.nn.Linear(32 * 4 * 4, 64)
        self.fc2 = torch.nn.Linear(64, 10)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = torch.relu(self.conv1(x))
        x = torch.max_pool2d(torch.relu(self.conv2(x)), 2)
        x = torch.relu(self.fc1(x.flatten(1)))
        return self.fc2(x)


def parse_args() -> argparse.Namespace:
    p = argument_parser(__doc__.splitlines()[0], "digits.h5", epochs=12)
    p.add_argument("--layers", nargs="+", default=None, metavar="NAME",
                   help="layers to record, in weighting order (default: all layers, without .pred)")
    p.add_argument("--plot", default="digits.png",
                   help="PNG of queries and their matches (default digits.png)")
    p.add_argument("--no-plot", action="store_true", help="skip the PNG")
    p.add_argument("--seed", type=int, default=0, help="seed of the split, the weights and the shuffling")
    p.add_argument("--neurons", type=int, default=1, help="strongest neurons recorded per input and layer (default 1)")
    return p.parse_args()


def load_data(seed: int):
    """Digits as float32 images of shape (N, 1, 8, 8) scaled to [0, 1], split 80/20 by label."""
    digits = load_digits()
    x = (digits.images / 16.0).astype(np.float32)[:, None]
    return train_test_split(x, digits.target, test_size=0.2, random_state=seed, stratify=digits.target)


def embed(emb: torch.nn.Module, x: np.ndarray, layers: list) -> dict:
    """One batch through the embedding model, as the NumPy arrays the store takes."""
    with torch.no_grad():
        out = emb(torch.from_numpy(x))
    return {name: out[name].detach().cpu().numpy() for name in layers}


def record(db: cquorlin.DB, emb: torch.nn.Module, x: np.ndarray, layers: list, bs: int) -> float:
    """Adds x batch by batch under the indices 0..N-1; returns the seconds taken."""
    start = time.perf_counter()
    for first in tqdm(range(0, len(x), bs), desc="recording", unit="batch"):
        db.add(embed(emb, x[first:first + bs], layers), first)
    return time.perf_counter() - start


def search(db: cquorlin.DB, emb: torch.nn.Module, x: np.ndarray, layers: list, bs: int, k: int):
    """Ranked (index, score) lists per query, best first, and the seconds taken."""
    ranked = []
    start = time.perf_counter()
    for first in range(0, len(x), bs):
        for res in db.search(embed(emb, x[first:first + bs], layers), k=k):
            # A result dict is in first-met order, not score order.
            ranked.append(sorted(res.items(), key=lambda item: item[1], reverse=True))
    return ranked, time.perf_counter() - start


def query(db: cquorlin.DB, emb: torch.nn.Module, x: np.ndarray, layers: list, bs: int, k: int):
    """The stored indices per query from DB.query, best first, and the seconds taken."""
    ranked = []
    start = time.perf_counter()
    for first in range(0, len(x), bs):
        _, found = db.query(embed(emb, x[first:first + bs], layers), k=k)
        ranked.extend([i for i in row if i >= 0] for row in found.tolist())
    return ranked, time.perf_counter() - start


def pick_queries(ranked: list, y_train: np.ndarray, y_query: np.ndarray, n: int = 6) -> list:
    """The first n - 1 queries plus the first one whose best match has the wrong label, if any."""
    misses = [q for q, r in enumerate(ranked) if not r or y_train[r[0][0]] != y_query[q]]
    picked = list(range(n - 1))
    return picked + [misses[0] if misses and misses[0] >= n - 1 else n - 1]


def plot(path: str, x_query, y_query, x_train, y_train, ranked, queries: list, n_shown: int = 6) -> None:
    import matplotlib
    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(queries), n_shown + 1, figsize=(1.4 * (n_shown + 1), 1.6 * len(queries)))
    for row, q in enumerate(queries):
        axes[row, 0].imshow(x_query[q, 0], cmap="gray_r")
        axes[row, 0].set_title(f"query: {y_query[q]}", fontsize=8, color="blue")
        for col in range(1, n_shown + 1):
            ax = axes[row, col]
            if col - 1 < len(ranked[q]):
                idx, score = ranked[q][col - 1]
                ax.imshow(x_train[idx, 0], cmap="gray_r")
                ax.set_title(f"{y_train[idx]} ({score:.1f})", fontsize=8,
                             color="green" if y_train[idx] == y_query[q] else "red")
        for ax in axes[row]:
            ax.set_xticks([])
            ax.set_yticks([])
    fig.suptitle("held-out queries (left), their top stored matches: label (combined score);\n"
                 "green: same label as the query, red: different (last row: a miss, if any)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> None:
    args = parse_args()
    # The model is tiny: with several threads, synchronisation costs more than the work itself.
    torch.set_num_threads(1)
    torch.manual_seed(args.seed)
    x_train, x_test, y_train, y_test = load_data(args.seed)
    print(f"digits: {len(x_train)} stored, {len(x_test)} queries")

    t0 = time.perf_counter()
    model = Net()
    train(model, x_train, y_train, args.epochs, args.seed)
    with torch.no_grad():
        acc = (model(torch.from_numpy(x_test)).argmax(1).numpy() == y_test).mean()
    print(f"trained in {time.perf_counter() - t0:.1f} s, held-out accuracy {acc:.3f}")

    emb = cquorlin.get_embedding_model(model)
    with torch.no_grad():
        names = list(emb(torch.from_numpy(x_train[:1])))
    # Keys come in completion order, so later layers get the larger weights; ".pred" would
    # only repeat the last layer's output.
    layers = args.layers or [n for n in names if n != ".pred"]
    print("recorded layers, weights 1, 4, 9, ...:", ", ".join(layers))

    with cquorlin.DB(args.store, mode="w", preprocessor="image") as db:
        db.neurons = args.neurons
        t_add = record(db, emb, x_train, layers, args.batch_size)
        ranked, t_search = search(db, emb, x_test, layers, args.batch_size, args.k)
        queried, t_query = query(db, emb, x_test, layers, args.batch_size, args.k)
    size = os.path.getsize(args.store)

    # Baseline: the penultimate layer is the second last in execution order.
    penult = [n for n in names if n != ".pred"][-2]
    feats = lambda x: embed(emb, x, [penult])[penult].astype(np.float64)
    nn_idx = brute_force(feats(x_train), feats(x_test), args.k)

    print(f"\nprecision of label agreement over {len(x_test)} queries (k={args.k}):")
    print(f"  {'method':32s}" + "".join(f"  P@{n:<4d}" for n in PRECISION_AT if n <= args.k))
    db_idx = [[i for i, _ in r] for r in ranked]
    for label, retrieved in (("activation search", db_idx), ("activation query", queried),
                             (f"brute-force L2 on {penult}", nn_idx)):
        print(f"  {label:32s}" + "".join(f"  {precision(retrieved, y_train, y_test, n):.3f}"
                                          for n in PRECISION_AT if n <= args.k))
    n_entries = len(x_train) * len(layers)
    print(f"\nrecording: {len(x_train)} inputs in {t_add:.2f} s = {len(x_train) / t_add:.0f} inputs/s "
          f"({n_entries / t_add:.0f} entries/s, forward pass included)")
    print(f"search:    {len(x_test)} queries in {t_search:.2f} s = {len(x_test) / t_search:.0f} queries/s "
          "(forward pass included)")
    print(f"query:     {len(x_test)} queries in {t_query:.2f} s = {len(x_test) / t_query:.0f} queries/s "
          "(forward pass included)")
    print(f"store:     {args.store}: {size / 1024:.1f} KiB on disk")

    if not args.no_plot:
        plot(args.plot, x_test, y_test, x_train, y_train, ranked, pick_queries(ranked, y_train, y_test))
        print(f"picture:   {args.plot}")


if __name__ == "__main__":
    main()
