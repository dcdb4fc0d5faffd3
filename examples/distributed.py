"""Parallel recording with PyTorch's distributed runtime: one shard per process, merged at the end.

Each rank records its share of the first COUNT inputs of the handwritten digits (the digits example's
model and data; input i is image i mod 1,797) through a recorder into its own shard, next to the
store. Once every rank is done (a barrier), rank 0 merges the shards into the store and removes them.
Runs on CPUs with the gloo backend and on GPUs with nccl (one GPU per rank, chosen by LOCAL_RANK).

    torchrun --nproc-per-node N -- examples/distributed.py --store PATH --n COUNT [--epochs E]

torchrun reads an option that abbreviates one of its own anywhere on its command line, and `--n`
abbreviates several: put `--` before the script (as above), or spell the count `-n` or `--count`.

Rank 0 trains the model (E epochs; 0 keeps the seeded initial weights) and sends its weights to the
others, as a DDP job's ranks hold the same weights.
"""

import argparse
import os
import time

import numpy as np
import torch
import torch.distributed as dist

import cquorlin
from digits import Net, load_data
from retrieval import train


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--store", required=True, help="the merged store, overwritten; shards are written beside it")
    p.add_argument("-n", "--n", "--count", dest="n", type=int, required=True, help="inputs recorded in all")
    p.add_argument("--epochs", type=int, default=3, help="training epochs on rank 0 (default 3)")
    p.add_argument("--batch-size", type=int, default=256, help="inputs per forward pass (default 256)")
    p.add_argument("--seed", type=int, default=0, help="seed of the weights and the split")
    return p.parse_args()


def shard_path(store: str, rank: int) -> str:
    return f"{store}.shard{rank}.h5"


def main() -> None:
    args = parse_args()
    cuda = torch.cuda.is_available()
    dist.init_process_group("nccl" if cuda else "gloo")
    rank, world = dist.get_rank(), dist.get_world_size()
    device = torch.device("cuda", int(os.environ.get("LOCAL_RANK", 0))) if cuda else torch.device("cpu")
    if cuda:
        torch.cuda.set_device(device)
    torch.set_num_threads(1)
    torch.manual_seed(args.seed)

    x_train, x_test, y_train, _ = load_data(args.seed)
    images = np.concatenate([x_train, x_test])
    model = Net()
    if rank == 0 and args.epochs:
        train(model, x_train, y_train, args.epochs, args.seed)
    model.to(device).eval()
    for p in model.parameters():  # every rank records with rank 0's weights
        dist.broadcast(p.data, src=0)
    emb = cquorlin.get_embedding_model(model)

    # A contiguous share per rank: its inputs keep their global indices.
    first, last = rank * args.n // world, (rank + 1) * args.n // world
    start = time.perf_counter()
    with cquorlin.DB(shard_path(args.store, rank), "w", preprocessor="image") as db, db.recorder() as rec:
        for lo in range(first, last, args.batch_size):
            hi = min(lo + args.batch_size, last)
            x = torch.from_numpy(images[np.arange(lo, hi) % len(images)]).to(device)
            with torch.no_grad():
                out = emb(x)
            out.pop(".pred", None)  # the last layer's output again
            rec.add(out, lo, batch_size=hi - lo)  # reduced on the device; two numbers per input cross
    print(f"rank {rank}/{world}: recorded inputs {first}-{last - 1} in {time.perf_counter() - start:.2f} s", flush=True)

    dist.barrier()  # every shard is complete on disk
    if rank == 0:
        shards = [shard_path(args.store, r) for r in range(world)]
        if os.path.exists(args.store):
            os.remove(args.store)
        start = time.perf_counter()
        cquorlin.merge(args.store, shards)
        for shard in shards:
            os.remove(shard)
        with cquorlin.DB(args.store, "r") as db:
            counts = db.entries()
        print(f"merged {world} shards into {args.store} in {time.perf_counter() - start:.2f} s; "
              f"entries per layer: {counts}", flush=True)
    dist.barrier()
    dist.destroy_process_group()


if __name__ == "__main__":
    main()
