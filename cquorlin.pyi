"""An activation database for PyTorch models, in one HDF5 file.

For every input of a batch and every layer, the store records one entry, (input index, value), in
the table of the neuron that fired most strongly for that input in that layer. A search reduces
each query input the same way, asks each layer's strongest neuron for the stored inputs with the
nearest values, and merges the per-layer answers with the weights 1, 4, 9, ... (later layers count
more). The path from a model to the store:

    embed = get_embedding_model(model)
    with torch.no_grad():
        out = embed(batch)
    acts = to_numpy(out, len(batch))      # only the per-input float outputs, as float32 arrays
    db.add(acts, first_index)
    results = db.search(acts, k=10)
"""

import os
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple, Union

import h5py
import numpy as np
import torch

_idx_dtypes: List[str]
_idx_dtypes_map: Dict[str, int]
_idx_dtype_maxes: np.ndarray

def get_layer_names(model: torch.nn.Module, /) -> List[str]:
    """Names of the model's layers: every module, the model included, that owns a parameter itself.

    A name is the model's class name followed by the attribute path, such as "Net.features.0".
    The order is depth first with siblings from last to first ("Net.fc", "Net.conv2",
    "Net.conv1"); `get_layers_sorted_by_depth` gives execution order. A module reachable under two
    parents is listed under both names. The model is not changed.
    """
    ...

def get_layer(model: torch.nn.Module, name: str) -> Any:
    """The module that a layer name designates: the name's components after the first (the class
    name, not checked) looked up as attributes, starting at `model`.

    Raises the module's AttributeError for a component it lacks.
    """
    ...

def get_layers_sorted_by_depth(model: torch.nn.Module, sample_input: Any) -> List[str]:
    """Layer names in the order their forward passes complete during `model(sample_input)`.

    Hooks are attached for the one pass and removed again; the model's mode and gradient tracking
    are left as they are. A layer called twice appears twice, one that does not run not at all.
    `sample_input` is the single positional argument of the call; for a model that takes keyword
    inputs, register a forward pre-hook (`with_kwargs=True`) that turns a dict into keywords for the
    duration of the call, which keeps the layer names (see the README).
    """
    ...

def get_embedding_model(model: torch.nn.Module, /) -> torch.nn.Module:
    """A new module whose forward pass runs a private copy of `model` (a deep copy, in evaluation
    mode, with an output hook on every layer) and returns a dict of every layer's output.

    Keys are layer names (see `get_layer_names`), in the order the layers first finished; a layer
    that returns a dict or a list gives one key per entry ("name.key", "name.0"); a layer that
    returns a tuple (LSTM, MultiheadAttention) gives none. The model's own output, when it is a
    tensor, comes last under ".pred". The values are the tensors as the layers returned them: not
    detached, copied or moved, on the model's device. Positional and keyword arguments go to the
    model unchanged. `model` itself is never changed. Gradient tracking is the caller's choice;
    hooks fire under `torch.no_grad()` as well. Hand the result to `to_numpy` before `DB.add` or
    `DB.search`: some outputs are no per-input values (position tables of shape (1, T, H)).
    """
    ...

class Capture:
    """What `capture` returns: a context manager over the model's own forward hooks."""

    @property
    def layers(self) -> List[str]:
        """Names of the chosen modules, in the order of `get_layer_names` (not of execution)."""
        ...
    def __enter__(self) -> Dict[str, Any]:
        """Hooks the chosen modules and returns the dict that every forward pass of the model refills."""
        ...
    def __exit__(self, *args: Any) -> bool:
        """Removes every hook the block added, also when it raised; returns False. The dict keeps the
        last pass's outputs."""
        ...

def capture(model: torch.nn.Module,
            layers: Union[None, str, type, Callable[[str, torch.nn.Module], bool],
                          Iterable[Union[str, type, Callable[[str, torch.nn.Module], bool]]]] = None,
            outputs: Optional[Callable[[str, Any], Any]] = None) -> Capture:
    """Records chosen modules' outputs on the model itself, without a copy: a context manager.

        with cquorlin.capture(model, ["*.mlp.act", torch.nn.ReLU]) as out:
            model(x)                        # training or evaluation, with or without gradients
        rec.add(out, first, batch_size=len(x))

    Inside the block, every forward pass of `model` empties the dict and fills it with the outputs
    of the chosen modules, in the order they finished, keyed as an embedding model keys them (a
    dict or list output gives one key per entry, a tuple none; no ".pred"). The values are the
    tensors as the modules returned them, on their device and autograd graph; the dict holds one
    pass at a time. A module called twice in a pass keeps its last output, at its first place.
    Leaving the block removes every hook it added; the model's mode, `requires_grad` and own
    hooks are never changed.

    `layers`: None for the layers of `get_layer_names` (the modules that own parameters), or a list
    of items, each choosing modules among all of the model's modules, named as layers are named:
    a name, a shell-style pattern ("*.layer.?.output", `*` crosses dots), a module class, or a
    callable `(name, module) -> bool`. A lone item stands for a list of one. A name, pattern or
    class that chooses nothing raises ValueError naming it (and, for names and patterns, the
    closest names); any other item raises TypeError. `outputs`: a callable `(name, output)` whose
    result is kept instead of each output (pick a tuple's element, or reduce an output at once);
    None leaves an output out.
    """
    ...

