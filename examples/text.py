"""Sequence example: the "text" preprocessor on a small TransformerEncoder over synthetic tokens.

Generates token sequences whose class is set by a planted two-token motif (the same tokens in
another order mean another class), trains a small TransformerEncoder classifier, records the
training split's activations and searches them with the held-out split.

    python examples/text.py [--epochs 8] [--store text.h5] [--k 10] [--batch-size 128]
"""

import argparse
import os
import time

import numpy as np
import torch
from tqdm import tqdm

import cquorlin
from retrieval import argument_parser, brute_force, precision, train

PRECISION_AT = (1, 5, 10)
# Class c is marked by MOTIFS[c] at adjacent positions: tokens 1 to 3, in one of six orders.
MOTIFS = [(1, 2), (2, 1), (1, 3), (3, 1), (2, 3), (3, 2)]
FIRST_FILLER = 4  # filler tokens are FIRST_FILLER .. vocab - 1, never a motif token


class Classifier(torch.nn.Module):
    def __init__(self, vocab: int, seq_len: int, n_classes: int, dim: int = 32) -> None:
        super().__init__()
        self.tokens = torch.nn.Embedding(vocab, dim)
        self.positions = torch.nn.Embedding(seq_len, dim)
        layer = torch.nn.TransformerEncoderLayer(dim, nhead=4, dim_feedforward=64, dropout=0.0,
                                                 batch_first=True)
        self.encoder = torch.nn.TransformerEncoder(layer, num_layers=2, enable_nested_tensor=False)
        self.head = torch.nn.Linear(dim, n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        # Positions expanded to the batch so that this layer's output, too, has the batch first.
        pos = torch.arange(x.shape[1]).expand(x.shape[0], -1)
        h = self.encoder(self.tokens(x) + self.positions(pos))
        return self.head(h.mean(1))


def parse_args() -> argparse.Namespace:
    p = argument_parser(__doc__.splitlines()[0], "text.h5", epochs=8)
    p.add_argument("--n", type=int, default=3000, help="sequences generated (default 3000)")
    p.add_argument("--seq-len", type=int, default=16, help="tokens per sequence (default 16)")
    p.add_argument("--vocab", type=int, default=32, help="vocabulary size (default 32)")
    p.add_argument("--seed", type=int, default=0, help="seed of the data, the weights and the shuffling")
    return p.parse_args()


def make_data(n: int, seq_len: int, vocab: int, rng: np.random.Generator):
    """Random filler sequences, each with its class's motif planted at a random position."""
    y = rng.integers(len(MOTIFS), size=n)
    x = rng.integers(FIRST_FILLER, vocab, size=(n, seq_len))
    at = rng.integers(seq_len - 1, size=n)
    motifs = np.array(MOTIFS)[y]
    x[np.arange(n), at] = motifs[:, 0]
    x[np.arange(n), at + 1] = motifs[:, 1]
    return x, y


def embed(emb: torch.nn.Module, x: np.ndarray) -> dict:
    """One batch through the embedding model, as the NumPy arrays the store takes.

    Without gradients: TransformerEncoderLayer declines its fused inference path, which would not
    call its submodules, as soon as they carry forward hooks, so every layer's hook fires.
    """
    with torch.no_grad():
        acts = cquorlin.to_numpy(emb(torch.from_numpy(x)), len(x))
    del acts[".pred"]  # the head's output again
    return acts


def record(db: cquorlin.DB, emb: torch.nn.Module, x: np.ndarray, bs: int) -> float:
    """Adds x batch by batch under the indices 0..N-1; returns the seconds taken."""
    start = time.perf_counter()
    for first in tqdm(range(0, len(x), bs), desc="recording", unit="batch"):
        db.add(embed(emb, x[first:first + bs]), first)
    return time.perf_counter() - start


def search(db: cquorlin.DB, emb: torch.nn.Module, x: np.ndarray, bs: int, k: int):
    """Stored indices per query, best combined score first, and the seconds taken."""
    ranked = []
    start = time.perf_counter()
    for first in range(0, len(x), bs):
        for res in db.search(embed(emb, x[first:first + bs]), k=k):
            # A result dict is in first-met order, not score order.
            ranked.append(sorted(res, key=res.get, reverse=True))
    return ranked, time.perf_counter() - start


def main() -> None:
    args = parse_args()
    # The model is tiny: with several threads, synchronisation costs more than the work itself.
    torch.set_num_threads(1)
    torch.manual_seed(args.seed)
    x, y = make_data(args.n, args.seq_len, args.vocab, np.random.default_rng(args.seed))
    n_train = int(0.8 * args.n)
    x_train, y_train, x_test, y_test = x[:n_train], y[:n_train], x[n_train:], y[n_train:]
    print(f"synthetic sequences: {len(x_train)} stored, {len(x_test)} queries, "
          f"{len(MOTIFS)} classes, {args.seq_len} tokens each")

    t0 = time.perf_counter()
    model = Classifier(args.vocab, args.seq_len, len(MOTIFS))
    train(model, x_train, y_train, args.epochs, args.seed)
    with torch.no_grad():
        acc = (model(torch.from_numpy(x_test)).argmax(1).numpy() == y_test).mean()
    print(f"trained in {time.perf_counter() - t0:.1f} s, held-out accuracy {acc:.3f}")

    emb = cquorlin.get_embedding_model(model)
    layers = list(embed(emb, x_train[:2]))
    print(f"recorded layers ({len(layers)}, weights 1, 4, 9, ...):", ", ".join(layers))

    # "text": a (batch, tokens, features) output becomes, per input, the maximum over the tokens.
    with cquorlin.DB(args.store, mode="w", preprocessor="text") as db:
        t_add = record(db, emb, x_train, args.batch_size)
        ranked, t_search = search(db, emb, x_test, args.batch_size, args.k)
    size = os.path.getsize(args.store)

    # Baseline on the penultimate layer, reduced the way the store reduces it.
    penult = layers[-2]
    feats = lambda x: embed(emb, x)[penult].max(axis=1).astype(np.float64)
    nn_idx = brute_force(feats(x_train), feats(x_test), args.k)

    print(f"\nprecision of label agreement over {len(x_test)} queries (k={args.k}):")
    shown = [n for n in PRECISION_AT if n <= args.k]
    methods = (("activation search", ranked), (f"brute-force L2 on {penult}", nn_idx))
    width = max(len(label) for label, _ in methods)
    print(f"  {'method':{width}s}" + "".join(f"  P@{n:<4d}" for n in shown))
    for label, retrieved in methods:
        figures = [precision(retrieved, y_train, y_test, n) for n in shown]
        print(f"  {label:{width}s}" + "".join(f"  {f:.3f}" for f in figures))
    n_entries = len(x_train) * len(layers)
    print(f"\nrecording: {len(x_train)} inputs in {t_add:.2f} s = {len(x_train) / t_add:.0f} inputs/s "
          f"({n_entries / t_add:.0f} entries/s, forward pass included)")
    print(f"search:    {len(x_test)} queries in {t_search:.2f} s = {len(x_test) / t_search:.0f} queries/s "
          "(forward pass included)")
    print(f"store:     {args.store}: {size / 1024:.1f} KiB on disk")


if __name__ == "__main__":
    main()
