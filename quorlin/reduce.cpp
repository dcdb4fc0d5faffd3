// The reduction of layer outputs to each input's strongest neurons: NumPy's argmax (m = 1) or the
// host kernel for arrays, torch's max or a topk over order-keeping integer keys on a tensor's device.
#include "reduce.hpp"

#include "py/numpy.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

#include "kernels/strongest.hpp"
#include "py/errors.hpp"
#include "py/func.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Strings and torch objects of this unit; made once in the execute step, never released.
struct ReduceState {
    PyObject *to, *reshape, *amax, *dim, *view, *cpu, *numpy, *indices, *values, *isnan, *topk, *gather, *arange, *device, *detach, *is_cpu;
    PyObject* torch_max;    // torch.max
    PyObject* torch_where;  // torch.where
    PyObject* stack;        // torch.stack
    PyObject* float32;      // torch.float32
    PyObject* int32;        // torch.int32
    PyObject* int64;        // torch.int64
};
ReduceState R{};

constexpr std::size_t max_neurons = 0x7FFFFFFFu;  // neuron numbers cross to the host as int32

/// The error of an argmax over no neurons, as NumPy words it.
int no_neurons() {
    PyErr_SetString(PyExc_ValueError, "attempt to get argmax of an empty sequence");
    return -1;
}

