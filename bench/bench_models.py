"""Model instrumentation timings.

1. Forward pass of an embedding model against the plain model's forward pass, on a CNN of two
   Conv2d layers (3 to 64, 64 to 128 channels, 3x3) and two Linear layers, 32x32 inputs, batch 64.
   Target: at most 5% more. Calls alternate in ABBA order so drift hits both alike; the medians
   are compared. The absolute cost of the hooks also shows on a batch of one, and on a stack of
   tiny linear layers where nothing hides it.
2. get_layer_names on a Sequential of 10^4 Linear(4, 4) layers. Target: under 100 ms.

Run: PYTHONPATH=<build dir> python bench/bench_models.py [--repeats N]
`results(repeats)` returns the figures as (name, value, unit, target) rows for a summary table.
"""

import argparse
import statistics
import time

import torch
from torch import nn

import cquorlin


class CNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 64, 3, padding=1)
        self.conv2 = nn.Conv2d(64, 128, 3, padding=1)
        self.pool = nn.MaxPool2d(2)
        self.fc1 = nn.Linear(128 * 8 * 8, 256)
        self.fc2 = nn.Linear(256, 10)

    def forward(self, x):
        x = self.pool(torch.relu(self.conv1(x)))
        x = self.pool(torch.relu(self.conv2(x)))
        return self.fc2(torch.relu(self.fc1(x.flatten(1))))


def timed(fn, x):
    start = time.perf_counter()
    fn(x)
    return time.perf_counter() - start


def compare(plain, embedding, x, repeats):
    """Median seconds per call of the plain and the embedding model.

    Calls go in ABBA order, so neither model always runs right after the other's allocations.
    """
    for _ in range(3):
        plain(x)
        embedding(x)
    plain_times, embedding_times = [], []
    for i in range(repeats):
        first, second = (plain, embedding) if i % 2 == 0 else (embedding, plain)
        t_first, t_second = timed(first, x), timed(second, x)
        plain_times.append(t_first if first is plain else t_second)
        embedding_times.append(t_second if first is plain else t_first)
    return statistics.median(plain_times), statistics.median(embedding_times)


def forward_rows(repeats):
    torch.manual_seed(0)
    rows = []
    cases = [
        ("CNN", CNN().eval(), 64, (3, 32, 32), repeats, "<= 5%"),
        ("CNN", CNN().eval(), 1, (3, 32, 32), repeats * 10, None),
        ("4 x Linear(4, 4)", nn.Sequential(*(nn.Linear(4, 4) for _ in range(4))).eval(), 1, (4,), repeats * 200, None),
    ]
    for label, model, batch, shape, reps, target in cases:
        embedding = cquorlin.get_embedding_model(model)
        x = torch.randn(batch, *shape)
        for grad in (False, True):
            with torch.set_grad_enabled(grad):
                plain_s, emb_s = compare(model, embedding, x, reps)
            name = f"embedding forward overhead, {label}, batch {batch}, grad {'on' if grad else 'off'}"
            detail = f"plain {plain_s * 1e3:.3f} ms, embedding {emb_s * 1e3:.3f} ms, {(emb_s - plain_s) * 1e6:+.1f} us"
            rows.append((name, (emb_s - plain_s) / plain_s * 100, "%", target, detail))
    return rows


def layer_names_row(repeats):
    model = nn.Sequential(*(nn.Linear(4, 4) for _ in range(10_000)))
    cquorlin.get_layer_names(model)
    times = []
    for _ in range(max(5, repeats // 3)):
        start = time.perf_counter()
        names = cquorlin.get_layer_names(model)
        times.append(time.perf_counter() - start)
    assert len(names) == 10_000
    detail = f"best {min(times) * 1e3:.1f} ms"
    return ("get_layer_names, Sequential of 10^4 Linear(4, 4)", statistics.median(times) * 1e3, "ms", "< 100 ms",
            detail)


def results(repeats=30):
    """(name, value, unit, target, detail) rows; target is None for figures shown for context."""
    return forward_rows(repeats) + [layer_names_row(repeats)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=30)
    args = parser.parse_args()
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    for name, value, unit, target, detail in results(args.repeats):
        suffix = f"  [target {target}]" if target else ""
        print(f"{name}: {value:+.2f} {unit} ({detail}){suffix}" if unit == "%" else
              f"{name}: {value:.1f} {unit} ({detail}){suffix}")


if __name__ == "__main__":
    main()
