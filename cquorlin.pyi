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
from typing import (Any, Callable, Dict, Iterable, List, Literal, Mapping, NamedTuple, Optional, Tuple, Union, final,
                    overload)

import h5py  # type: ignore[import-untyped]
import numpy as np
import torch

class QuorlinWarning(UserWarning):
    """Warns of a call that did what it is documented to do, but what it did (a layer skipped, no
    result, nothing found, an index stored twice) is most likely not what was meant. The outputs of
    `to_numpy` never cause one."""

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
        journal left by a killed writer is written back first. A store that another DB (of this
        process or another) writes, or that this DB would write while another has it open, raises
        BlockingIOError.
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
    def neurons(self) -> int:
        """How many of each input's strongest neurons per layer `add` and the recorder record (1
        unless set): each gets one entry in its table, strongest first. Kept in the root attribute
        "neurons" when it is not 1, so a file without it is a store of one neuron."""
        ...
    @neurons.setter
    def neurons(self, value: int) -> None:
        """Sets the count (1 to 1024) before recording; ValueError once the store holds tables."""
        ...
    @property
    def path(self) -> str:
        """The store's file name, as h5py reports it."""
        ...
    def add(self, acts: Mapping[Any, np.ndarray], idx: Union[int, Iterable[int]]) -> None:
        """Records one batch: for every input and layer, the pair (input index, value) in the table
        of the input's strongest neuron in that layer (of each of its `neurons` strongest).

        `acts` maps layer names to NumPy arrays with the batch on the first axis (make it with
        `to_numpy`; a tensor raises TypeError "Cannot convert Tensor to numpy.ndarray"). The batch
        size is the longest first axis; a layer of another length is skipped, with a QuorlinWarning.
        `idx` is the first input index (then idx, idx + 1, ...), of any integer type (a NumPy
        integer, a 0-d integer tensor), or one index per input; ValueError when their number
        differs from the batch size; an index given twice warns. A call records its whole batch or
        nothing.
        """
        ...
    @overload
    def search(self, acts: Activations, k: int = 10, _postprocess: Literal[True] = True) -> List[Dict[int, float]]: ...
    @overload
    def search(self, acts: Mapping[Any, np.ndarray], k: int = 10,
               _postprocess: Literal[True] = True) -> Optional[List[Dict[int, float]]]: ...
    @overload
    def search(self, acts: Activations, k: int = 10, *,
               _postprocess: Literal[False]) -> Dict[Any, List[Tuple[np.ndarray, np.ndarray]]]: ...
    @overload
    def search(self, acts: Mapping[Any, np.ndarray], k: int = 10, *,
               _postprocess: Literal[False]) -> Optional[Dict[Any, List[Tuple[np.ndarray, np.ndarray]]]]: ...
    @overload
    def search(self, acts: Mapping[Any, np.ndarray], k: int = 10,
               _postprocess: bool = True) -> Union[List[Dict[int, float]], Dict[Any, List[Tuple[np.ndarray, np.ndarray]]], None]:
        """For every query input, the stored inputs that made the network react most alike.

        `acts` as for `add`, with the same layers in the same order: the layer at position l
        counts with the weight l**2. Returns one dict per query input, stored index to combined
        score (the sum of weight times table score over the layers), with at most `k` entries in
        first-met order, not score order: rank with `sorted(d, key=d.__getitem__, reverse=True)`.
        `_postprocess=False` returns the raw answers instead: per layer, one (indices, scores)
        pair per query input.

        Returns None, with a QuorlinWarning, when the first axes of `acts` differ in length: a value
        that is no per-input output, such as a position table of shape (1, T, H), is in `acts`.
        `to_numpy` leaves such values out, so its result never leads here: given an `Activations`,
        the result's type has no None. k <= 0, and layers of which the store holds no table, find
        nothing and warn as well.
        """
        ...
    def query(self, acts: Mapping[Any, np.ndarray], k: int = 10, *, neurons: Optional[int] = None,
              layers: Optional[Iterable[Any]] = None, exact: bool = False, candidates: Optional[int] = None,
              ties: bool = True, midpoint: bool = True) -> Tuple[np.ndarray, np.ndarray]:
        """For every query input, the `k` stored inputs that made the network react most alike, ranked.

        Returns (scores, indices): float32 and int64 arrays of shape (query inputs, k), each row
        best first, equal scores by the smaller index, padded with -inf and -1. `acts` as for
        `search`; every layer must have the batch's length (ValueError otherwise).

        Each query input is reduced to its `neurons` strongest neurons per layer (default: the
        store's count); each of their tables gives the `candidates` * `k` entries nearest to the
        query's value (default: k times the layers queried, as `search` asks), and with `ties`
        also every further entry as near as the last one, all or none: a group of equally near
        entries larger than the count asked (a value most inputs share) gives none of them. With
        `midpoint` a stored value counts as the middle of the interval of values its 16 bits stand
        for. Scores are summed with the search's layer weights: the layer at position l of `acts`
        weighs l**2, shared equally by its neurons. `layers` queries only the layers of those names, each keeping its weight.
        `exact=True` takes `search`'s own choices whatever `neurons`, `candidates`, `ties` and
        `midpoint` say: over every layer, its answers are `search`'s, ranked. k=0, and layers of
        which the store holds no table, find nothing and warn with a QuorlinWarning.
        """
    @property
    def read_cache_bytes(self) -> int:
        """How many bytes of decoded tables the store keeps between calls (256 MiB by default).

        Kept tables are checked against the location of their dataset at every use; set 0 to turn
        the cache off, or to empty it after changing tables through `file` directly.
        """
    @read_cache_bytes.setter
    def read_cache_bytes(self, value: int) -> None:
        """Sets the bound in bytes; 0 turns the read cache off and empties it."""
        ...
    def compact(self) -> None:
        """Writes the changed tables, rewrites the store into a new file holding only its tables and
        attributes, renames it over the old file and goes on with it. `close` does this by itself
        when the file has grown well past its tables. The new file keeps the old one's owner, group
        and mode (PermissionError where it cannot). Only a store in one file opened for writing
        (the default driver), with one name and no other handle, can be compacted; others raise
        ValueError, or BlockingIOError for another handle. A full disk raises OSError (ENOSPC)."""
    def recorder(self, flush_every: int = 65536, shard_inputs: Optional[int] = None) -> "Recorder":
        """A Recorder writing into this store, flushing every flush_every inputs (at least 1).

        With shard_inputs (at least 1), the recorder rolls over to a new store (a shard) once the
        current one holds that many of its inputs: "store.h5" goes on in "store-00001.h5",
        "store-00002.h5", ... (numbers already taken are passed over), each with this store's
        preprocessor and neuron count. A flush never goes past the bound: a shard holds
        shard_inputs inputs, or less than one batch more. cquorlin.open_set(recorder.shards)
        searches them as one store. A store opened read-only refuses with ValueError.
        """
    def layers(self, threshold: float = 0.9) -> "Layers":
        """What each layer holds: one `Layer` record per layer, in the order the file lists its tables
        (by name); `print` shows them as a table.

        Entries come from the tables' sizes and headers, inputs from their index columns; only the
        largest table's values are read. A layer is degenerate when one neuron's table holds at least
        `threshold` (a share in (0, 1]) of its inputs: that neuron is the strongest for nearly every
        input, every query goes to its table, and the layer adds noise to a search rather than
        telling inputs apart; search without it. The tables are reported as the file holds them.
        """
        ...
    @overload
    def entries(self, layer: None = None) -> Dict[str, int]: ...
    @overload
    def entries(self, layer: str) -> Dict[int, int]:
        """Entries per layer, or with `layer`, per neuron of that layer (KeyError when the store has no
        such layer). Cheap: read from the tables' sizes and headers alone. A layer holds one entry per
        input recorded in it; an input recorded twice counts twice."""
        ...
    def neuron(self, layer: Any, neuron: int, k: int = 10, largest: bool = True) -> Tuple[np.ndarray, np.ndarray]:
        """The at most `k` stored inputs with the highest values (`largest=False`: the lowest) in the
        table of `neuron` of `layer`, as (indices, values) arrays, highest (lowest) first: the inputs
        that excite that neuron most, among those for which it was the layer's strongest. NaN values
        are left out; equal values come in no defined order. A neuron of the layer without a table
        gives two empty arrays; KeyError when the store has no such layer. Values are as stored
        (8 significant bits)."""
        ...
    def plot_layers(self, path_or_axes: Any, threshold: float = 0.9) -> Any:
        """Draws how each layer's entries spread over its neurons: one bar per layer, one segment per
        neuron as wide as its share of the layer's entries, largest first; degenerate layers (see `layers`)
        in red. `path_or_axes`: a file to write (its suffix picks the format, such as .png or .svg)
        or matplotlib Axes to draw on. Returns the Axes. matplotlib is imported only here:
        ImportError when it is missing."""
        ...
    def __repr__(self) -> str:
        """The path, mode and preprocessor, and how many layers and tables the file holds."""
        ...
    def close(self) -> None:
        """Writes what its recorders still buffer and the changed tables, and closes the file. Any later
        use raises ValueError "the store ... is closed"; closing again does nothing. A write that
        fails raises and leaves the store open, its file as it was."""
        ...
    def __enter__(self, *ags: Any) -> "DB":
        """The store itself."""
        ...
    def __exit__(self, *args: Any) -> None:
        """Closes the store; an exception from the block passes on."""
        ...


