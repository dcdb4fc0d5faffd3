// Recording at scale. A `Recorder` reduces each batch as soon as it arrives, on the outputs' own
// device (only each input's neuron number and value reach the host), and keeps the entries in
// compact per-layer buffers. A flush merges every buffered entry into the store's tables through
// the store's own cache and writes them as one journaled change, so a table is rewritten once per
// flush instead of once per batch. A recorder given a shard size rolls over to a new store (a
// shard) whenever the current one holds that many inputs, so that a flush rewrites the tables of
// one shard only and its cost stays the same however much was recorded before.
#include "recorder.hpp"

#include "py/numpy.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "columns.hpp"
#include "convert.hpp"
#include "db.hpp"
#include "db_file.hpp"
#include "kernels/codec.hpp"
#include "kernels/index_type.hpp"
#include "kernels/merge.hpp"
#include "kernels/sort.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/func.hpp"
#include "reduce.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Strings and objects of this unit; made once in the execute step, never released.
struct RecorderState {
    PyObject* shape;
    PyObject* type;  // the class Recorder
    PyObject* splitext;
    PyObject* exists;
    PyObject* replace;
    PyObject* remove;
    PyObject* write;  // "w"
    PyObject* append;  // "a"
};
RecorderState R{};

// ---------------------------------------------------------------------------------------------
// The buffer

/// One layer's buffered entries, 16 bytes each, in the order they were added; `batches` marks
/// where each batch's entries begin.
struct Layer {
    Ref text;  // str() of the layer's name, as the table keys spell it
    std::vector<std::uint32_t> neurons;
    std::vector<float> values;
    std::vector<std::uint64_t> indices;
    std::vector<std::pair<std::uint32_t, std::size_t>> batches;  // (batch number, first entry)

    /// Makes room for `more` entries, growing at most to what a flush holds. The room of a whole
    /// flush is taken at once, up to `upfront` entries (pages stay unused until written): growing
    /// step by step leaves the smaller blocks behind, resident, about a fifth more per entry.
    void reserve(std::size_t more, std::size_t bound) {
        constexpr std::size_t upfront = std::size_t{1} << 22;  // 64 MiB of entries
        std::size_t need = neurons.size() + more;
        if (need <= neurons.capacity()) return;
        std::size_t cap = std::max(need, std::min(bound, std::max(2 * neurons.capacity(), upfront)));
        neurons.reserve(cap);
        values.reserve(cap);
        indices.reserve(cap);
    }
};

struct Buffer {
    std::vector<Layer> layers;
    std::uint64_t inputs = 0;    // inputs buffered since the last flush
    std::uint32_t batches = 0;   // batches buffered since the last flush
};

struct Recorder {
    PyObject_HEAD
    PyObject* db;
    PyObject* preprocessor;  // the store's, read when the recorder is made ("": none yet)
    PyObject* first;         // the store the recorder was made for; later shards are its own
    PyObject* shards;        // list of the paths written to: the first store's, then each shard's
    Buffer* buffer;
    std::uint64_t flush_every;
    std::uint64_t durable;       // inputs written by completed flushes
    std::uint64_t shard_inputs;  // inputs per shard; 0: the first store takes every input
    std::uint64_t in_shard;      // inputs written into the current shard
    bool busy;                   // an add or flush is running
};

Recorder* as_recorder(PyObject* self) { return reinterpret_cast<Recorder*>(self); }

/// The recorders that have a store, for the store's `close` to flush. Made once, never freed.
std::vector<Recorder*>* live_recorders = nullptr;

/// Marks the recorder busy for one call. Calls into Python (a tensor operation, a store subclass)
/// may come back to the recorder, or another thread may while the GIL is released: they get a
/// RuntimeError instead of a buffer that changes under the running call.
struct InUse {
    Recorder* r;
    bool held;
    explicit InUse(Recorder* recorder) : r(recorder), held(!recorder->busy && recorder->db) {
        if (held)
            r->busy = true;
        else
            PyErr_SetString(PyExc_RuntimeError, r->db ? "the recorder is already running an add or a flush"
                                                      : "the recorder was cleared and has no store");
    }
    ~InUse() {
        if (held) r->busy = false;
    }
};

