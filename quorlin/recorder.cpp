// Recording at scale. A `Recorder` reduces each batch as soon as it arrives, on the outputs' own
// device (only each input's neuron number and value reach the host), and keeps the entries in
// compact per-layer buffers. A flush merges every buffered entry into the store's tables through
// the store's own cache and writes them as one journaled change, so a table is rewritten once per
// flush instead of once per batch. `merge` combines stores recorded apart (one per process) into one.
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

#include "convert.hpp"
#include "db.hpp"
#include "kernels/codec.hpp"
#include "kernels/index_type.hpp"
#include "kernels/merge.hpp"
#include "kernels/sort.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/func.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Strings and objects of this unit; made once in the execute step, never released.
struct RecorderState {
    PyObject *to, *reshape, *amax, *dim, *view, *cpu, *numpy, *indices, *values, *visititems, *shape;
    PyObject* torch_max;  // torch.max
    PyObject* stack;      // torch.stack
    PyObject* float32;    // torch.float32
    PyObject* int32;      // torch.int32
    PyObject* dataset;    // h5py.Dataset
    PyObject* type;       // the class Recorder
};
RecorderState R{};

// ---------------------------------------------------------------------------------------------
// Reduction of one output to a (neuron, value) pair per input

/// One layer of a batch, reduced: per input row, the neuron with the largest value and that value.
struct Reduced {
    std::vector<std::uint32_t> neurons;
    std::vector<float> values;
};

constexpr std::size_t max_neurons = 0x7FFFFFFFu;  // neuron numbers cross to the host as int32

/// The error of an argmax over no neurons, as NumPy words it.
int no_neurons() {
    PyErr_SetString(PyExc_ValueError, "attempt to get argmax of an empty sequence");
    return -1;
}

/// The axes the "text" preprocessor takes the maximum over: (1, ..., ndim - 2).
Ref token_axes(Py_ssize_t ndim) {
    Ref axes = Ref::steal(PyTuple_New(ndim - 2));
    for (Py_ssize_t d = 1; axes && d < ndim - 1; ++d) {
        PyObject* axis = PyLong_FromSsize_t(d);
        if (!axis) return {};
        PyTuple_SET_ITEM(axes.get(), d - 1, axis);
    }
    return axes;
}

/// `value` (a tensor or an array) as one row per input: rank 1 as one column, rank 2 as it is,
/// rank 3 and up through the store's preprocessor ("" when it has none).
Ref one_row_per_input(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, bool tensor) {
    if (ndim == 2) return Ref::borrow(value);
    Ref shape;
    if (ndim == 1) {
        shape = Ref::steal(Py_BuildValue("(ni)", rows, 1));
    } else if (PyUnicode_GET_LENGTH(preprocessor) == 0) {
        PyErr_SetString(PyExc_ValueError, "Preprocessor not specified for activations with ndim > 2.");
        py::add_note_format(missing_preprocessor_note);
        return {};
    } else if (PyUnicode_CompareWithASCIIString(preprocessor, "image") == 0) {
        shape = Ref::steal(Py_BuildValue("(ni)", rows, -1));
    } else if (PyUnicode_CompareWithASCIIString(preprocessor, "text") == 0) {
        Ref axes = token_axes(ndim);
        if (!axes) return {};
        // The maximum over tokens, as the store takes it: NaN propagates.
        PyObject* argv[] = {value, axes.get()};
        Ref kw = Ref::steal(PyTuple_Pack(1, tensor ? R.dim : G.names.axis));
        return kw ? Ref::steal(PyObject_VectorcallMethod(tensor ? R.amax : G.names.max, argv, 1, kw.get())) : Ref{};
    } else {
        PyErr_Format(PyExc_ValueError, "Invalid preprocessor %U", preprocessor);
        return {};
    }
    return shape ? py::call_method(value, R.reshape, shape.get()) : Ref{};
}