int too_many_neurons(Py_ssize_t neurons) {
    PyErr_Format(PyExc_ValueError, "a layer of %zd neurons has more than a neuron number holds", neurons);
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

/// The maximum of `value` (an array or a tensor) over its token axes; NaN propagates.
Ref token_maximum(PyObject* value, Py_ssize_t ndim, bool tensor) {
    Ref axes = token_axes(ndim);
    if (!axes) return {};
    PyObject* argv[] = {value, axes.get()};
    Ref kw = Ref::steal(PyTuple_Pack(1, tensor ? R.dim : G.names.axis));
    return kw ? Ref::steal(PyObject_VectorcallMethod(tensor ? R.amax : G.names.max, argv, 1, kw.get())) : Ref{};
}

/// The note on the error of an output of rank 3 or more in a store without a preprocessor.
constexpr char missing_preprocessor_note[] =
    "Give the store a preprocessor: DB(path, preprocessor=\"image\"|\"text\") when opening it, or "
    "db.preprocessor = \"image\" (each input's output flattened) or \"text\" (the maximum over the tokens) on "
    "the open store. A recorder made before reads it when an output first needs it.";

/// ValueError for a preprocessor that cannot make rows of an output of rank 3 and up; 0 for one that can.
int check_preprocessor_name(PyObject* preprocessor) {
    if (preprocessor == Py_None || PyUnicode_GET_LENGTH(preprocessor) == 0) {
        PyErr_SetString(PyExc_ValueError, "Preprocessor not specified for activations with ndim > 2.");
        return py::add_note_format(missing_preprocessor_note);
    }
    if (PyUnicode_CompareWithASCIIString(preprocessor, "image") == 0 ||
        PyUnicode_CompareWithASCIIString(preprocessor, "text") == 0)
        return 0;
    PyErr_Format(PyExc_ValueError, "Invalid preprocessor %U", preprocessor);
    return -1;
}

bool is_image(PyObject* preprocessor) { return PyUnicode_CompareWithASCIIString(preprocessor, "image") == 0; }

/// One array of the store's batches as one row per input and one column per neuron: rank 1 as a
/// single row, rank 2 as it is, rank 3 and up flattened ("image") or maximised over the tokens ("text").
Ref preprocess(PyObject* acts, PyObject* preprocessor) {
    auto* arr = reinterpret_cast<PyArrayObject*>(acts);
    int ndim = PyArray_NDIM(arr);
    if (ndim == 0) {
        PyErr_SetNone(PyExc_AssertionError);
        return {};
    }
    if (ndim == 2) return Ref::borrow(acts);
    if (ndim > 2 && check_preprocessor_name(preprocessor) < 0) return {};
    if (ndim == 1 || is_image(preprocessor)) {
        npy_intp dims[2] = {ndim == 1 ? 1 : PyArray_DIM(arr, 0), ndim == 1 ? PyArray_DIM(arr, 0) : -1};
        PyArray_Dims shape = {dims, 2};
        return Ref::steal(PyArray_Newshape(arr, &shape, NPY_CORDER));
    }
    return token_maximum(acts, ndim, false);
}

/// A recorded output (a tensor or an array) as one row per input: rank 1 as one column, rank 2 as
/// it is, rank 3 and up through the preprocessor ("" when the store has none).
Ref one_row_per_input(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, bool tensor) {
    if (ndim == 2) return Ref::borrow(value);
    if (ndim > 2 && check_preprocessor_name(preprocessor) < 0) return {};
    if (ndim > 2 && !is_image(preprocessor)) return token_maximum(value, ndim, tensor);
    Ref shape = Ref::steal(Py_BuildValue("(ni)", rows, ndim == 1 ? 1 : -1));
    return shape ? py::call_method(value, R.reshape, shape.get()) : Ref{};
}

/// The TypeError for a layer value that is not an array; a tensor's carries a note on the way to arrays.
int raise_not_an_array(PyObject* value) {
    Ref error = Ref::steal(PyUnicode_FromFormat("Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, "numpy.ndarray"));
    if (error) error = py::call(PyExc_TypeError, error.get());
    if (!error) return -1;
    int is_tensor = PyObject_IsInstance(value, G.tensor);
    if (is_tensor < 0) return -1;
    if (is_tensor) {
        Ref note = Ref::steal(PyUnicode_FromString(
            "Convert a model's outputs with cquorlin.to_numpy(outputs, batch_size, attention_mask=None): it keeps "
            "the floating-point values of the batch as float32 arrays on the host."));
        Ref add_note = note ? Ref::steal(PyObject_GetAttrString(error.get(), "add_note")) : Ref{};
        if (!add_note || !py::call(add_note.get(), note.get())) return -1;
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
    return -1;
}

/// Each row's strongest column by the array's own argmax, and the element there as float() reads it.
int argmax_rows(PyObject* layer_key, PyArrayObject* arr, RowNeurons& out) {
    Ref amxs = Ref::steal(PyArray_ArgMax(arr, 1, nullptr));
    if (!amxs) return -1;
    npy_intp rows = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(amxs.get()));
    Ref neuron_list = Ref::steal(PyArray_ToList(reinterpret_cast<PyArrayObject*>(amxs.get())));
    if (!neuron_list) return -1;
    out.rows = rows;
    out.per_row = 1;
    out.neurons.resize(rows);
    out.values.resize(rows);
    for (npy_intp r = 0; r < rows; ++r) {
        npy_intp col = PyLong_AsSsize_t(PyList_GET_ITEM(neuron_list.get(), r));
        if (col == -1 && PyErr_Occurred()) return -1;
        if (r >= PyArray_DIM(arr, 0) || col < 0 || col >= PyArray_DIM(arr, 1)) {
            PyErr_Format(PyExc_IndexError, "column %zd of row %zd lies outside the reduced output of layer %R",
                         static_cast<Py_ssize_t>(col), static_cast<Py_ssize_t>(r), layer_key);
            return -1;
        }
        // The element itself, as a scalar of the array's type, converted as float() would.
        Ref item = Ref::steal(PyArray_GETITEM(arr, static_cast<const char*>(PyArray_GETPTR2(arr, r, col))));
        double v = item ? PyFloat_AsDouble(item.get()) : -1.0;
        if (!item || (v == -1.0 && PyErr_Occurred())) return -1;
        out.neurons[r] = col;
        out.values[r] = v;
    }
    return 0;
}

/// Each row's `m` strongest columns, chosen on the values as float64.
int strongest_rows(PyArrayObject* arr, std::size_t m, RowNeurons& out) {
    npy_intp rows = PyArray_DIM(arr, 0), cols = PyArray_DIM(arr, 1);
    if (cols == 0 && rows > 0) return no_neurons();
    Ref dense = Ref::steal(PyArray_FROM_OTF(reinterpret_cast<PyObject*>(arr), NPY_FLOAT64, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
    if (!dense) return -1;
    const double* data = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(dense.get())));
    std::size_t per_row = std::min(m, static_cast<std::size_t>(cols));
    out.rows = rows;
    out.per_row = static_cast<Py_ssize_t>(per_row);
    out.neurons.resize(rows * per_row);
    out.values.resize(rows * per_row);
    std::vector<std::size_t> picked(per_row);
    for (npy_intp r = 0; r < rows; ++r) {
        const double* row = data + r * cols;
        kern::strongest(row, static_cast<std::size_t>(cols), per_row, picked.data());
        for (std::size_t j = 0; j < per_row; ++j) {
            out.neurons[r * per_row + j] = static_cast<Py_ssize_t>(picked[j]);
            out.values[r * per_row + j] = row[picked[j]];
        }
    }
    return 0;
}

/// Calls `obj.name(*args)` with interned `name`.
template <class... A>
Ref method(PyObject* obj, PyObject* name, A... args) {
    return py::call_method(obj, name, args...);
}

/// Each row's `m` strongest columns of a float32 tensor, on its device: a topk over keys that
/// order by value (NaN above every number, -0 as +0) and then by the lower column, so that the
/// choice is the same on every device. The columns and the values, bit for bit, come back as one
/// (2, rows, m) int32 tensor.
Ref device_topk(PyObject* table, Py_ssize_t neurons, std::size_t m) {
    Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
    Ref nan = Ref::steal(PyFloat_FromDouble(Py_NAN));
    Ref izero = Ref::steal(PyLong_FromLong(0));
    Ref low31 = Ref::steal(PyLong_FromLong(0x7FFFFFFFL));
    Ref low32 = Ref::steal(PyLong_FromLongLong(0xFFFFFFFFLL));
    Ref high = Ref::steal(PyLong_FromLongLong(1LL << 32));
    Ref count = py::from_size(neurons);
    Ref want = py::from_size(static_cast<Py_ssize_t>(m));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!zero || !nan || !izero || !low31 || !low32 || !high || !count || !want || !one) return {};
    // The value as a signed integer whose order is the value order.
    Ref plus = Ref::steal(PyNumber_Add(table, zero.get()));  // -0 + 0 is +0
    Ref isnan = plus ? method(plus.get(), R.isnan) : Ref{};
    Ref canon = isnan ? py::call(R.torch_where, isnan.get(), nan.get(), plus.get()) : Ref{};
    Ref bits = canon ? method(canon.get(), R.view, R.int32) : Ref{};
    Ref wide = bits ? method(bits.get(), R.to, R.int64) : Ref{};
    Ref negative = wide ? Ref::steal(PyObject_RichCompare(wide.get(), izero.get(), Py_LT)) : Ref{};
    Ref flipped = negative ? Ref::steal(PyNumber_Xor(wide.get(), low31.get())) : Ref{};
    Ref ordered = flipped ? py::call(R.torch_where, negative.get(), flipped.get(), wide.get()) : Ref{};
    // Below it, the column counted from the right: the lower column has the larger key.
    Ref device = ordered ? py::getattr(table, R.device) : Ref{};
    Ref arange = device ? Ref::steal(PyObject_GetAttr(G.torch, R.arange)) : Ref{};
    Ref kw = arange ? Ref::steal(Py_BuildValue("{OO}", R.device, device.get())) : Ref{};
    Ref args = kw ? Ref::steal(PyTuple_Pack(1, count.get())) : Ref{};
    Ref columns = args ? Ref::steal(PyObject_Call(arange.get(), args.get(), kw.get())) : Ref{};
    Ref from_right = columns ? Ref::steal(PyNumber_Subtract(low32.get(), columns.get())) : Ref{};
    Ref shifted = from_right ? Ref::steal(PyNumber_Multiply(ordered.get(), high.get())) : Ref{};
    Ref keys = shifted ? Ref::steal(PyNumber_Add(shifted.get(), from_right.get())) : Ref{};
    Ref top = keys ? method(keys.get(), R.topk, want.get(), one.get()) : Ref{};
    Ref top_keys = top ? py::getattr(top.get(), R.values) : Ref{};
    Ref low = top_keys ? Ref::steal(PyNumber_And(top_keys.get(), low32.get())) : Ref{};
    Ref picked = low ? Ref::steal(PyNumber_Subtract(low32.get(), low.get())) : Ref{};
    Ref values = picked ? method(table, R.gather, one.get(), picked.get()) : Ref{};
    Ref cols32 = values ? method(picked.get(), R.to, R.int32) : Ref{};
    Ref vbits = cols32 ? method(values.get(), R.view, R.int32) : Ref{};
    Ref pair = vbits ? Ref::steal(PyTuple_Pack(2, cols32.get(), vbits.get())) : Ref{};
    return pair ? py::call(R.stack, pair.get()) : Ref{};
}

/// Each row's strongest column of a float32 tensor, on its device (NaN counts as largest, ties go
/// to the first): the columns and values as one (2, rows, 1) int32 tensor.
Ref device_max(PyObject* table) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref best = one ? py::call(R.torch_max, table, one.get()) : Ref{};
    Ref idx = best ? py::getattr(best.get(), R.indices) : Ref{};
    Ref vals = idx ? py::getattr(best.get(), R.values) : Ref{};
    Ref idx32 = vals ? method(idx.get(), R.to, R.int32) : Ref{};
    Ref bits = idx32 ? method(vals.get(), R.view, R.int32) : Ref{};
    Ref pair = bits ? Ref::steal(PyTuple_Pack(2, idx32.get(), bits.get())) : Ref{};
    Ref packed = pair ? py::call(R.stack, pair.get()) : Ref{};
    Ref shape = packed ? Ref::steal(Py_BuildValue("(iii)", 2, -1, 1)) : Ref{};
    return shape ? method(packed.get(), R.reshape, shape.get()) : Ref{};
}

/// Each row's `per_row` strongest neurons of a float32 host array of `rows` rows, one per input.
int host_strongest(PyObject* table, Py_ssize_t rows, std::size_t m, Reduced& out) {
    Ref dense = Ref::steal(PyArray_FROM_OTF(table, NPY_FLOAT32, NPY_ARRAY_CARRAY));
    if (!dense) return -1;
    auto* a = reinterpret_cast<PyArrayObject*>(dense.get());
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != rows) {
        PyErr_SetString(PyExc_RuntimeError, "an output did not reduce to one row per input");
        return -1;
    }
    npy_intp neurons = PyArray_DIM(a, 1);
    if (neurons == 0) return no_neurons();
    if (static_cast<std::size_t>(neurons) > max_neurons) return too_many_neurons(static_cast<Py_ssize_t>(neurons));
    std::size_t per_row = std::min(m, static_cast<std::size_t>(neurons));
    const float* data = static_cast<const float*>(PyArray_DATA(a));
    out.per_row = per_row;
    out.neurons.resize(static_cast<std::size_t>(rows) * per_row);
    out.values.resize(static_cast<std::size_t>(rows) * per_row);
    std::vector<std::size_t> picked(per_row);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        const float* row = data + r * neurons;
        kern::strongest(row, static_cast<std::size_t>(neurons), per_row, picked.data());
        for (std::size_t j = 0; j < per_row; ++j) {
            out.neurons[r * per_row + j] = static_cast<std::uint32_t>(picked[j]);
            out.values[r * per_row + j] = row[picked[j]];
        }
    }
    return 0;
}