/// The layer buffer for the layer spelled `text`, made when first seen.
Layer& layer_for(Buffer& buffer, PyObject* text, int& status) {
    status = 0;
    for (auto& layer : buffer.layers) {
        int same = PyUnicode_Compare(layer.text.get(), text);
        if (same == -1 && PyErr_Occurred()) status = -1;
        if (same == 0 || status < 0) return layer;
    }
    Layer& layer = buffer.layers.emplace_back();
    layer.text = Ref::borrow(text);
    return layer;
}

// ---------------------------------------------------------------------------------------------
// Flush: the buffered entries merged into the store's tables, written as one change

using kern::code_for;
using kern::with_index_type;

/// One table's new entries, in the order they were added.
struct NewEntries {
    std::vector<std::uint64_t> idx;
    std::vector<float> val;
    std::vector<std::uint32_t> batch;
};

/// The store's table `key` with the new entries merged in, as a batch-by-batch add would leave
/// it (values cut to 16 bits as the file keeps them), put in the cache as changed.
int merge_entries(PyObject* db, PyObject* cache, PyObject* key, const NewEntries& add) {
    Ref table = py::call_method(db, G.names._get_table, key);
    Ref old_idxs, old_vals;
    Columns old;
    if (!table || read_columns(table.get(), old_idxs, old_vals, old) < 0) return -1;
    std::uint64_t largest = *std::max_element(add.idx.begin(), add.idx.end());
    int code = std::max(old.code, code_for(largest));
    std::size_t n_old = old.run.vals.size, n_new = add.idx.size(), total = n_old + n_new;
    Ref idxs, vals;
    if (new_columns(static_cast<npy_intp>(total), code, idxs, vals) < 0) return -1;
    std::vector<std::size_t> order = kern::join_order(add.val, add.batch);
    float* out_val = data_of<float>(vals);
    with_index_type(code, [&](auto type) {
        using I = decltype(type);
        I* out_idx = data_of<I>(idxs);
        for (std::size_t j = 0; j < n_new; ++j) {
            out_idx[n_old + j] = static_cast<I>(add.idx[order[j]]);
            out_val[n_old + j] = add.val[order[j]];
        }
        with_index_type(old.code, [&](auto old_type) {
            using OldI = decltype(old_type);
            kern::Strided<OldI> oi{old.run.idx_data, old.run.idx_stride, n_old};
            if (kern::is_sorted(old.run.vals)) {
                kern::merge_into(oi, old.run.vals, out_idx, out_val, total);
                return;
            }
            // A column out of order is sorted whole with its new entries, as a table's flush does.
            for (std::size_t j = 0; j < n_old; ++j) {
                out_idx[j] = static_cast<I>(oi[j]);
                out_val[j] = old.run.vals[j];
            }
            std::vector<I> scratch_idx(total);
            std::vector<float> scratch_val(total);
            kern::radix_sort(out_idx, out_val, scratch_idx.data(), scratch_val.data(), total);
        });
    });
    kern::cut_values(out_val, total, out_val);
    if (cache_table(cache, key, std::move(idxs), std::move(vals)) < 0) return -1;
    release_table(table.get(), 1);  // replaced in the cache
    return 0;
}

/// Groups one layer's entries by neuron (stably) and merges each group into its table.
int flush_layer(PyObject* db, PyObject* cache, const Layer& layer, std::vector<Ref>& touched) {
    std::size_t n = layer.neurons.size();
    if (n == 0) return 0;
    std::uint32_t top = *std::max_element(layer.neurons.begin(), layer.neurons.end());
    std::vector<std::size_t> start(static_cast<std::size_t>(top) + 2, 0);
    for (std::uint32_t neuron : layer.neurons) ++start[neuron + 1];
    for (std::size_t j = 1; j < start.size(); ++j) start[j] += start[j - 1];
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    std::vector<std::size_t> grouped(n);
    std::vector<std::uint32_t> batch_of(n);
    for (std::size_t b = 0; b < layer.batches.size(); ++b) {
        std::size_t end = b + 1 < layer.batches.size() ? layer.batches[b + 1].second : n;
        for (std::size_t j = layer.batches[b].second; j < end; ++j) {
            grouped[fill[layer.neurons[j]]++] = j;
            batch_of[j] = layer.batches[b].first;
        }
    }
    NewEntries add;
    for (std::uint32_t neuron = 0; neuron <= top; ++neuron) {
        std::size_t begin = start[neuron], end = start[neuron + 1];
        if (begin == end) continue;
        add.idx.clear();
        add.val.clear();
        add.batch.clear();
        for (std::size_t g = begin; g < end; ++g) {
            std::size_t j = grouped[g];
            add.idx.push_back(layer.indices[j]);
            add.val.push_back(layer.values[j]);
            add.batch.push_back(batch_of[j]);
        }
        Ref key = Ref::steal(PyUnicode_FromFormat("table_%U_%u", layer.text.get(), static_cast<unsigned>(neuron)));
        if (!key) return -1;
        touched.push_back(Ref::borrow(key.get()));
        if (merge_entries(db, cache, key.get(), add) < 0) return -1;
    }
    return 0;
}

