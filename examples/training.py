"""Training-loop example: record the live model after every epoch and watch its neighbours change.

Trains the digits example's small CNN for a few epochs. Before training and after each epoch it
records the training split into a store through `cquorlin.capture` on the model being trained (no
copy of the model, hooks only while recording), then searches the held-out split. It prints how
well the stored neighbours agree with the queries' labels, and the nearest stored inputs of one
fixed query, epoch by epoch.

    python examples/training.py [--epochs 4] [--query 0] [--store training.h5] [--k 10] [--batch-size 128]
"""

import time

import numpy as np
import torch

import cquorlin
from digits import Net, load_data
from retrieval import argument_parser, precision


def parse_args():
    p = argument_parser(__doc__.splitlines()[0], "training.h5", epochs=4)
    p.add_argument("--query", type=int, default=0, help="held-out input whose neighbours are shown (default 0)")
    p.add_argument("--seed", type=int, default=0, help="seed of the split, the weights and the shuffling")
    return p.parse_args()


def record_and_search(model, path: str, x_train, x_test, bs: int, k: int):
    """Records x_train under 0..N-1 into a new store at `path`, then searches x_test: the stored
    indices per query, best first, the seconds recording took and the recorded layers."""
    model.eval()
    start = time.perf_counter()
    # The hooks sit on the model itself for this block only; `out` holds one batch's layer outputs.
    with torch.no_grad(), cquorlin.capture(model) as out, \
            cquorlin.DB(path, mode="w", preprocessor="image") as db:
        with db.recorder() as rec:
            for first in range(0, len(x_train), bs):
                model(x_train[first:first + bs])
                rec.add(out, first, batch_size=len(x_train[first:first + bs]))
        seconds = time.perf_counter() - start
        ranked = []
        for first in range(0, len(x_test), bs):
            xb = x_test[first:first + bs]
            model(xb)
            for res in db.search(cquorlin.to_numpy(out, len(xb)), k=k):
                ranked.append(sorted(res, key=res.get, reverse=True))
    model.train()
    return ranked, seconds, list(out)


def main() -> None:
    args = parse_args()
    torch.set_num_threads(1)  # a tiny model: more threads cost more than they give
    torch.manual_seed(args.seed)
    x_train, x_test, y_train, y_test = (torch.from_numpy(a) for a in load_data(args.seed))
    model = Net()
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    gen = torch.Generator().manual_seed(args.seed)
    q = args.query
    print(f"digits: {len(x_train)} stored after every epoch, {len(x_test)} queries; "
          f"nearest stored inputs of held-out query {q} (label {y_test[q].item()}) as index:label\n")
    print(f"{'epoch':>5s} {'loss':>7s} {'accuracy':>9s} {'P@1':>6s} {'P@' + str(args.k):>6s} "
          f"{'record':>7s} {'new':>4s}  nearest to the query")

    previous, loss = None, "-"
    for epoch in range(args.epochs + 1):
        if epoch:
            total = 0.0
            for batch in torch.randperm(len(x_train), generator=gen).split(32):
                opt.zero_grad()
                step = torch.nn.functional.cross_entropy(model(x_train[batch]), y_train[batch].long())
                step.backward()
                opt.step()
                total += step.item() * len(batch)
            loss = f"{total / len(x_train):.4f}"
        ranked, seconds, layers = record_and_search(model, args.store, x_train, x_test, args.batch_size, args.k)
        with torch.no_grad():
            accuracy = (model.eval()(x_test).argmax(1) == y_test).float().mean().item()
        model.train()
        y_tr, y_te = y_train.numpy(), y_test.numpy()
        p1, pk = (precision(ranked, y_tr, y_te, n) for n in (1, args.k))
        # How many of the query's k nearest were not among them after the epoch before.
        new = len(set(ranked[q]) - set(previous)) if previous is not None else len(ranked[q])
        nearest = " ".join(f"{i}:{y_tr[i]}" for i in ranked[q][:6])
        print(f"{epoch:5d} {loss:>7s} {accuracy:9.3f} {p1:6.3f} {pk:6.3f} {seconds:6.2f}s {new:4d}  {nearest}")
        previous = ranked[q]
    assert all(not m._forward_hooks and not m._forward_pre_hooks for m in model.modules())
    print(f"\nrecorded layers (weights 1, 4, 9, ...): {', '.join(layers)}")
    print(f"store of the last epoch: {args.store}; the model carries no hooks after recording")


if __name__ == "__main__":
    main()