/// True when the tensor `t` says it lives in host memory (`is_cpu`).
int on_host(PyObject* t) {
    Ref is_cpu = py::getattr(t, R.is_cpu);
    return is_cpu ? PyObject_IsTrue(is_cpu.get()) : -1;
}

}  // namespace

Ref batch_items(PyObject* acts, Py_ssize_t& bsize) {
    Ref items = Ref::steal(PyMapping_Items(acts));
    if (!items) return {};
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        return {};
    }
    bsize = -1;
    for (Py_ssize_t j = 0; j < n; ++j) {
        Py_ssize_t len = PyObject_Length(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1));
        if (len < 0) return {};
        bsize = std::max(bsize, len);
    }
    return items;
}

Ref store_preprocessor(PyObject* db) {
    Ref p = py::getattr(db, G.names.preprocessor);
    if (!p) return {};
    int truthy = PyObject_IsTrue(p.get());
    if (truthy < 0) return {};
    return truthy ? std::move(p) : Ref::steal(PyUnicode_FromStringAndSize("", 0));
}

int check_preprocessor_type(PyObject* p) {
    if (PyUnicode_CheckExact(p)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(p)->tp_name);
    return -1;
}

int reduce_layer(PyObject* layer_key, PyObject* array, PyObject* preprocessor, std::size_t m, RowNeurons& out) {
    if (!PyArray_Check(array)) return raise_not_an_array(array);
    if (check_preprocessor_type(preprocessor) < 0) return -1;
    Ref preprocessed = preprocess(array, preprocessor);
    if (!preprocessed) return -1;
    if (!PyArray_Check(preprocessed.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(preprocessed.get())) != 2) {
        PyErr_Format(PyExc_TypeError, "the output of layer %R must reduce to a two-dimensional array, not %.200s", layer_key,
                     Py_TYPE(preprocessed.get())->tp_name);
        return -1;
    }
    // A plain array; a copy when its elements are objects, whose comparisons and conversions run
    // Python code that may reshape the caller's array.
    auto* in = reinterpret_cast<PyArrayObject*>(preprocessed.get());
    int copy = PyDataType_REFCHK(PyArray_DESCR(in)) ? NPY_ARRAY_ENSURECOPY : 0;
    Ref reduced = Ref::steal(PyArray_FromArray(in, nullptr, NPY_ARRAY_ENSUREARRAY | copy));
    if (!reduced) return -1;
    auto* arr = reinterpret_cast<PyArrayObject*>(reduced.get());
    return m == 1 ? argmax_rows(layer_key, arr, out) : strongest_rows(arr, m, out);
}