/// Drops the tables a failed flush put in the cache: the file still holds their last state.
void forget(PyObject* cache, const std::vector<Ref>& touched) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    for (const auto& key : touched)
        if (PyObject_DelItem(cache, key.get()) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

int flush(Recorder* self) {
    Buffer& buffer = *self->buffer;
    if (buffer.inputs == 0) return 0;
    const auto& n = G.names;
    // Whatever the store itself still holds goes first, so every table below comes from the file.
    if (!py::call_method(self->db, n._clear_cache)) return -1;
    Ref cache = py::getattr(self->db, n.cache);
    if (!cache) return -1;
    std::vector<Ref> touched;
    try {
        for (const auto& layer : buffer.layers) {
            if (flush_layer(self->db, cache.get(), layer, touched) < 0) {
                forget(cache.get(), touched);
                return -1;
            }
        }
    } catch (...) {  // out of memory: no table of this flush may stay in the cache
        forget(cache.get(), touched);
        throw;
    }
    // One journaled change writes every changed table; once it succeeded, the entries are in the file.
    if (!py::call_method(self->db, n._flush_cache)) {
        forget(cache.get(), touched);
        return -1;
    }
    self->durable += buffer.inputs;
    self->in_shard += buffer.inputs;
    buffer.inputs = 0;
    buffer.batches = 0;
    for (auto& layer : buffer.layers) {
        layer.neurons.clear();
        layer.values.clear();
        layer.indices.clear();
        layer.batches.clear();
    }
    return py::call_method(self->db, n._clear_cache) ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Roll-over to the next shard

/// Shard n of the store at `<stem><ext>` is `<stem>-<n, five digits>.<ext>`: `store.h5` rolls
/// over to `store-00001.h5`, `store-00002.h5`, ... Numbers already taken are passed over.
Ref next_shard_path(Recorder* self) {
    Ref parts = py::call(R.splitext, PyList_GET_ITEM(self->shards, 0));
    if (!parts) return {};
    for (Py_ssize_t n = PyList_GET_SIZE(self->shards);; ++n) {
        Ref path = Ref::steal(PyUnicode_FromFormat("%U-%05zd%U", PyTuple_GET_ITEM(parts.get(), 0), n,
                                                   PyTuple_GET_ITEM(parts.get(), 1)));
        Ref there = path ? py::call(R.exists, path.get()) : Ref{};
        int taken = there ? PyObject_IsTrue(there.get()) : -1;
        if (taken < 0) return {};
        if (!taken) return path;
    }
}

/// Removes the file at `path` if there is one.
int remove_if_there(PyObject* path) {
    Ref there = py::call(R.exists, path);
    int found = there ? PyObject_IsTrue(there.get()) : -1;
    return found <= 0 ? found : (py::call(R.remove, path) ? 0 : -1);
}

/// Makes the next shard the store written to. The shard is made complete (preprocessor, neuron
/// count) under a temporary name, closed and renamed into place, so that a process killed on the
/// way leaves no shard or a complete empty one, never a file that does not open.
int roll_over(Recorder* self) {
    const auto& n = G.names;
    Ref path = next_shard_path(self);
    Ref p = path ? store_preprocessor(self->db) : Ref{};
    Ref temporary = p ? Ref::steal(PyUnicode_FromFormat("%U.new", path.get())) : Ref{};
    Ref journal = temporary ? Ref::steal(PyUnicode_FromFormat("%U-journal", temporary.get())) : Ref{};
    if (!journal || remove_if_there(temporary.get()) < 0 || remove_if_there(journal.get()) < 0) return -1;
    Ref fresh = py::call(G.db_type, temporary.get(), R.write, p.get());
    if (!fresh) return -1;
    std::size_t neurons = store_of(self->db).neurons;
    Ref count = Ref::steal(PyLong_FromSize_t(neurons));
    bool made = count && (neurons == 1 || PyObject_SetAttr(fresh.get(), n.neurons, count.get()) == 0);
    if (!py::call_method(fresh.get(), n.close) || !made) return -1;
    Ref shard = py::call(R.replace, temporary.get(), path.get()) ? py::call(G.db_type, path.get(), R.append) : Ref{};
    if (!shard || PyList_Append(self->shards, path.get()) < 0) return -1;
    // The recorder goes on in the new shard even if the full one (all of it written) fails to close.
    Ref full = Ref::steal(self->db);
    self->db = shard.release();
    self->in_shard = 0;
    return full.get() == self->first || py::call_method(full.get(), n.close) ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Recorder.add

/// The rank of a kept output, or -1.
Py_ssize_t ndim_of(const KeptOutput& out) {
    if (!out.is_tensor) return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(out.value.get()));
    Ref shape = py::getattr(out.value.get(), R.shape);
    return shape ? PyObject_Length(shape.get()) : -1;
}

/// The indices of a batch: from the first one (`rows` consecutive) or one per input.
int batch_indices(PyObject* idx, PyObject* list, Py_ssize_t rows, std::vector<std::uint64_t>& out) {
    out.resize(rows);
    if (list) {
        for (Py_ssize_t r = 0; r < rows; ++r) {
            unsigned long long v;
            if (index_value(PyList_GET_ITEM(list, r), &v) < 0) return -1;
            out[r] = v;
        }
        return 0;
    }
    unsigned long long first, last;
    if (index_value(idx, &first) < 0) return -1;
    if (rows == 0) return 0;
    // The last index is checked as an int first: beyond 2**64 - 1 it is an IndexError.
    Ref offset = py::from_size(rows - 1);
    Ref last_obj = offset ? Ref::steal(PyNumber_Add(idx, offset.get())) : Ref{};
    if (!last_obj || index_value(last_obj.get(), &last) < 0) return -1;
    for (Py_ssize_t r = 0; r < rows; ++r) out[r] = first + static_cast<std::uint64_t>(r);
    return 0;
}

/// Checks that a layer's name can be part of a table key, before its entries are buffered.
int check_layer_text(PyObject* text) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return -1;
    if (std::strlen(utf8) != static_cast<std::size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "the layer name %R holds a null character, which a table key cannot", text);
        return -1;
    }
    return 0;
}

