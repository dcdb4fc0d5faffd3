"""Helpers the examples share: their common options, a training loop and the retrieval figures."""
import argparse
import os
import tempfile
from typing import Optional

import numpy as np
import torch


def argument_parser(description: str, store_name: str, epochs: Optional[int] = None) -> argparse.ArgumentParser:
    """A parser with the options the examples share: batch size, k and the store, and the training
    length for an example that trains its model (`epochs` given)."""
    p = argparse.ArgumentParser(description=description)
    if epochs is not None:
        p.add_argument("--epochs", type=int, default=epochs, help=f"training epochs (default {epochs})")
    p.add_argument("--batch-size", type=int, default=128, help="inputs per add/search call (default 128)")
    p.add_argument("--k", type=int, default=10, help="stored inputs retrieved per query (default 10)")
    p.add_argument("--store", default=os.path.join(tempfile.gettempdir(), store_name),
                   help=f"store file, overwritten (default: {store_name} in the temp directory)")
    return p


def train(model: torch.nn.Module, x: np.ndarray, y: np.ndarray, epochs: int, seed: int) -> None:
    gen = torch.Generator().manual_seed(seed)
    xt, yt = torch.from_numpy(x), torch.from_numpy(y).long()
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    model.train()
    for epoch in range(epochs):
        perm = torch.randperm(len(xt), generator=gen)
        total = 0.0
        for start in range(0, len(xt), 32):
            batch = perm[start:start + 32]
            opt.zero_grad()
            loss = torch.nn.functional.cross_entropy(model(xt[batch]), yt[batch])
            loss.backward()
            opt.step()
            total += loss.item() * len(batch)
        print(f"epoch {epoch + 1:2d}/{epochs}: loss {total / len(xt):.4f}")
    model.eval()


def brute_force(train_feats: np.ndarray, query_feats: np.ndarray, k: int) -> np.ndarray:
    """Indices of the k nearest training rows per query row by Euclidean distance."""
    d2 = ((query_feats ** 2).sum(1)[:, None] - 2 * query_feats @ train_feats.T
          + (train_feats ** 2).sum(1)[None, :])
    return np.argsort(d2, axis=1, kind="stable")[:, :k]


def precision(retrieved: list, y_train: np.ndarray, y_query: np.ndarray, n: int) -> float:
    """Mean share of the top n retrieved inputs that share the query's label; missing ones count as misses."""
    hits = [np.sum(y_train[list(idx)[:n]] == y) if len(idx) else 0 for idx, y in zip(retrieved, y_query)]
    return float(np.mean(hits)) / n