/// A tensor's rows reduced on its device; the neuron numbers and values cross to the host
/// together, as one (2, rows) int32 tensor (the values bit for bit).
int reduce_tensor(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, Reduced& out) {
    // float32 first, as the host conversion does, so that rounding makes the same ties.
    Ref x = py::call_method(value, R.to, R.float32);
    Ref table = x ? one_row_per_input(x.get(), ndim, rows, preprocessor, true) : Ref{};
    if (!table) return -1;
    Ref size = Ref::steal(PyObject_CallMethod(table.get(), "size", "i", 1));
    Py_ssize_t neurons = size ? PyLong_AsSsize_t(size.get()) : -1;
    if (neurons < 0) return -1;
    if (neurons == 0) return no_neurons();
    if (static_cast<std::size_t>(neurons) > max_neurons) {
        PyErr_Format(PyExc_ValueError, "a layer of %zd neurons has more than a neuron number holds", neurons);
        return -1;
    }
    if (rows == 0) return 0;
    Ref one = Ref::steal(PyLong_FromLong(1));
    // Values and first indices of the row maxima; NaN counts as largest, ties go to the first.
    Ref best = one ? py::call(R.torch_max, table.get(), one.get()) : Ref{};
    Ref idx = best ? py::getattr(best.get(), R.indices) : Ref{};
    Ref vals = idx ? py::getattr(best.get(), R.values) : Ref{};
    Ref idx32 = vals ? py::call_method(idx.get(), R.to, R.int32) : Ref{};
    Ref bits = idx32 ? py::call_method(vals.get(), R.view, R.int32) : Ref{};
    Ref pair = bits ? Ref::steal(PyTuple_Pack(2, idx32.get(), bits.get())) : Ref{};
    Ref packed = pair ? py::call(R.stack, pair.get()) : Ref{};
    Ref host = packed ? py::call_method(packed.get(), R.cpu) : Ref{};
    Ref array = host ? py::call_method(host.get(), R.numpy) : Ref{};
    if (!array) return -1;
    Ref dense = Ref::steal(PyArray_FROM_OTF(array.get(), NPY_INT32, NPY_ARRAY_CARRAY));
    if (!dense) return -1;
    auto* a = reinterpret_cast<PyArrayObject*>(dense.get());
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != 2 || PyArray_DIM(a, 1) != rows) {
        PyErr_SetString(PyExc_RuntimeError, "the reduced rows of a tensor came back in an unexpected shape");
        return -1;
    }
    const std::int32_t* data = static_cast<const std::int32_t*>(PyArray_DATA(a));
    out.neurons.resize(rows);
    out.values.resize(rows);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        if (data[r] < 0 || data[r] >= neurons) {
            PyErr_Format(PyExc_RuntimeError, "the row maximum of a tensor names neuron %d of %zd", data[r], neurons);
            return -1;
        }
        out.neurons[r] = static_cast<std::uint32_t>(data[r]);
        out.values[r] = std::bit_cast<float>(data[rows + r]);
    }
    return 0;
}

/// A host float32 array's rows reduced with NumPy's argmax, the values read where it points.
int reduce_array(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, Reduced& out) {
    Ref table = one_row_per_input(value, ndim, rows, preprocessor, false);
    Ref dense = table ? Ref::steal(PyArray_FROM_OTF(table.get(), NPY_FLOAT32, NPY_ARRAY_CARRAY)) : Ref{};
    if (!dense) return -1;
    auto* a = reinterpret_cast<PyArrayObject*>(dense.get());
    npy_intp neurons = PyArray_DIM(a, 1);
    if (neurons == 0) return no_neurons();
    if (static_cast<std::size_t>(neurons) > max_neurons) {
        PyErr_Format(PyExc_ValueError, "a layer of %zd neurons has more than a neuron number holds",
                     static_cast<Py_ssize_t>(neurons));
        return -1;
    }
    Ref argmax = Ref::steal(PyArray_ArgMax(a, 1, nullptr));
    if (!argmax) return -1;
    const npy_intp* col = static_cast<const npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(argmax.get())));
    const float* data = static_cast<const float*>(PyArray_DATA(a));
    out.neurons.resize(rows);
    out.values.resize(rows);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        out.neurons[r] = static_cast<std::uint32_t>(col[r]);
        out.values[r] = data[r * neurons + col[r]];
    }
    return 0;
}

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
    Buffer* buffer;
    std::uint64_t flush_every;
    std::uint64_t durable;  // inputs written by completed flushes
    bool busy;              // an add or flush is running
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
constexpr int index_npy_type[kern::n_index_types] = {NPY_UINT16, NPY_UINT32, NPY_UINT64};