/// The store's preprocessor, or "" when it has none, checked to be exactly a str.
Ref recorder_preprocessor(PyObject* db) {
    Ref p = store_preprocessor(db);
    return p && check_preprocessor_type(p.get()) == 0 ? std::move(p) : Ref{};
}

constexpr char recorder_add_name[] = "cquorlin.Recorder.add";
QUORLIN_SIGNATURE(recorder_add_sig, "add", 2, true, true, "outputs", "idx", "batch_size", "attention_mask");

Ref recorder_add(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (py::parse(recorder_add_sig, args, nargs, kwnames, a) < 0) return {};
    Recorder* self = as_recorder(self_obj);
    InUse in_use(self);
    if (!in_use.held || check_open(self->db) < 0) return {};
    PyObject *size_arg = a[2] && a[2] != Py_None ? a[2] : nullptr;
    Ref first;  // idx as an int, when it is one index (of any integer type)
    int single = single_index(a[1], first);
    if (single < 0) return {};
    PyObject* idx = single ? first.get() : a[1];
    Ref list;
    Py_ssize_t rows = 0;
    if (!single) {
        if (!(list = Ref::steal(PySequence_List(idx)))) {
            note_index_kind(idx, "Recorder.add");
            return {};
        }
        rows = PyList_GET_SIZE(list.get());
    } else if (!size_arg) {
        PyErr_SetString(PyExc_TypeError, "batch_size is required when idx is the first index of the batch");
        return {};
    }
    if (size_arg) {
        Py_ssize_t given = PyNumber_AsSsize_t(size_arg, PyExc_OverflowError);
        if (given == -1 && PyErr_Occurred()) return {};
        if (given < 0) {
            PyErr_Format(PyExc_ValueError, "batch_size must be at least 0, not %zd", given);
            return {};
        }
        if (list && given != rows) {
            PyErr_Format(PyExc_ValueError, "batch_size (%zd) != length of indices (%zd).", given, rows);
            return {};
        }
        rows = given;
    }
    std::vector<std::uint64_t> indices;
    if (batch_indices(idx, list.get(), rows, indices) < 0 || (list && warn_repeated("Recorder.add", indices) < 0)) return {};
    Ref skipped = Ref::steal(PyDict_New());
    std::vector<KeptOutput> kept;
    if (!skipped || select_outputs(a[0], rows, a[3] ? a[3] : Py_None, kept, skipped.get()) < 0) return {};
    if (kept.empty()) {
        PyErr_Format(PyExc_ValueError, "no output holds floating-point values of this batch; left out: %R",
                     skipped.get());
        return {};
    }
    std::vector<Py_ssize_t> ndims;
    for (const auto& out : kept)
        if (ndims.push_back(ndim_of(out)); ndims.back() < 0) return {};
    // A store given its preprocessor after the recorder was made: read it when first needed.
    if (PyUnicode_GET_LENGTH(self->preprocessor) == 0 &&
        std::any_of(ndims.begin(), ndims.end(), [](Py_ssize_t d) { return d >= 3; })) {
        Ref p = recorder_preprocessor(self->db);
        if (!p) return {};
        Py_SETREF(self->preprocessor, p.release());
    }
    // Every output is reduced before anything is buffered: an add keeps its whole batch or nothing.
    std::size_t m = store_of(self->db).neurons;
    std::vector<std::pair<Ref, Reduced>> reduced;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        Ref text = Ref::steal(PyObject_Str(kept[j].name.get()));
        if (!text || check_layer_text(text.get()) < 0) return {};
        auto& [name, layer] = reduced.emplace_back(std::move(text), Reduced{});
        PyObject *value = kept[j].value.get(), *p = self->preprocessor;
        int status = kept[j].is_tensor ? reduce_tensor(value, ndims[j], rows, p, m, layer)
                                       : reduce_array(value, ndims[j], rows, p, m, layer);
        if (status < 0) return {};
    }
    Buffer& buffer = *self->buffer;
    if (rows == 0) return Ref::borrow(Py_None);
    if (buffer.batches == kern::max_batches && flush(self) < 0) return {};
    if (self->shard_inputs && self->in_shard >= self->shard_inputs && roll_over(self) < 0) return {};
    // Where each layer stood before this batch: an add that fails takes its batch back whole.
    std::vector<std::pair<std::size_t, std::size_t>> before(buffer.layers.size());
    for (std::size_t j = 0; j < buffer.layers.size(); ++j)
        before[j] = {buffer.layers[j].neurons.size(), buffer.layers[j].batches.size()};
    auto take_back = [&] {
        for (std::size_t j = 0; j < buffer.layers.size(); ++j) {
            auto [entries, batches] = j < before.size() ? before[j] : std::pair<std::size_t, std::size_t>{0, 0};
            Layer& layer = buffer.layers[j];
            layer.neurons.resize(std::min(entries, layer.neurons.size()));
            layer.values.resize(std::min(entries, layer.values.size()));
            layer.indices.resize(std::min(entries, layer.indices.size()));
            layer.batches.resize(std::min(batches, layer.batches.size()));
        }
    };
    try {
        for (auto& [text, layer] : reduced) {
            int status;
            Layer& into = layer_for(buffer, text.get(), status);
            if (status < 0) {
                take_back();
                return {};
            }
            std::size_t per_row = layer.per_row;
            into.reserve(rows * per_row, (self->flush_every + rows) * per_row);
            if (into.batches.empty() || into.batches.back().first != buffer.batches)
                into.batches.emplace_back(buffer.batches, into.neurons.size());
            into.neurons.insert(into.neurons.end(), layer.neurons.begin(), layer.neurons.end());
            into.values.insert(into.values.end(), layer.values.begin(), layer.values.end());
            for (std::uint64_t index : indices) into.indices.insert(into.indices.end(), per_row, index);
        }
    } catch (...) {
        take_back();
        throw;
    }
    ++buffer.batches;
    buffer.inputs += static_cast<std::uint64_t>(rows);
    bool shard_full = self->shard_inputs && self->in_shard + buffer.inputs >= self->shard_inputs;
    if ((buffer.inputs >= self->flush_every || shard_full) && flush(self) < 0) {
        // Unless the flush got as far as the file, the batch goes: a retry of the add stores it once.
        if (buffer.inputs > 0) {
            take_back();
            --buffer.batches;
            buffer.inputs -= static_cast<std::uint64_t>(rows);
        }
        return {};
    }
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// The rest of the type