class Layer(NamedTuple):
    """What one layer of a store holds (a record of `DB.layers()`)."""

    name: str
    """The layer's name, as its table keys spell it."""
    tables: int
    """How many of its neurons have a table (were the strongest for some input)."""
    entries: int
    """Entries in all its tables."""
    inputs: int
    """Distinct input indices among them."""
    largest: int
    """The neuron with the largest table."""
    largest_share: float
    """The share of the layer's inputs with an entry in that table (with one entry per input, its
    share of the entries)."""
    largest_values: int
    """Distinct values stored in that table (both zeros count as one, every NaN as one)."""
    degenerate: bool
    """Whether that share reaches the threshold."""


class Layers(List[Layer]):
    """The records of `DB.layers()`; `str()` gives them as a text table, one row per layer."""


@final
class Recorder:
    """Records a store's entries batch by batch and writes them in bulk; made by DB.recorder().

    Each add reduces its outputs at once on their own device (a topk there for a store of more
    than one neuron) and buffers 16 bytes per input, layer and recorded neuron. Every flush_every inputs, on flush() and on leaving a with block, the buffered entries
    are written as one journaled change; the store then holds exactly what DB.add per batch would
    have written. DB.search reads the file only: flush before searching.
    """
    @property
    def db(self) -> DB:
        """The store written to (the current shard when the recorder rolls over)."""
    @property
    def shards(self) -> Tuple[str, ...]:
        """The paths of the stores written to: the recorder's own store, then each shard in turn."""
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
        of outputs and the same attention_mask. idx: the first index, of any integer type (batch_size
        is then required), or one index per input (the batch size is their number; an index given
        twice warns). A failing call buffers nothing; after the store's close every call raises.
        """
    def flush(self) -> None:
        """Writes every buffered entry as one journaled change; a failed flush keeps them for the next."""
    def __enter__(self) -> "Recorder": ...
    def __exit__(self, *args: Any) -> Literal[False]:
        """Flushes, also when the block raised, and closes a shard the recorder opened; returns False,
        so an exception of the block passes on."""


def merge(target: Union[str, "os.PathLike[str]"], sources: Iterable[Union[str, "os.PathLike[str]"]],
          progress: Optional[Callable[[int, int], object]] = None) -> None:
    """Adds every entry of every table of the stores at sources to the store at target (created if absent).

    progress, when given, is called as progress(done, total) after each table is merged, total being the
    number of tables; an exception from it stops the merge as any failure does.

    One pass per table over the sorted columns, written as journaled changes. The preprocessors must
    agree (a store without one takes theirs); a difference raises ValueError naming both stores. So
    must the neuron counts (a target without tables takes theirs).
    Every source is checked before the target is opened: a dataset that is no table, or a table out
    of value order, raises ValueError naming the store and the dataset. A target the merge made is
    removed when it fails before its first change; one that fails partway keeps the changes it
    completed in the target: merge into a fresh one.
    """


def open_set(paths: Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]) -> "StoreSet":
    """Opens stores read-only to be searched as one: the shards of a recorder that rolled over, the
    stores of the ranks of a distributed job, or both.

    paths: a directory (its "*.h5" files), a glob pattern, one path, or an iterable of paths.
    ValueError when none is found, or when the stores' preprocessors or neuron counts differ.
    """


class StoreSet:
    """Stores searched as one store holding all their entries; made by open_set(). Also a context
    manager that closes them."""
    @property
    def stores(self) -> Tuple[DB, ...]:
        """The stores, each opened read-only."""
    @property
    def paths(self) -> Tuple[str, ...]:
        """Their paths, in the order searched."""
    def search(self, acts: Mapping[Any, Any], k: int = 10, _postprocess: bool = True) -> Any:
        """DB.search over every store: each table's nearest entries are taken over the stores that
        have the table, then the per-layer answers are merged as DB.search merges them. The answers
        are those of DB.search on the store that merge(target, set.paths) makes, entries tied at a
        cut included (there the stores' order decides, as it orders equal values in that store)."""
    def query(self, acts: Mapping[Any, np.ndarray], k: int = 10, *, neurons: Optional[int] = None,
              layers: Optional[Iterable[Any]] = None, exact: bool = False, candidates: Optional[int] = None,
              ties: bool = True, midpoint: bool = True) -> Tuple[np.ndarray, np.ndarray]:
        """DB.query over every store, with the same arguments, errors and warnings: its arrays are
        those of DB.query on the store that merge(target, set.paths) makes. Each table's candidates
        (with ties, the whole run tied with the last one) are chosen over the entries of every store
        that has the table, as in that one store; where equally near entries are cut (without ties,
        or exact), the stores' order decides, as it orders equal values in the merged store."""
    def close(self) -> None:
        """Closes every store."""
    def __enter__(self) -> "StoreSet": ...
    def __exit__(self, *args: Any) -> bool:
        """Closes every store; returns False."""