/// A table's columns, checked: the index type code and a view usable as a merge run.
struct Columns {
    int code;
    kern::Run run;
};

int read_columns(PyObject* table, Ref& idxs, Ref& vals, Columns& out) {
    idxs = py::getattr(table, G.names.idxs);
    vals = idxs ? py::getattr(table, G.names.vals) : Ref{};
    if (!vals) return -1;
    if (!PyArray_Check(idxs.get()) || !PyArray_Check(vals.get())) {
        PyErr_SetString(PyExc_TypeError, "the columns of a table must be NumPy arrays");
        return -1;
    }
    auto* i = reinterpret_cast<PyArrayObject*>(idxs.get());
    auto* v = reinterpret_cast<PyArrayObject*>(vals.get());
    PyArray_Descr *di = PyArray_DESCR(i), *dv = PyArray_DESCR(v);
    npy_intp width = PyDataType_ELSIZE(di);
    bool index_ok = di->kind == 'u' && PyArray_ISNOTSWAPPED(i) && (width == 2 || width == 4 || width == 8);
    bool value_ok = dv->kind == 'f' && PyDataType_ELSIZE(dv) == 4 && PyArray_ISNOTSWAPPED(v);
    if (PyArray_NDIM(i) != 1 || PyArray_NDIM(v) != 1 || !index_ok || !value_ok ||
        PyArray_DIM(i, 0) != PyArray_DIM(v, 0)) {
        PyErr_SetString(PyExc_ValueError,
                        "a table's columns must be one-dimensional, of equal length, uint16/32/64 and float32");
        return -1;
    }
    out.code = width == 2 ? 0 : width == 4 ? 1 : 2;
    out.run = {PyArray_BYTES(i), PyArray_STRIDES(i)[0], static_cast<std::size_t>(width),
               {PyArray_BYTES(v), PyArray_STRIDES(v)[0], static_cast<std::size_t>(PyArray_DIM(v, 0))}};
    return 0;
}

/// New columns of `total` entries of index type `code`.
int new_columns(npy_intp total, int code, Ref& idxs, Ref& vals) {
    idxs = Ref::steal(PyArray_SimpleNew(1, &total, index_npy_type[code]));
    vals = idxs ? Ref::steal(PyArray_SimpleNew(1, &total, NPY_FLOAT32)) : Ref{};
    return vals ? 0 : -1;
}