constexpr char recorder_flush_name[] = "cquorlin.Recorder.flush";

/// Flushes from outside an add: refused while one runs.
int flush_alone(PyObject* self) {
    InUse in_use(as_recorder(self));
    return in_use.held ? flush(as_recorder(self)) : -1;
}

Ref recorder_flush(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* db = as_recorder(self)->db;
    if (py::no_args("flush", true, nargs, kwnames) < 0 || (db && check_open(db) < 0) || flush_alone(self) < 0) return {};
    return Ref::borrow(Py_None);
}

constexpr char recorder_enter_name[] = "cquorlin.Recorder.__enter__";
constexpr char recorder_exit_name[] = "cquorlin.Recorder.__exit__";

Ref recorder_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* db = as_recorder(self)->db;
    if (py::no_args("__enter__", true, nargs, kwnames) < 0 || (db && check_open(db) < 0)) return {};
    return Ref::borrow(self);
}

/// Leaving the block flushes, also when it is left by an exception: every completed add is kept.
/// After the store's close (which flushed it) there is nothing left to flush.
/// A shard the recorder opened itself is closed then.
Ref recorder_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0 || flush_alone(self) < 0) return {};
    Recorder* r = as_recorder(self);
    if (r->db != r->first && !py::call_method(r->db, G.names.close)) return {};
    return Ref::borrow(Py_False);
}

