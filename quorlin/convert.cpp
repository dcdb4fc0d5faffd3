// From a model's outputs to the arrays the store takes. An embedding model returns every layer's
// output, and some of them are not per-input values at all (position tables, attention biases,
// weights); the store skips or refuses a value whose first axis is not the batch, so the selection
// here leaves those out and says why, instead of letting them reach `DB.add`.
#include "convert.hpp"

#include "py/numpy.hpp"

#include <cmath>
#include <iterator>

#include "py/args.hpp"
#include "py/func.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {

/// Strings and objects of this unit; made once in the execute step, never released.
struct ConvertState {
    PyObject *shape, *detach, *dtype, *is_floating_point, *to, *contiguous, *numpy, *masked_fill, *reshape, *eq,
        *device, *cpu, *skipped, *is_nested;
    PyObject* as_tensor;   // torch.as_tensor
    PyObject* float32;     // torch.float32
    PyObject* neg_inf;     // float("-inf")
    PyObject* zero;        // 0
    PyObject* activations; // the class `Activations`
};
ConvertState C{};

constexpr char q_to_numpy[] = "cquorlin.to_numpy";

/// Records why `name` was left out.
int skip(PyObject* skipped, PyObject* name, Ref reason) {
    return reason ? PyDict_SetItem(skipped, name, reason.get()) : -1;
}

/// The shape of a tensor or array as a tuple of ints, checked.
Ref shape_of(PyObject* value) {
    Ref shape = py::getattr(value, C.shape);
    if (!shape) return {};
    if (!PyTuple_Check(shape.get())) {
        PyErr_Format(PyExc_TypeError, "shape of %.200s is not a tuple", Py_TYPE(value)->tp_name);
        return {};
    }
    for (Py_ssize_t d = 0; d < PyTuple_GET_SIZE(shape.get()); ++d) {
        if (!PyLong_Check(PyTuple_GET_ITEM(shape.get(), d))) {
            PyErr_Format(PyExc_TypeError, "shape of %.200s holds a non-integer", Py_TYPE(value)->tp_name);
            return {};
        }
    }
    return shape;
}

/// Length of axis `d` of a checked shape, or -1 with an error set.
Py_ssize_t axis_length(PyObject* shape, Py_ssize_t d) { return PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, d)); }

/// The padding of an attention mask, `mask == 0`, as a bool tensor and as a bool array (each made
/// when first needed), with the number of tokens T.
struct Padding {
    Ref mask, tensor, array;
    Py_ssize_t tokens = -1;

    int init(PyObject* attention_mask, Py_ssize_t batch_size) {
        if (attention_mask == Py_None) return 0;
        int is_tensor = PyObject_IsInstance(attention_mask, G.tensor);
        if (is_tensor < 0) return -1;
        mask = is_tensor ? Ref::borrow(attention_mask) : Ref::steal(PyArray_FROM_O(attention_mask));
        if (!mask) return -1;
        Ref shape = shape_of(mask.get());
        if (!shape) return -1;
        Py_ssize_t rows = PyTuple_GET_SIZE(shape.get()) == 2 ? axis_length(shape.get(), 0) : -1;
        if (rows != batch_size) {
            if (!PyErr_Occurred()) {
                Ref text = Ref::steal(PyObject_Str(shape.get()));
                if (text)
                    PyErr_Format(PyExc_ValueError, "attention_mask must have shape (batch_size, T) = (%zd, T), not %U",
                                 batch_size, text.get());
            }
            return -1;
        }
        tokens = axis_length(shape.get(), 1);
        return tokens < 0 ? -1 : 0;
    }
    bool active() const { return tokens >= 0; }

    /// `mask == 0` as a bool tensor on the device of `value`, shaped to broadcast over its trailing axes.
    Ref for_tensor(PyObject* value, Py_ssize_t ndim) {
        if (!tensor) {
            Ref source = PyArray_Check(mask.get()) ? py::call(C.as_tensor, mask.get()) : Ref::borrow(mask.get());
            if (!source || !(tensor = py::call_method(source.get(), C.eq, C.zero))) return {};
        }
        Ref device = py::getattr(value, C.device);
        Ref moved = device ? py::call_method(tensor.get(), C.to, device.get()) : Ref{};
        Ref shape = moved ? Ref::steal(PyTuple_New(ndim)) : Ref{};
        if (!shape) return {};
        for (Py_ssize_t d = 0; d < ndim; ++d) {
            Py_ssize_t n = d == 0 ? -1 : d == 1 ? tokens : 1;
            PyObject* item = PyLong_FromSsize_t(n);
            if (!item) return {};
            PyTuple_SET_ITEM(shape.get(), d, item);
        }
        return py::call_method(moved.get(), C.reshape, shape.get());
    }