template <class T>
T* data_of(const Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

/// Puts a new table with the given columns under `key` in the store's cache, marked changed.
int cache_table(PyObject* cache, PyObject* key, Ref idxs, Ref vals) {
    Ref table = py::call(G.table_type, idxs.get(), vals.get());
    if (!table || PyObject_SetAttr(table.get(), G.names._flushed, Py_False) < 0) return -1;
    return PyObject_SetItem(cache, key, table.get());
}

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

/// Warns when one index is given more than once in a batch: a search adds up the scores of its copies.
int warn_repeated(std::vector<std::uint64_t> indices) {
    std::sort(indices.begin(), indices.end());
    auto repeated = std::adjacent_find(indices.begin(), indices.end());
    if (repeated == indices.end()) return 0;
    unsigned long long example = *repeated;
    std::size_t copies = indices.size() - static_cast<std::size_t>(std::unique(indices.begin(), indices.end()) - indices.begin());
    return PyErr_WarnFormat(G.warning, 1,
                            "Recorder.add got %zu repeated indices in one batch (such as %llu): every copy is stored "
                            "as an entry, and a search adds up the scores of the copies. Give each input its own "
                            "index.",
                            copies, example);
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

/// The store's preprocessor, or "" when it has none.
Ref store_preprocessor(PyObject* db) {
    Ref p = py::getattr(db, G.names.preprocessor);
    int truthy = p ? PyObject_IsTrue(p.get()) : -1;
    if (truthy < 0) return {};
    if (!truthy) return Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!PyUnicode_CheckExact(p.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(p.get())->tp_name);
        return {};
    }
    return p;
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
    if (batch_indices(idx, list.get(), rows, indices) < 0 || (list && warn_repeated(indices) < 0)) return {};
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
        Ref p = store_preprocessor(self->db);
        if (!p) return {};
        Py_SETREF(self->preprocessor, p.release());
    }
    // Every output is reduced before anything is buffered: an add keeps its whole batch or nothing.
    std::vector<std::pair<Ref, Reduced>> reduced;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        Ref text = Ref::steal(PyObject_Str(kept[j].name.get()));
        if (!text || check_layer_text(text.get()) < 0) return {};
        auto& [name, layer] = reduced.emplace_back(std::move(text), Reduced{});
        PyObject *value = kept[j].value.get(), *p = self->preprocessor;
        int status = kept[j].is_tensor ? reduce_tensor(value, ndims[j], rows, p, layer)
                                       : reduce_array(value, ndims[j], rows, p, layer);
        if (status < 0) return {};
    }
    Buffer& buffer = *self->buffer;
    if (rows == 0) return Ref::borrow(Py_None);
    if (buffer.batches == kern::max_batches && flush(self) < 0) return {};
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
            into.reserve(static_cast<std::size_t>(rows), self->flush_every + rows);
            if (into.batches.empty() || into.batches.back().first != buffer.batches)
                into.batches.emplace_back(buffer.batches, into.neurons.size());
            into.neurons.insert(into.neurons.end(), layer.neurons.begin(), layer.neurons.end());
            into.values.insert(into.values.end(), layer.values.begin(), layer.values.end());
            into.indices.insert(into.indices.end(), indices.begin(), indices.end());
        }
    } catch (...) {
        take_back();
        throw;
    }
    ++buffer.batches;
    buffer.inputs += static_cast<std::uint64_t>(rows);
    if (buffer.inputs >= self->flush_every && flush(self) < 0) {
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
Ref recorder_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
    if (py::no_keywords("__exit__", kwnames) < 0 || flush_alone(self) < 0) return {};
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

int recorder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_recorder(self)->db);
    return 0;
}

int recorder_clear(PyObject* self) {
    if (as_recorder(self)->db) std::erase(*live_recorders, as_recorder(self));
    Py_CLEAR(as_recorder(self)->db);
    Py_CLEAR(as_recorder(self)->preprocessor);
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

QUORLIN_SIGNATURE(db_recorder_sig, "recorder", 0, true, true, "flush_every");

}  // namespace

const char db_recorder_name[] = "cquorlin.DB.recorder";

Ref db_recorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* every_arg;
    if (py::parse(db_recorder_sig, args, nargs, kwnames, &every_arg) < 0 || check_open(self) < 0) return {};
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
    Py_ssize_t every = 65536;
    if (every_arg) {
        every = PyNumber_AsSsize_t(every_arg, PyExc_OverflowError);
        if (every == -1 && PyErr_Occurred()) return {};
        if (every < 1) {
            PyErr_Format(PyExc_ValueError, "flush_every must be at least 1, not %zd", every);
            return {};
        }
    }
    Ref p = store_preprocessor(self);
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
    rec->preprocessor = p.release();
    rec->busy = false;
    rec->flush_every = static_cast<std::uint64_t>(every);
    rec->durable = 0;
    return obj;
}