def get_dtype(val: int, /) -> str:
    """The narrowest index type that holds `val`: "uint16", "uint32" or "uint64".

    IndexError above 2**64 - 1.
    """
    ...

class Activations(Dict[Any, np.ndarray]):
    """What `to_numpy` returns: a dict of the kept outputs, in the order of the outputs given,
    ready for `DB.add` and `DB.search`.

    `skipped` maps every name that was left out to the reason, such as "first axis has length 1,
    not the batch size 8" or "dtype torch.int64 is not floating point".
    """

    skipped: Dict[Any, str]

def to_numpy(outputs: Mapping[Any, Any], batch_size: int,
             attention_mask: Union[torch.Tensor, np.ndarray, None] = None) -> Activations:
    """The outputs of one batch as the arrays `DB.add` and `DB.search` take.

    `outputs` maps names to tensors or arrays, such as an embedding model's result. Kept are the
    floating-point values (float16, bfloat16, float32, float64) whose first axis has length
    `batch_size`, in the order of `outputs` (which sets the layer weights); each becomes a
    C-contiguous float32 NumPy array, detached and on the CPU, and a (batch_size,) value becomes
    (batch_size, 1). Left out, with the reason in `skipped` of the result: values whose first axis
    is not the batch (position tables, attention biases, weights), integer and bool values, rank-0
    values and anything that is not a tensor or an array. Since every kept array has the batch's
    length, `DB.add` records every layer of the batch and `DB.search` never returns None on them.

    `attention_mask`, a tensor or array of shape (batch_size, T) with nonzero at real tokens: every
    kept value of rank 3 or more whose axis 1 has length T gets -inf at the padding positions, so
    the "text" preprocessor's maximum runs over real tokens only and a sentence records the same
    entries whatever it was batched with. ValueError for another shape.

    Tensors on any device are converted; a float32 CPU tensor or C-contiguous float32 array
    without padding to set is not copied. Use the same layer names, in the same order, for every
    batch you add and search: keep `list(result)` of the first batch and select those keys later
    (with `batch_size` 1, a (1, T, H) position table has the batch's length and is kept).
    """
    ...

class Table:
    """One neuron's table: pairs (input index, activation value), kept sorted by value.

    Additions wait in two buffers until the next flush merges them into the columns `idxs`
    (uint16, widened to uint32 or uint64 as larger indices arrive) and `vals` (float32,
    ascending, NaN last). `search`, `tobytes` and a store's write flush first.
    """

    idxs: np.ndarray
    vals: np.ndarray
    _idxs_buffer: List[int]
    _vals_buffer: List[float]
    _flushed: bool
    def __init__(self, idxs: Optional[np.ndarray] = None, vals: Optional[np.ndarray] = None) -> None:
        """A table over the given columns, stored as they are (not copied, sorted or checked), or
        an empty one."""
        ...
    def add(self, idx: int, val: float) -> None:
        """Records the pair (idx, val); it takes part from the next flush on. TypeError when `val`
        is no float."""
        ...
    def search(self, val: float, k: int) -> Tuple[np.ndarray, np.ndarray]:
        """The at most `k` stored pairs with the values nearest to `val`, as (indices, scores).

        Each is scored max(0, 1 - |v - val| / (2|v|)) relative to its stored value v, in float32:
        1.0 for an exact match (a stored 0.0 included), 0.0 when v is at least twice its own
        magnitude away. A NaN query or stored value scores NaN. The order of the pairs is not
        defined. Flushes the table first.
        """
        ...
    def _flush(self) -> None:
        """Merges the buffered additions into the sorted columns."""
        ...
    def tobytes(self) -> bytes:
        """The table's byte string (after a flush): a type code, the index section's length, the
        indices, then each value as the upper 16 bits of its float32 pattern (8 significant bits)."""
        ...
    @classmethod
    def frombytes(cls, byts: Any) -> "Table":
        """A new table decoded from a byte string of `tobytes`, given as a writable one-dimensional
        buffer (a NumPy uint8 array, a bytearray); `bytes` is refused with BufferError."""
        ...
    @property
    def nbytes(self) -> int:
        """Bytes of the columns and the buffered additions, plus a 5-byte header."""
        ...