    /// `mask == 0` as a bool (batch_size, T) array.
    Ref for_array() {
        if (array) return Ref::borrow(array.get());
        Ref source = PyArray_Check(mask.get()) ? Ref::borrow(mask.get()) : Ref{};
        if (!source) {
            Ref cpu = py::call_method(mask.get(), C.cpu);
            if (!cpu || !(source = py::call_method(cpu.get(), C.numpy))) return {};
        }
        array = Ref::steal(PyObject_RichCompare(source.get(), C.zero, Py_EQ));
        return Ref::borrow(array.get());
    }
};

/// A kept tensor: detached, its padding set to -inf on its own device.
Ref prepare_tensor(PyObject* value, Py_ssize_t ndim, bool masked, Padding& padding) {
    Ref detached = py::call_method(value, C.detach);
    if (!detached || !masked) return detached;
    Ref pad = padding.for_tensor(detached.get(), ndim);
    return pad ? py::call_method(detached.get(), C.masked_fill, pad.get(), C.neg_inf) : Ref{};
}

/// A kept array: C-contiguous float32 (the same array when it is one already), its padding set to
/// -inf in a copy.
Ref prepare_array(PyObject* value, bool masked, Padding& padding) {
    // Masking writes into the array: then it is always a copy, never a view of the caller's memory.
    int flags = NPY_ARRAY_CARRAY | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST | (masked ? NPY_ARRAY_ENSURECOPY : 0);
    Ref array = Ref::steal(PyArray_FROM_OTF(value, NPY_FLOAT32, flags));
    if (!array || !masked) return array;
    Ref pad = padding.for_array();
    if (!pad || PyObject_SetItem(array.get(), pad.get(), C.neg_inf) < 0) return {};
    return array;
}

/// Why `value` is not a per-input floating-point value of this batch, or null when it is one
/// (then `ndim` and `shape` are set). -1 in `ndim` with an error set on failure.
Ref reason_to_skip(PyObject* value, Py_ssize_t batch_size, bool& is_tensor, Ref& shape, Py_ssize_t& ndim) {
    ndim = -1;
    int tensor = PyObject_IsInstance(value, G.tensor);
    if (tensor < 0) return {};
    is_tensor = tensor;
    if (!is_tensor && !PyArray_Check(value))
        return Ref::steal(PyUnicode_FromFormat("not a tensor or an array but %s", Py_TYPE(value)->tp_name));
    bool floating;
    if (is_tensor) {
        // A nested tensor has no shape to read, and its rows differ in length.
        Ref nested_flag = py::getattr(value, C.is_nested);
        int nested = nested_flag ? PyObject_IsTrue(nested_flag.get()) : -1;
        if (nested < 0) return {};
        if (nested)
            return Ref::steal(PyUnicode_FromString(
                "a nested tensor, whose inputs differ in length (nn.TransformerEncoder makes them from a padding "
                "mask when no gradient is tracked, unless built with enable_nested_tensor=False)"));
        Ref dtype = py::getattr(value, C.dtype);
        Ref flag = dtype ? py::getattr(dtype.get(), C.is_floating_point) : Ref{};
        int truth = flag ? PyObject_IsTrue(flag.get()) : -1;
        if (truth < 0) return {};
        floating = truth;
    } else {
        floating = PyArray_ISFLOAT(reinterpret_cast<PyArrayObject*>(value));
    }
    if (!floating) {
        Ref dtype = py::getattr(value, C.dtype);
        return dtype ? Ref::steal(PyUnicode_FromFormat("dtype %S is not floating point", dtype.get())) : Ref{};
    }
    if (!(shape = shape_of(value))) return {};
    Py_ssize_t rank = PyTuple_GET_SIZE(shape.get());
    if (rank == 0) return Ref::steal(PyUnicode_FromString("rank 0: no batch axis"));
    Py_ssize_t first = axis_length(shape.get(), 0);
    if (first < 0) return {};
    if (first != batch_size)
        return Ref::steal(
            PyUnicode_FromFormat("first axis has length %zd, not the batch size %zd", first, batch_size));
    ndim = rank;
    return {};
}

/// Converts a batch size argument through `__index__`; ValueError when negative.
int batch_size_value(PyObject* obj, Py_ssize_t& out) {
    out = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (out == -1 && PyErr_Occurred()) return -1;
    if (out < 0) {
        PyErr_Format(PyExc_ValueError, "batch_size must be at least 0, not %zd", out);
        return -1;
    }
    return 0;
}

QUORLIN_SIGNATURE(to_numpy_sig, "to_numpy", 2, false, true, "outputs", "batch_size", "attention_mask");