int flush_recorders(PyObject* db) {
    // Held for the loop: a flush runs Python code, which may drop or make recorders.
    std::vector<Ref> held;
    for (Recorder* r : *live_recorders)
        if (r->db == db && r->buffer->inputs > 0) held.push_back(Ref::borrow(reinterpret_cast<PyObject*>(r)));
    for (const auto& r : held)
        if (as_recorder(r.get())->db == db && flush_alone(r.get()) < 0) return -1;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// merge

namespace {

/// `visititems` callback: appends the name of every dataset to the list `self`.
PyObject* collect_dataset(PyObject* list, PyObject* args) {
    PyObject *name, *obj;
    if (!PyArg_UnpackTuple(args, "collect", 2, 2, &name, &obj)) return nullptr;
    int is_dataset = PyObject_IsInstance(obj, R.dataset);
    if (is_dataset < 0 || (is_dataset && PyList_Append(list, name) < 0)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef collect_def = {"collect", collect_dataset, METH_VARARGS, nullptr};

/// The names of every table in the store `db`, appended to `keys` once each (in `seen`).
int table_names(PyObject* db, PyObject* keys, PyObject* seen) {
    Ref names = Ref::steal(PyList_New(0));
    Ref collect = names ? Ref::steal(PyCFunction_New(&collect_def, names.get())) : Ref{};
    Ref file = collect ? py::getattr(db, G.names.file) : Ref{};
    if (!file || !py::call_method(file.get(), R.visititems, collect.get())) return -1;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j) {
        PyObject* name = PyList_GET_ITEM(names.get(), j);
        int known = PySet_Contains(seen, name);
        if (known < 0) return -1;
        if (!known && (PySet_Add(seen, name) < 0 || PyList_Append(keys, name) < 0)) return -1;
    }
    return 0;
}

/// Opens the store at `path` through DB.
Ref open_store(PyObject* path, const char* mode) {
    Ref m = Ref::steal(PyUnicode_FromString(mode));
    return m ? py::call(G.db_type, path, m.get()) : Ref{};
}

/// The table `key` of every store that has it, merged into the target's cache as changed.
int merge_table(PyObject* target, PyObject* cache, const std::vector<Ref>& stores, PyObject* key, std::size_t& entries) {
    std::vector<Ref> tables, columns;
    std::vector<kern::Run> runs;
    int code = 0;
    std::size_t total = 0;
    bool target_had_it = false;
    PyObject* no_create[] = {nullptr, key, Py_False};
    Ref kw = Ref::steal(PyTuple_Pack(1, G.names.create));
    if (!kw) return -1;
    for (std::size_t s = 0; s <= stores.size(); ++s) {
        no_create[0] = s == 0 ? target : stores[s - 1].get();
        Ref table = Ref::steal(PyObject_VectorcallMethod(G.names._get_table, no_create, 2, kw.get()));
        if (!table) return -1;
        if (table.get() == Py_None) continue;
        target_had_it = target_had_it || s == 0;
        Ref idxs, vals;
        Columns c;
        if (read_columns(table.get(), idxs, vals, c) < 0) return -1;
        if (!kern::is_sorted(c.run.vals)) {
            PyErr_Format(PyExc_ValueError, "table %R of a store is not in value order", key);
            return -1;
        }
        code = std::max(code, c.code);
        total += c.run.vals.size;
        runs.push_back(c.run);
        tables.push_back(std::move(table));
        columns.push_back(std::move(idxs));
        columns.push_back(std::move(vals));
    }
    Ref idxs, vals;
    if (new_columns(static_cast<npy_intp>(total), code, idxs, vals) < 0) return -1;
    with_index_type(code, [&](auto type) { kern::merge_runs(runs, data_of<decltype(type)>(idxs), data_of<float>(vals)); });
    entries += total;
    if (cache_table(cache, key, std::move(idxs), std::move(vals)) < 0) return -1;
    if (target_had_it) release_table(tables.front().get(), 1);  // replaced in the cache
    return 0;
}

/// Checks that the stores' preprocessors agree; `chosen` is the one they share (None: none has one).
int agree_on_preprocessor(const std::vector<Ref>& stores, PyObject* paths, Ref& chosen, Py_ssize_t& chosen_at) {
    chosen = Ref::borrow(Py_None);
    chosen_at = -1;
    for (std::size_t s = 0; s < stores.size(); ++s) {
        Ref p = py::getattr(stores[s].get(), G.names.preprocessor);
        int has = p ? PyObject_IsTrue(p.get()) : -1;
        if (has < 0) return -1;
        if (!has) continue;
        if (chosen_at < 0) {
            chosen = std::move(p);
            chosen_at = static_cast<Py_ssize_t>(s);
            continue;
        }
        int same = PyObject_RichCompareBool(chosen.get(), p.get(), Py_EQ);
        if (same < 0) return -1;
        if (!same) {
            PyErr_Format(PyExc_ValueError, "the stores' preprocessors differ: %R has %R, %R has %R",
                         PyList_GET_ITEM(paths, chosen_at), chosen.get(), PyList_GET_ITEM(paths, s), p.get());
            return -1;
        }
    }
    return 0;
}

/// Entries merged into the target's cache before they are written as one change.
constexpr std::size_t merge_chunk = std::size_t{1} << 22;

constexpr char merge_name[] = "cquorlin.merge";
QUORLIN_SIGNATURE(merge_sig, "merge", 2, false, true, "target", "sources");

Ref merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(merge_sig, args, nargs, kwnames, a) < 0) return {};
    Ref fspath = Ref::steal(PyImport_ImportModule("os"));
    Ref fsfn = fspath ? Ref::steal(PyObject_GetAttrString(fspath.get(), "fspath")) : Ref{};
    if (PyUnicode_Check(a[1]) || PyBytes_Check(a[1])) {
        PyErr_SetString(PyExc_TypeError, "sources must be an iterable of paths, not one path");
        return {};
    }
    Ref target_path = fsfn ? py::call(fsfn.get(), a[0]) : Ref{};
    Ref source_list = target_path ? Ref::steal(PySequence_List(a[1])) : Ref{};
    Ref os_path = source_list ? Ref::steal(PyObject_GetAttrString(fspath.get(), "path")) : Ref{};
    Ref realpath = os_path ? Ref::steal(PyObject_GetAttrString(os_path.get(), "realpath")) : Ref{};
    if (!realpath) return {};
    // Files are told apart by where their names lead, so that one file under two names is refused.
    Ref paths = Ref::steal(PyList_New(0));
    Ref real_paths = Ref::steal(PyList_New(0));
    Ref real_target = real_paths ? py::call(realpath.get(), target_path.get()) : Ref{};
    if (!paths || !real_target || PyList_Append(paths.get(), target_path.get()) < 0 ||
        PyList_Append(real_paths.get(), real_target.get()) < 0)
        return {};
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(source_list.get()); ++j) {
        Ref path = py::call(fsfn.get(), PyList_GET_ITEM(source_list.get(), j));
        Ref real = path ? py::call(realpath.get(), path.get()) : Ref{};
        int again = real ? PySequence_Contains(real_paths.get(), real.get()) : -1;
        if (again < 0) return {};
        if (again) {
            PyErr_Format(PyExc_ValueError, "%R is named twice among the target and the sources", path.get());
            return {};
        }
        if (PyList_Append(paths.get(), path.get()) < 0 || PyList_Append(real_paths.get(), real.get()) < 0) return {};
    }
    std::vector<Ref> sources;
    auto close_all = [&](PyObject* target) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (auto& db : sources)
            if (!py::call_method(db.get(), G.names.close)) PyErr_Clear();
        if (target && !py::call_method(target, G.names.close)) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    };
    // Sources open read-only; every check runs before the target is opened (or created).
    for (Py_ssize_t j = 1; j < PyList_GET_SIZE(paths.get()); ++j) {
        Ref db = open_store(PyList_GET_ITEM(paths.get(), j), "r");
        if (!db) {
            close_all(nullptr);
            return {};
        }
        sources.push_back(std::move(db));
    }
    Ref chosen;
    Py_ssize_t chosen_at;
    Ref source_paths = Ref::steal(PyList_GetSlice(paths.get(), 1, PY_SSIZE_T_MAX));
    if (!source_paths || agree_on_preprocessor(sources, source_paths.get(), chosen, chosen_at) < 0) {
        close_all(nullptr);
        return {};
    }
    Ref target = open_store(target_path.get(), "a");
    if (!target) {
        close_all(nullptr);
        return {};
    }
    auto run = [&]() -> int {
        Ref own = py::getattr(target.get(), G.names.preprocessor);
        int has = own ? PyObject_IsTrue(own.get()) : -1;
        if (has < 0) return -1;
        if (has && chosen.get() != Py_None) {
            int same = PyObject_RichCompareBool(own.get(), chosen.get(), Py_EQ);
            if (same < 0) return -1;
            if (!same) {
                PyErr_Format(PyExc_ValueError, "the stores' preprocessors differ: %R has %R, %R has %R",
                             target_path.get(), own.get(), PyList_GET_ITEM(paths.get(), chosen_at + 1), chosen.get());
                return -1;
            }
        }
        if (!has && chosen.get() != Py_None && PyObject_SetAttr(target.get(), G.names.preprocessor, chosen.get()) < 0)
            return -1;
        Ref keys = Ref::steal(PyList_New(0));
        Ref seen = Ref::steal(PySet_New(nullptr));
        if (!keys || !seen) return -1;
        for (auto& db : sources)
            if (table_names(db.get(), keys.get(), seen.get()) < 0) return -1;
        Ref cache = py::getattr(target.get(), G.names.cache);
        if (!cache || !py::call_method(target.get(), G.names._clear_cache)) return -1;
        std::size_t entries = 0;
        auto write = [&]() -> int {
            entries = 0;
            for (auto& db : sources)
                if (!py::call_method(db.get(), G.names._clear_cache)) return -1;
            return py::call_method(target.get(), G.names._clear_cache) ? 0 : -1;
        };
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(keys.get()); ++j) {
            if (merge_table(target.get(), cache.get(), sources, PyList_GET_ITEM(keys.get(), j), entries) < 0) return -1;
            if (entries >= merge_chunk && write() < 0) return -1;
        }
        return write();
    };
    int status = run();
    if (status < 0) {
        // What is not written yet is dropped, so that closing the target does not write it.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref cache = py::getattr(target.get(), G.names.cache);
        if (cache && PyDict_Check(cache.get())) PyDict_Clear(cache.get());
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    close_all(target.get());
    return status < 0 ? Ref{} : Ref::borrow(Py_None);
}