class DB:
    """The activation database over one HDF5 file, also a context manager that closes it.

    Open with `DB(path, mode="a", preprocessor=None, driver=None, **kw)`; every keyword goes on to
    `h5py.File` (`driver="core", backing_store=False` keeps the store in memory).
    """

    file: h5py.File
    cache: Dict[str, Table]
    def __init__(self, path: Optional[str], mode: str = "a", preprocessor: Optional[str] = None,
                 driver: Optional[str] = None, **driver_kwargs: Any) -> None:
        """Opens or creates the store at `path` (a str).

        A new file is stamped as a store and given `preprocessor`; a file that already names one
        keeps it. A file opened read-only that is not a store raises Exception "Invalid file.". A
        journal left by a killed writer is written back first.
        """
        ...
    @property
    def preprocessor(self) -> Optional[str]:
        """How outputs of rank 3 and up become one row per input, kept in the file: "image"
        flattens each input's output, "text" takes the maximum over every axis but the first and
        the last (tokens). None until set; ranks 1 and 2 need none."""
        ...
    @preprocessor.setter
    def preprocessor(self, value: str) -> None:
        """Stores the name, stripped and lower-cased; ValueError for any but "image" and "text"."""
        ...
    @property
    def path(self) -> str:
        """The store's file name, as h5py reports it."""
        ...
    def add(self, acts: Mapping[Any, np.ndarray], idx: Union[int, Iterable[int]]) -> None:
        """Records one batch: for every input and layer, the pair (input index, value) in the table
        of the input's strongest neuron in that layer.

        `acts` maps layer names to NumPy arrays with the batch on the first axis (make it with
        `to_numpy`; a tensor raises TypeError "Cannot convert Tensor to numpy.ndarray"). The batch
        size is the longest first axis; a layer of another length is skipped without a word.
        `idx` is the first input index (then idx, idx + 1, ...) or one index per input; ValueError
        when their number differs from the batch size. A call records its whole batch or nothing.
        """
        ...
    def search(self, acts: Mapping[Any, np.ndarray], k: int = 10,
               _postprocess: bool = True) -> Union[List[Dict[int, float]], Dict[Any, List[Tuple[np.ndarray, np.ndarray]]], None]:
        """For every query input, the stored inputs that made the network react most alike.

        `acts` as for `add`, with the same layers in the same order: the layer at position l
        counts with the weight l**2. Returns one dict per query input, stored index to combined
        score (the sum of weight times table score over the layers), with at most `k` entries in
        first-met order, not score order: rank with `sorted(d, key=d.get, reverse=True)`.
        `_postprocess=False` returns the raw answers instead: per layer, one (indices, scores)
        pair per query input.

        Returns None, without an error, when the first axes of `acts` differ in length: a value
        that is no per-input output, such as a position table of shape (1, T, H), is in `acts`.
        `to_numpy` leaves such values out, so its result never leads here.
        """
        ...
    @property
    def read_cache_bytes(self) -> int:
        """How many bytes of decoded tables the store keeps between calls (256 MiB by default).

        Kept tables are checked against the location of their dataset at every use; set 0 to turn
        the cache off, or to empty it after changing tables through `file` directly.
        """
    @read_cache_bytes.setter
    def read_cache_bytes(self, value: int) -> None: ...
    def compact(self) -> None:
        """Writes the changed tables, rewrites the store into a new file holding only its tables and
        attributes, renames it over the old file and goes on with it. `close` does this by itself
        when the file has grown well past its tables. Only a store in one file opened for writing
        (the default driver) can be compacted; others raise ValueError."""
    def recorder(self, flush_every: int = 65536) -> "Recorder":
        """A Recorder writing into this store, flushing every flush_every inputs (at least 1)."""
    def close(self) -> None:
        """Writes the changed tables and closes the file; the store is unusable afterwards."""
        ...
    def __enter__(self, *ags: Any) -> "DB":
        """The store itself."""
        ...
    def __exit__(self, *args: Any) -> None:
        """Closes the store; an exception from the block passes on."""
        ...


class Recorder:
    """Records a store's entries batch by batch and writes them in bulk; made by DB.recorder().

    Each add reduces its outputs at once on their own device and buffers 16 bytes per input and
    layer. Every flush_every inputs, on flush() and on leaving a with block, the buffered entries
    are written as one journaled change; the store then holds exactly what DB.add per batch would
    have written. DB.search reads the file only: flush before searching.
    """
    @property
    def db(self) -> DB:
        """The store written to."""
    @property
    def durable(self) -> int:
        """Inputs written by completed flushes; a killed process keeps them."""
    @property
    def pending(self) -> int:
        """Inputs buffered since the last flush."""
    def add(self, outputs: Mapping[Any, Any], idx: Union[int, Iterable[int]], batch_size: Optional[int] = None,
            attention_mask: Any = None) -> None:
        """Reduces one batch and buffers its entries.

        outputs: what cquorlin.to_numpy takes (tensors on any device, or arrays), with the same choice
        of outputs and the same attention_mask. idx: the first index (batch_size is then required) or
        one index per input (the batch size is their number). A failing call buffers nothing.
        """
    def flush(self) -> None:
        """Writes every buffered entry as one journaled change; a failed flush keeps them for the next."""
    def __enter__(self) -> "Recorder": ...
    def __exit__(self, *args: Any) -> bool:
        """Flushes, also when the block raised; returns False."""


def merge(target: Union[str, "os.PathLike[str]"], sources: Iterable[Union[str, "os.PathLike[str]"]]) -> None:
    """Adds every entry of every table of the stores at sources to the store at target (created if absent).

    One pass per table over the sorted columns, written as journaled changes. The preprocessors must
    agree (a store without one takes theirs); a difference raises ValueError naming both stores.
    A merge that fails partway keeps the changes it completed in the target: merge into a fresh one.
    """