int reduce_tensor(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, std::size_t m, Reduced& out) {
    // float32 first, as the host conversion does, so that rounding makes the same ties.
    Ref x = py::call_method(value, R.to, R.float32);
    Ref table = x ? one_row_per_input(x.get(), ndim, rows, preprocessor, true) : Ref{};
    if (!table) return -1;
    Ref size = Ref::steal(PyObject_CallMethod(table.get(), "size", "i", 1));
    Py_ssize_t neurons = size ? PyLong_AsSsize_t(size.get()) : -1;
    if (neurons < 0) return -1;
    if (neurons == 0) return no_neurons();
    if (static_cast<std::size_t>(neurons) > max_neurons) return too_many_neurons(neurons);
    std::size_t per_row = std::min(m, static_cast<std::size_t>(neurons));
    out.per_row = per_row;
    if (rows == 0) return 0;
    if (per_row > 1) {
        // In host memory the rows are already where the kernel reads them: no torch operation is cheaper.
        int host = on_host(table.get());
        if (host < 0) return -1;
        if (host) {
            Ref detached = method(table.get(), R.detach);
            Ref array = detached ? method(detached.get(), R.numpy) : Ref{};
            return array ? host_strongest(array.get(), rows, m, out) : -1;
        }
    }
    Ref packed = per_row == 1 ? device_max(table.get()) : device_topk(table.get(), neurons, per_row);
    Ref host = packed ? method(packed.get(), R.cpu) : Ref{};
    Ref array = host ? method(host.get(), R.numpy) : Ref{};
    if (!array) return -1;
    Ref dense = Ref::steal(PyArray_FROM_OTF(array.get(), NPY_INT32, NPY_ARRAY_CARRAY));
    if (!dense) return -1;
    auto* a = reinterpret_cast<PyArrayObject*>(dense.get());
    if (PyArray_NDIM(a) != 3 || PyArray_DIM(a, 0) != 2 || PyArray_DIM(a, 1) != rows ||
        PyArray_DIM(a, 2) != static_cast<npy_intp>(per_row)) {
        PyErr_SetString(PyExc_RuntimeError, "the reduced rows of a tensor came back in an unexpected shape");
        return -1;
    }
    const std::int32_t* data = static_cast<const std::int32_t*>(PyArray_DATA(a));
    std::size_t n = static_cast<std::size_t>(rows) * per_row;
    out.neurons.resize(n);
    out.values.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        if (data[j] < 0 || data[j] >= neurons) {
            PyErr_Format(PyExc_RuntimeError, "the strongest neurons of a tensor name neuron %d of %zd", data[j], neurons);
            return -1;
        }
        out.neurons[j] = static_cast<std::uint32_t>(data[j]);
        out.values[j] = std::bit_cast<float>(data[n + j]);
    }
    return 0;
}