PyMethodDef merge_functions[] = {
    py::method_def<merge, merge_name>("merge"),
    {nullptr, nullptr, 0, nullptr},
};

int intern_recorder_names() {
    PyObject** names[] = {&R.to,  &R.reshape, &R.amax,    &R.dim,    &R.view,       &R.cpu,
                          &R.numpy, &R.indices, &R.values, &R.visititems, &R.shape};
    const char* texts[] = {"to", "reshape", "amax", "dim", "view", "cpu", "numpy", "indices", "values", "visititems", "shape"};
    static_assert(std::size(names) == std::size(texts));
    for (std::size_t j = 0; j < std::size(names); ++j)
        if (!(*names[j] = PyUnicode_InternFromString(texts[j]))) return -1;
    return 0;
}

}  // namespace

int recorder_exec(PyObject* module) {
    if (intern_recorder_names() < 0) return -1;
    if (!(live_recorders = new (std::nothrow) std::vector<Recorder*>())) {
        PyErr_NoMemory();
        return -1;
    }
    Ref h5py = Ref::steal(PyImport_ImportModule("h5py"));
    if (!h5py || !(R.dataset = PyObject_GetAttrString(h5py.get(), "Dataset"))) return -1;
    if (!(R.torch_max = PyObject_GetAttrString(G.torch, "max")) || !(R.stack = PyObject_GetAttrString(G.torch, "stack")) ||
        !(R.float32 = PyObject_GetAttrString(G.torch, "float32")) || !(R.int32 = PyObject_GetAttrString(G.torch, "int32")))
        return -1;
    if (!(R.type = PyType_FromModuleAndSpec(module, &recorder_spec, nullptr)) ||
        PyObject_SetAttrString(module, "Recorder", R.type) < 0)
        return -1;
    return PyModule_AddFunctions(module, merge_functions);
}

}  // namespace quorlin