constexpr char recorder_durable_name[] = "cquorlin.Recorder.durable.__get__";
constexpr char recorder_pending_name[] = "cquorlin.Recorder.pending.__get__";

PyObject* recorder_durable(PyObject* self, void*) {
    return py::guard(recorder_durable_name,
                     [&] { return Ref::steal(PyLong_FromUnsignedLongLong(as_recorder(self)->durable)); });
}

PyObject* recorder_pending(PyObject* self, void*) {
    return py::guard(recorder_pending_name,
                     [&] { return Ref::steal(PyLong_FromUnsignedLongLong(as_recorder(self)->buffer->inputs)); });
}

PyObject* recorder_db(PyObject* self, void*) { return Py_NewRef(as_recorder(self)->db); }

constexpr char recorder_shards_name[] = "cquorlin.Recorder.shards.__get__";

PyObject* recorder_shards(PyObject* self, void*) {
    return py::guard(recorder_shards_name, [&] { return Ref::steal(PyList_AsTuple(as_recorder(self)->shards)); });
}

int recorder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_recorder(self)->db);
    Py_VISIT(as_recorder(self)->first);
    return 0;
}

int recorder_clear(PyObject* self) {
    if (as_recorder(self)->db) std::erase(*live_recorders, as_recorder(self));
    Py_CLEAR(as_recorder(self)->db);
    Py_CLEAR(as_recorder(self)->first);
    Py_CLEAR(as_recorder(self)->preprocessor);
    Py_CLEAR(as_recorder(self)->shards);
    return 0;
}

/// Unflushed entries are dropped with the recorder: only a flush makes them durable.
void recorder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    recorder_clear(self);
    delete as_recorder(self)->buffer;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef recorder_methods[] = {
    py::method_def<recorder_add, recorder_add_name>("add"),
    py::method_def<recorder_flush, recorder_flush_name>("flush"),
    py::method_def<recorder_enter, recorder_enter_name>("__enter__"),
    py::method_def<recorder_exit, recorder_exit_name>("__exit__"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef recorder_getset[] = {
    {"durable", recorder_durable, nullptr, "inputs written by completed flushes", nullptr},
    {"pending", recorder_pending, nullptr, "inputs buffered since the last flush", nullptr},
    {"db", recorder_db, nullptr, "the store written to", nullptr},
    {"shards", recorder_shards, nullptr, "the paths of the stores written to, the first store's first", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot recorder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&recorder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&recorder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&recorder_clear)},
    {Py_tp_methods, recorder_methods},
    {Py_tp_getset, recorder_getset},
    {0, nullptr},
};

PyType_Spec recorder_spec = {"cquorlin.Recorder", sizeof(Recorder), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             recorder_slots};

QUORLIN_SIGNATURE(db_recorder_sig, "recorder", 0, true, true, "flush_every", "shard_inputs");

/// A count given for `name` (not given: `fallback`), at least 1.
int positive_count(PyObject* arg, const char* name, Py_ssize_t fallback, Py_ssize_t& out) {
    out = fallback;
    if (!arg) return 0;
    out = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (out == -1 && PyErr_Occurred()) return -1;
    if (out < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1, not %zd", name, out);
        return -1;
    }
    return 0;
}

}  // namespace