/// `to_numpy(outputs, batch_size, attention_mask=None)`: the kept outputs as host float32 arrays,
/// in an `Activations` dict whose `skipped` maps each left-out name to the reason.
Ref to_numpy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (py::parse(to_numpy_sig, args, nargs, kwnames, a) < 0) return {};
    Py_ssize_t batch_size;
    if (batch_size_value(a[1], batch_size) < 0) return {};
    Ref result = py::call(C.activations);
    Ref skipped = result ? Ref::steal(PyDict_New()) : Ref{};
    if (!skipped || PyObject_SetAttr(result.get(), C.skipped, skipped.get()) < 0) return {};
    std::vector<KeptOutput> kept;
    if (select_outputs(a[0], batch_size, a[2] ? a[2] : Py_None, kept, skipped.get()) < 0) return {};
    for (auto& out : kept) {
        Ref array = std::move(out.value);
        if (out.is_tensor) {
            Ref host = py::call_method(array.get(), C.to, C.cpu, C.float32);
            Ref dense = host ? py::call_method(host.get(), C.contiguous) : Ref{};
            if (!dense || !(array = py::call_method(dense.get(), C.numpy))) return {};
        }
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) == 1) {
            npy_intp dims[] = {batch_size, 1};
            PyArray_Dims shape = {dims, 2};
            array = Ref::steal(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(array.get()), &shape, NPY_CORDER));
            if (!array) return {};
        }
        if (PyObject_SetItem(result.get(), out.name.get(), array.get()) < 0) return {};
    }
    return result;
}

PyMethodDef convert_functions[] = {
    py::method_def<to_numpy, q_to_numpy>("to_numpy"),
    {nullptr, nullptr, 0, nullptr},
};

/// `class Activations(dict)` with the attribute `skipped`, made as Python makes a class.
Ref make_activations_class() {
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    Ref ns = bases ? Ref::steal(Py_BuildValue("{s:s,s:s}", "__module__", "cquorlin", "__qualname__", "Activations"))
                   : Ref{};
    Ref name = ns ? Ref::steal(PyUnicode_FromString("Activations")) : Ref{};
    return name ? py::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get()) : Ref{};
}

int intern_convert_names() {
    PyObject** names[] = {&C.shape, &C.detach,  &C.dtype,   &C.is_floating_point, &C.to, &C.contiguous, &C.numpy,
                          &C.masked_fill, &C.reshape, &C.eq, &C.device, &C.cpu, &C.skipped, &C.is_nested};
    const char* texts[] = {"shape",   "detach", "dtype", "is_floating_point", "to",  "contiguous", "numpy",
                           "masked_fill", "reshape", "eq", "device", "cpu", "skipped", "is_nested"};
    static_assert(std::size(names) == std::size(texts));
    for (std::size_t j = 0; j < std::size(names); ++j)
        if (!(*names[j] = PyUnicode_InternFromString(texts[j]))) return -1;
    return 0;
}

}  // namespace

int select_outputs(PyObject* outputs, Py_ssize_t batch_size, PyObject* attention_mask, std::vector<KeptOutput>& kept,
                   PyObject* skipped) {
    Padding padding;
    if (padding.init(attention_mask, batch_size) < 0) return -1;
    if (!PyDict_Check(outputs) && !PyObject_HasAttrString(outputs, "items")) {
        PyErr_Format(PyExc_TypeError, "outputs must be a mapping of names to tensors or arrays, not %.200s",
                     Py_TYPE(outputs)->tp_name);
        return -1;
    }
    Ref items = Ref::steal(PyMapping_Items(outputs));
    if (!items) return -1;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
        PyObject* item = PyList_GET_ITEM(items.get(), j);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "outputs.items() must yield (name, value) pairs");
            return -1;
        }
        PyObject *name = PyTuple_GET_ITEM(item, 0), *value = PyTuple_GET_ITEM(item, 1);
        bool is_tensor = false;
        Ref shape;
        Py_ssize_t ndim;
        Ref reason = reason_to_skip(value, batch_size, is_tensor, shape, ndim);
        if (reason) {
            if (skip(skipped, name, std::move(reason)) < 0) return -1;
            continue;
        }
        if (ndim < 0) return -1;
        bool masked = false;
        if (padding.active() && ndim >= 3) {
            Py_ssize_t tokens = axis_length(shape.get(), 1);
            if (tokens < 0) return -1;
            masked = tokens == padding.tokens;
        }
        Ref prepared = is_tensor ? prepare_tensor(value, ndim, masked, padding) : prepare_array(value, masked, padding);
        if (!prepared) return -1;
        kept.push_back({Ref::borrow(name), std::move(prepared), is_tensor});
    }
    return 0;
}

int convert_exec(PyObject* module) {
    if (intern_convert_names() < 0) return -1;
    if (!(C.float32 = PyObject_GetAttrString(G.torch, "float32")) || !(C.neg_inf = PyFloat_FromDouble(-INFINITY)) ||
        !(C.zero = PyLong_FromLong(0)))
        return -1;
    if (!(C.as_tensor = PyObject_GetAttrString(G.torch, "as_tensor"))) return -1;
    Ref cls = make_activations_class();
    if (!cls || PyObject_SetAttrString(module, "Activations", cls.get()) < 0) return -1;
    C.activations = cls.release();
    return PyModule_AddFunctions(module, convert_functions);
}

}  // namespace quorlin