int reduce_array(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, std::size_t m, Reduced& out) {
    Ref table = one_row_per_input(value, ndim, rows, preprocessor, false);
    return table ? host_strongest(table.get(), rows, m, out) : -1;
}

int reduce_exec() {
    PyObject** names[] = {&R.to,      &R.reshape, &R.amax, &R.dim,    &R.view,   &R.cpu,    &R.numpy,
                          &R.indices, &R.values,  &R.isnan, &R.topk,  &R.gather, &R.arange, &R.device, &R.detach, &R.is_cpu};
    const char* texts[] = {"to",      "reshape", "amax",  "dim",  "view",   "cpu",    "numpy",
                           "indices", "values",  "isnan", "topk", "gather", "arange", "device", "detach", "is_cpu"};
    static_assert(std::size(names) == std::size(texts));
    for (std::size_t j = 0; j < std::size(names); ++j)
        if (!(*names[j] = PyUnicode_InternFromString(texts[j]))) return -1;
    const char* objects[] = {"max", "where", "stack", "float32", "int32", "int64"};
    PyObject** into[] = {&R.torch_max, &R.torch_where, &R.stack, &R.float32, &R.int32, &R.int64};
    for (std::size_t j = 0; j < std::size(objects); ++j)
        if (!(*into[j] = PyObject_GetAttrString(G.torch, objects[j]))) return -1;
    return 0;
}

}  // namespace quorlin