const char db_recorder_name[] = "cquorlin.DB.recorder";

Ref db_recorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    Py_ssize_t every, per_shard;
    if (py::parse(db_recorder_sig, args, nargs, kwnames, a) < 0 ||
        positive_count(a[0], "flush_every", 65536, every) < 0 ||
        positive_count(a[1] == Py_None ? nullptr : a[1], "shard_inputs", 0, per_shard) < 0 || check_open(self) < 0)
        return {};
    Ref file = py::getattr(self, G.names.file);
    Ref mode = file ? py::getattr(file.get(), G.names.mode) : Ref{};
    if (!mode) return {};
    if (PyUnicode_Check(mode.get()) && PyUnicode_CompareWithASCIIString(mode.get(), "r") == 0) {
        Ref path = py::getattr(file.get(), G.names.filename);
        if (path)
            PyErr_Format(PyExc_ValueError,
                         "the store %R is open read-only (mode \"r\"), and a recorder writes into its store: open "
                         "it with mode \"a\"",
                         path.get());
        return {};
    }
    Ref shards = Ref::steal(PyList_New(0));
    Ref path = shards ? Ref::steal(PyObject_GetAttrString(self, "path")) : Ref{};
    Ref p = path && PyList_Append(shards.get(), path.get()) == 0 ? recorder_preprocessor(self) : Ref{};
    auto* type = reinterpret_cast<PyTypeObject*>(R.type);
    Ref obj = p ? Ref::steal(type->tp_alloc(type, 0)) : Ref{};
    if (!obj) return {};
    Recorder* rec = as_recorder(obj.get());
    rec->buffer = new (std::nothrow) Buffer;
    if (!rec->buffer) {
        PyErr_NoMemory();
        return {};
    }
    live_recorders->push_back(rec);
    rec->db = Py_NewRef(self);
    rec->first = Py_NewRef(self);
    rec->preprocessor = p.release();
    rec->shards = shards.release();
    rec->busy = false;
    rec->flush_every = static_cast<std::uint64_t>(every);
    rec->durable = 0;
    rec->shard_inputs = static_cast<std::uint64_t>(per_shard);
    rec->in_shard = 0;
    return obj;
}

int flush_recorders(PyObject* db) {
    // Held for the loop: a flush runs Python code, which may drop or make recorders. A recorder made
    // by `db` that rolled over writes into a shard of its own: it is flushed, and the shard closed,
    // with the store it came from.
    std::vector<Ref> held;
    for (Recorder* r : *live_recorders)
        if ((r->db == db && r->buffer->inputs > 0) || (r->first == db && r->db != db))
            held.push_back(Ref::borrow(reinterpret_cast<PyObject*>(r)));
    for (const auto& held_one : held) {
        Recorder* r = as_recorder(held_one.get());
        if (r->db != db && r->first != db) continue;
        if (r->buffer->inputs > 0 && flush_alone(held_one.get()) < 0) return -1;
        if (r->db != db && !py::call_method(r->db, G.names.close)) return -1;
    }
    return 0;
}

int recorder_exec(PyObject* module) {
    if (reduce_exec() < 0 || !(R.shape = PyUnicode_InternFromString("shape"))) return -1;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref os_path = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref{};
    if (!os_path || !(R.splitext = PyObject_GetAttrString(os_path.get(), "splitext")) ||
        !(R.exists = PyObject_GetAttrString(os_path.get(), "exists")) ||
        !(R.replace = PyObject_GetAttrString(os.get(), "replace")) ||
        !(R.remove = PyObject_GetAttrString(os.get(), "remove")) || !(R.write = PyUnicode_InternFromString("w")) ||
        !(R.append = PyUnicode_InternFromString("a")))
        return -1;
    if (!(live_recorders = new (std::nothrow) std::vector<Recorder*>())) {
        PyErr_NoMemory();
        return -1;
    }
    if (!(R.type = PyType_FromModuleAndSpec(module, &recorder_spec, nullptr)) ||
        PyObject_SetAttrString(module, "Recorder", R.type) < 0)
        return -1;
    return 0;
}

}  // namespace quorlin
