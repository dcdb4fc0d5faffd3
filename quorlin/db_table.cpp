// Activation tables: one neuron's (input index, value) pairs in value-sorted columns, their
// nearest-value search and their byte format; also the module's index-type tables and get_dtype.
#include "py/numpy.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "db.hpp"
#include "kernels/codec.hpp"
#include "kernels/index_type.hpp"
#include "kernels/search.hpp"
#include "kernels/sort.hpp"
#include "py/args.hpp"
#include "py/func.hpp"
#include "py/instance.hpp"
#include "py/ref.hpp"
#include "state.hpp"

namespace quorlin {
namespace {

using py::Ref;
using kern::Strided;

// Index types by type code: the position in _idx_dtypes, also the code of the byte format.
using kern::code_for;
using kern::index_max;
using kern::n_index_types;
using kern::with_index_type;
constexpr int index_npy_type[n_index_types] = {NPY_UINT16, NPY_UINT32, NPY_UINT64};
constexpr const char* index_name[n_index_types] = {"uint16", "uint32", "uint64"};
PyObject* index_max_objs[n_index_types];  // the maxima as Python ints, for exact comparison
PyObject* search_method_names[n_index_types];  // "_search_uint16", ... interned

Ref wrong_dims(int ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, ndim);
    return {};
}

/// Checks that `obj` is a one-dimensional NumPy array; null with TypeError/ValueError otherwise.
PyArrayObject* as_column(PyObject* obj) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, "numpy.ndarray");
        return nullptr;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1) {
        wrong_dims(PyArray_NDIM(arr));
        return nullptr;
    }
    return arr;
}

/// Index type code of a column (uint16/32/64 in native byte order), or -1.
int index_code_of(PyArrayObject* arr) {
    PyArray_Descr* d = PyArray_DESCR(arr);
    if (d->kind != 'u' || !PyArray_ISNOTSWAPPED(arr)) return -1;
    for (int code = 0; code < n_index_types; ++code)
        if (PyDataType_ELSIZE(d) == static_cast<npy_intp>(sizeof(std::uint16_t)) << code) return code;
    return -1;
}

bool is_value_column(PyArrayObject* arr) {
    PyArray_Descr* d = PyArray_DESCR(arr);
    return d->kind == 'f' && PyDataType_ELSIZE(d) == 4 && PyArray_ISNOTSWAPPED(arr);
}

int dtype_mismatch(const char* expected, PyArrayObject* arr) {
    Ref got = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    if (got) PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%U'", expected, got.get());
    return -1;
}

template <class T>
Strided<T> strided(PyArrayObject* arr) {
    return {PyArray_BYTES(arr), PyArray_STRIDES(arr)[0], static_cast<std::size_t>(PyArray_DIM(arr, 0))};
}

/// The value column `self.vals`: a one-dimensional float32 array.
PyArrayObject* value_column(PyObject* vals) {
    PyArrayObject* arr = as_column(vals);
    if (arr && !is_value_column(arr)) {
        dtype_mismatch("float32", arr);
        return nullptr;
    }
    return arr;
}

/// Converts a value argument to a Python float (the same object when it already is one).
Ref as_float(PyObject* val) {
    if (PyFloat_CheckExact(val)) return Ref::borrow(val);
    double d = PyFloat_AsDouble(val);
    if (d == -1.0 && PyErr_Occurred()) return {};
    return Ref::steal(PyFloat_FromDouble(d));
}

Ref new_array(npy_intp n, int npy_type) { return Ref::steal(PyArray_SimpleNew(1, &n, npy_type)); }

template <class T>
T* array_data(const Ref& arr) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
}

// ---------------------------------------------------------------------------------------------
// get_dtype

constexpr char get_dtype_name[] = "cquorlin.get_dtype";
QUORLIN_SIGNATURE(get_dtype_sig, "get_dtype", 1, false, false, "val");

Ref get_dtype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* val;
    if (py::parse(get_dtype_sig, args, nargs, kwnames, &val) < 0) return {};
    // Left-sided search over the maxima with exact integer comparison.
    Py_ssize_t pos = 0;
    for (; pos < n_index_types; ++pos) {
        int below = PyObject_RichCompareBool(index_max_objs[pos], val, Py_LT);
        if (below < 0) return {};
        if (!below) break;
    }
    PyObject* name = PyList_GetItem(G.idx_dtypes, pos);  // IndexError past the last type, as a list lookup
    return Ref::borrow(name);
}

// ---------------------------------------------------------------------------------------------
// Table: construction, add, flush, nbytes

/// The instance dict of an exact Table, for the attribute fast path of `add`; null for subclasses,
/// whose attributes go through the generic lookup.
PyObject* exact_dict(PyObject* self) {
    return Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(G.table_type) ? reinterpret_cast<py::Instance*>(self)->dict
                                                                          : nullptr;
}

/// `self._search_<dtype name>`
Ref search_fn_for(PyObject* self, PyObject* dtype_name) {
    Ref attr = Ref::steal(PyUnicode_FromFormat("_search_%U", dtype_name));
    return attr ? py::getattr(self, attr.get()) : Ref{};
}

constexpr char table_init_name[] = "cquorlin.Table.__init__";
QUORLIN_SIGNATURE(table_init_sig, "__init__", 0, true, true, "idxs", "vals");

int table_init_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    if (py::parse_tuple(table_init_sig, args, kwargs, a) < 0) return -1;
    const auto& n = G.names;
    Ref idxs = a[0] && a[0] != Py_None ? Ref::borrow(a[0]) : new_array(0, NPY_UINT16);
    if (!idxs || PyObject_SetAttr(self, n.idxs, idxs.get()) < 0) return -1;
    Ref vals = a[1] && a[1] != Py_None ? Ref::borrow(a[1]) : new_array(0, NPY_FLOAT32);
    if (!vals || PyObject_SetAttr(self, n.vals, vals.get()) < 0) return -1;
    Ref cur_idxs = py::getattr(self, n.idxs);
    if (!cur_idxs) return -1;
    int code = PyArray_CheckExact(cur_idxs.get()) ? index_code_of(reinterpret_cast<PyArrayObject*>(cur_idxs.get())) : -1;
    Ref fn;
    if (code >= 0) {  // a plain index column: its dtype's name is known without asking NumPy
        fn = py::getattr(self, search_method_names[code]);
    } else {
        Ref dtype = py::getattr(cur_idxs.get(), n.dtype);
        Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        Ref dtype_name = dtype && empty ? Ref::steal(PyObject_Format(dtype.get(), empty.get())) : Ref{};
        fn = dtype_name ? search_fn_for(self, dtype_name.get()) : Ref{};
    }
    if (!fn || PyObject_SetAttr(self, n._search_fn, fn.get()) < 0) return -1;
    Ref ibuf = Ref::steal(PyList_New(0)), vbuf = Ref::steal(PyList_New(0));
    if (!ibuf || !vbuf || PyObject_SetAttr(self, n._idxs_buffer, ibuf.get()) < 0 ||
        PyObject_SetAttr(self, n._vals_buffer, vbuf.get()) < 0)
        return -1;
    return PyObject_SetAttr(self, n._flushed, Py_True);
}

int table_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard_status(table_init_name, [&] { return table_init_impl(self, args, kwargs); });
}

/// Appends to the list `self.<name>`.
int append_to(PyObject* self, PyObject* dict, PyObject* name, PyObject* item) {
    if (dict) {
        PyObject* lst = PyDict_GetItemWithError(dict, name);
        if (lst && PyList_CheckExact(lst)) return PyList_Append(lst, item);
        if (!lst && PyErr_Occurred()) return -1;
    }
    Ref lst = py::getattr(self, name);
    if (!lst) return -1;
    if (PyList_Check(lst.get())) return PyList_Append(lst.get(), item);
    Ref appended = Ref::steal(PyObject_CallMethod(lst.get(), "append", "O", item));
    return appended ? 0 : -1;
}

constexpr char table_add_name[] = "cquorlin.Table.add";
QUORLIN_SIGNATURE(table_add_sig, "add", 2, true, true, "idx", "val");

Ref table_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (nargs == 2 && !kwnames) {  // the common call, parsed without the general machinery
        a[0] = args[0];
        a[1] = args[1];
    } else if (py::parse(table_add_sig, args, nargs, kwnames, a) < 0) {
        return {};
    }
    Ref val = as_float(a[1]);
    if (!val) return {};
    PyObject* dict = exact_dict(self);
    const auto& n = G.names;
    if (append_to(self, dict, n._idxs_buffer, a[0]) < 0 || append_to(self, dict, n._vals_buffer, val.get()) < 0)
        return {};
    if (dict && PyDict_GetItemWithError(dict, n._flushed) == Py_False) return Ref::borrow(Py_None);  // already dirty
    if (PyErr_Occurred()) return {};
    int set = dict ? PyDict_SetItem(dict, n._flushed, Py_False) : PyObject_SetAttr(self, n._flushed, Py_False);
    return set < 0 ? Ref{} : Ref::borrow(Py_None);
}

/// New entries of a flush, converted and checked before anything changes.
struct Pending {
    std::vector<std::uint64_t> idxs;
    std::vector<float> vals;
    unsigned long long max_idx = 0;
};

int read_pending(PyObject* ibuf, PyObject* vbuf, Pending& out) {
    if (!PyList_Check(ibuf) || !PyList_Check(vbuf)) {
        PyErr_SetString(PyExc_TypeError, "the entry buffers of a table must be lists");
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(ibuf);
    if (PyList_GET_SIZE(vbuf) != n) {
        PyErr_Format(PyExc_ValueError, "the entry buffers of a table differ in length (%zd indices, %zd values)", n,
                     PyList_GET_SIZE(vbuf));
        return -1;
    }
    out.idxs.resize(n);
    out.vals.resize(n);
    for (Py_ssize_t j = 0; j < n; ++j) {
        unsigned long long idx;
        // The list may be changed by __index__ or __float__ of its items: re-check the bounds.
        if (j >= PyList_GET_SIZE(ibuf) || j >= PyList_GET_SIZE(vbuf)) {
            PyErr_SetString(PyExc_RuntimeError, "the entry buffers of a table changed during a flush");
            return -1;
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(ibuf, j));
        if (index_value(item.get(), &idx) < 0) return -1;
        Ref value = Ref::borrow(PyList_GET_ITEM(vbuf, j));
        double d = PyFloat_AsDouble(value.get());
        if (d == -1.0 && PyErr_Occurred()) return -1;
        out.idxs[j] = idx;
        out.vals[j] = static_cast<float>(d);  // rounds to the nearest float32
        out.max_idx = std::max(out.max_idx, idx);
    }
    return 0;
}

/// Builds the merged columns from the old ones (any index type) and the pending entries.
/// Old columns that are in value order are merged with the sorted new entries; others are re-sorted whole.
template <class I, class OldI>
void merge_columns(PyArrayObject* old_idxs, PyArrayObject* old_vals, Pending& pending, I* out_idx, float* out_val) {
    Strided<OldI> oi = strided<OldI>(old_idxs);
    Strided<float> ov = strided<float>(old_vals);
    const std::size_t n_old = ov.size, n_new = pending.idxs.size(), n = n_old + n_new;
    for (std::size_t j = 0; j < n_new; ++j) {
        out_idx[n_old + j] = static_cast<I>(pending.idxs[j]);
        out_val[n_old + j] = pending.vals[j];
    }
    pending = Pending{};  // free before the sort's scratch space is taken
    if (kern::is_sorted(ov)) {
        std::vector<I> scratch_idx(n_new);
        std::vector<float> scratch_val(n_new);
        kern::radix_sort(out_idx + n_old, out_val + n_old, scratch_idx.data(), scratch_val.data(), n_new);
        kern::merge_into(oi, ov, out_idx, out_val, n);
    } else {
        for (std::size_t j = 0; j < n_old; ++j) {
            out_idx[j] = static_cast<I>(oi[j]);
            out_val[j] = ov[j];
        }
        std::vector<I> scratch_idx(n);
        std::vector<float> scratch_val(n);
        kern::radix_sort(out_idx, out_val, scratch_idx.data(), scratch_val.data(), n);
    }
}

constexpr char table_flush_name[] = "cquorlin.Table._flush";

Ref table_flush(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("_flush", true, nargs, kwnames) < 0) return {};
    const auto& n = G.names;
    Ref ibuf = py::getattr(self, n._idxs_buffer);
    if (!ibuf) return {};
    Py_ssize_t n_new = PyObject_Length(ibuf.get());
    if (n_new < 0) return {};
    if (n_new == 0) return PyObject_SetAttr(self, n._flushed, Py_True) < 0 ? Ref{} : Ref::borrow(Py_None);
    Ref vbuf = py::getattr(self, n._vals_buffer);
    Ref idxs = vbuf ? py::getattr(self, n.idxs) : Ref{};
    Ref vals = idxs ? py::getattr(self, n.vals) : Ref{};
    if (!vals) return {};
    PyArrayObject* old_idxs = as_column(idxs.get());
    if (!old_idxs) return {};
    int old_code = index_code_of(old_idxs);
    if (old_code < 0) {
        dtype_mismatch("uint16, uint32 or uint64", old_idxs);
        return {};
    }
    PyArrayObject* old_vals = value_column(vals.get());
    if (!old_vals) return {};
    if (PyArray_DIM(old_idxs, 0) != PyArray_DIM(old_vals, 0)) {
        PyErr_Format(PyExc_ValueError, "the columns of a table differ in length (%zd indices, %zd values)",
                     static_cast<Py_ssize_t>(PyArray_DIM(old_idxs, 0)), static_cast<Py_ssize_t>(PyArray_DIM(old_vals, 0)));
        return {};
    }
    Pending pending;
    if (read_pending(ibuf.get(), vbuf.get(), pending) < 0) return {};

    // The index type only widens, and only when the largest new index needs it.
    int code = std::max(old_code, code_for(pending.max_idx));
    npy_intp total = PyArray_DIM(old_vals, 0) + static_cast<npy_intp>(pending.idxs.size());
    Ref new_idxs = new_array(total, index_npy_type[code]);
    Ref new_vals = new_idxs ? new_array(total, NPY_FLOAT32) : Ref{};
    if (!new_vals) return {};
    with_index_type(code, [&](auto i) {
        with_index_type(old_code, [&](auto oi) {
            merge_columns<decltype(i), decltype(oi)>(old_idxs, old_vals, pending, array_data<decltype(i)>(new_idxs),
                                                     array_data<float>(new_vals));
        });
    });
    if (PyList_Check(ibuf.get()) && PyList_SetSlice(ibuf.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0) return {};
    if (PyList_Check(vbuf.get()) && PyList_SetSlice(vbuf.get(), 0, PY_SSIZE_T_MAX, nullptr) < 0) return {};
    if (PyObject_SetAttr(self, n.vals, new_vals.get()) < 0 || PyObject_SetAttr(self, n.idxs, new_idxs.get()) < 0)
        return {};
    if (code != old_code) {
        Ref fn = py::getattr(self, search_method_names[code]);
        if (!fn || PyObject_SetAttr(self, n._search_fn, fn.get()) < 0) return {};
    }
    return PyObject_SetAttr(self, n._flushed, Py_True) < 0 ? Ref{} : Ref::borrow(Py_None);
}

/// `len(obj)` of attribute `name`, or -1.
Py_ssize_t attr_len(PyObject* self, PyObject* name) {
    Ref obj = py::getattr(self, name);
    return obj ? PyObject_Length(obj.get()) : -1;
}

/// Integer attribute `obj.<name>`, or -1.
Py_ssize_t int_attr(PyObject* obj, const char* name) {
    Ref v = Ref::steal(PyObject_GetAttrString(obj, name));
    return v ? PyLong_AsSsize_t(v.get()) : -1;
}

constexpr char table_nbytes_name[] = "cquorlin.Table.nbytes.__get__";

PyObject* table_nbytes(PyObject* self, void*) {
    return py::guard(table_nbytes_name, [&]() -> Ref {
        const auto& n = G.names;
        Ref idxs = py::getattr(self, n.idxs);
        Ref vals = idxs ? py::getattr(self, n.vals) : Ref{};
        if (!vals) return {};
        Py_ssize_t idx_bytes = int_attr(idxs.get(), "nbytes"), val_bytes = int_attr(vals.get(), "nbytes"),
                   itemsize = int_attr(idxs.get(), "itemsize");
        Py_ssize_t n_idx = attr_len(self, n._idxs_buffer), n_val = attr_len(self, n._vals_buffer);
        if (PyErr_Occurred()) return {};
        return py::from_size(5 + idx_bytes + val_bytes + itemsize * n_idx + 4 * n_val);
    });
}

// ---------------------------------------------------------------------------------------------
// Table search

constexpr char table_search_name[] = "cquorlin.Table.search";
QUORLIN_SIGNATURE(table_search_sig, "search", 2, true, true, "val", "k");

/// Flushes `self` when its `_flushed` flag is false.
int flush_if_dirty(PyObject* self) {
    Ref flushed = py::getattr(self, G.names._flushed);
    if (!flushed) return -1;
    int clean = PyObject_IsTrue(flushed.get());
    if (clean != 0) return clean < 0 ? -1 : 0;
    return py::call_method(self, G.names._flush) ? 0 : -1;
}

Ref table_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (py::parse(table_search_sig, args, nargs, kwnames, a) < 0) return {};
    Ref val = as_float(a[0]);
    if (!val || flush_if_dirty(self) < 0) return {};
    int k;
    if (py::as_int(a[1], &k) < 0) return {};
    Ref k_obj = Ref::steal(PyLong_FromLong(k));
    Ref fn = k_obj ? py::getattr(self, G.names._search_fn) : Ref{};
    return fn ? py::call(fn.get(), val.get(), k_obj.get()) : Ref{};
}

/// The search for one index type: checks the columns, then runs the kernel on them in place.
template <int Code>
Ref table_search_typed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"_search_uint16", "_search_uint32", "_search_uint64"};
    QUORLIN_SIGNATURE(sig, names[Code], 2, true, true, "val", "k");
    using I = std::conditional_t<Code == 0, std::uint16_t, std::conditional_t<Code == 1, std::uint32_t, std::uint64_t>>;
    PyObject* a[2];
    if (py::parse(sig, args, nargs, kwnames, a) < 0) return {};
    double val = PyFloat_AsDouble(a[0]);
    if (val == -1.0 && PyErr_Occurred()) return {};
    Ref idxs_obj = py::getattr(self, G.names.idxs);
    PyArrayObject* idxs = idxs_obj ? as_column(idxs_obj.get()) : nullptr;
    if (!idxs) return {};
    if (index_code_of(idxs) != Code) {
        dtype_mismatch(index_name[Code], idxs);
        return {};
    }
    Ref vals_obj = py::getattr(self, G.names.vals);
    PyArrayObject* vals = vals_obj ? value_column(vals_obj.get()) : nullptr;
    int k;
    if (!vals || py::as_int(a[1], &k) < 0) return {};
    npy_intp n = PyArray_DIM(idxs, 0);
    if (PyArray_DIM(vals, 0) != n) {
        PyErr_Format(PyExc_IndexError, "the columns of a table differ in length (%zd indices, %zd values)",
                     static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(PyArray_DIM(vals, 0)));
        return {};
    }
    npy_intp m = std::max<npy_intp>(0, std::min<npy_intp>(n, k));
    Ref out_idx = new_array(m, index_npy_type[Code]);
    Ref out_score = out_idx ? new_array(m, NPY_FLOAT32) : Ref{};
    if (!out_score) return {};
    kern::nearest<I>(strided<I>(idxs), strided<float>(vals), static_cast<float>(val), static_cast<std::size_t>(m),
                     array_data<I>(out_idx), array_data<float>(out_score));
    return Ref::steal(PyTuple_Pack(2, out_idx.get(), out_score.get()));
}

constexpr char table_search_uint16_name[] = "cquorlin.Table._search_uint16";
constexpr char table_search_uint32_name[] = "cquorlin.Table._search_uint32";
constexpr char table_search_uint64_name[] = "cquorlin.Table._search_uint64";

// ---------------------------------------------------------------------------------------------
// Byte format: 1 byte type code, 4 bytes index section length, indices, values cut to 16 bits.

constexpr std::size_t header_size = 5;

/// The table byte string of the two columns.
Ref serialize_table(PyObject* idxs_obj, PyObject* vals_obj) {
    if (!PyArray_Check(idxs_obj)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(idxs_obj)->tp_name, "numpy.ndarray");
        return {};
    }
    PyArrayObject* vals = value_column(vals_obj);
    PyArrayObject* idxs = vals ? as_column(idxs_obj) : nullptr;
    if (!idxs) return {};
    int code = index_code_of(idxs);
    if (code < 0) {
        if (!PyArray_ISNOTSWAPPED(idxs)) return dtype_mismatch("an index type in native byte order", idxs), Ref{};
        Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(PyArray_DESCR(idxs)), "name"));
        if (name) PyErr_SetObject(PyExc_KeyError, name.get());
        return {};
    }
    const std::size_t n_idx = static_cast<std::size_t>(PyArray_DIM(idxs, 0));
    const std::size_t n_val = static_cast<std::size_t>(PyArray_DIM(vals, 0));
    const std::size_t width = sizeof(std::uint16_t) << code, index_bytes = n_idx * width;
    if (index_bytes > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "index section of 2**32 bytes or more cannot be written");
        return {};
    }
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, header_size + index_bytes + 2 * n_val));
    if (!out) return {};
    auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    bytes[0] = static_cast<std::uint8_t>(code);
    kern::store_le(bytes + 1, index_bytes, 4);
    with_index_type(code, [&](auto i) { kern::encode_indices(strided<decltype(i)>(idxs), bytes + header_size); });
    kern::encode_values(strided<float>(vals), bytes + header_size + index_bytes);
    return out;
}

constexpr char table_tobytes_name[] = "cquorlin.Table.tobytes";

Ref table_tobytes(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (py::no_args("tobytes", true, nargs, kwnames) < 0 || flush_if_dirty(self) < 0) return {};
    Ref idxs = py::getattr(self, G.names.idxs);
    Ref vals = idxs ? py::getattr(self, G.names.vals) : Ref{};
    return vals ? serialize_table(idxs.get(), vals.get()) : Ref{};
}

/// Releases a Py_buffer on every exit path.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

constexpr char table_frombytes_name[] = "cquorlin.Table.frombytes";
QUORLIN_SIGNATURE(table_frombytes_sig, "frombytes", 1, true, true, "byts");

Ref table_frombytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* byts;
    if (py::parse(table_frombytes_sig, args, nargs, kwnames, &byts) < 0) return {};
    BufferView buf;
    if (PyObject_GetBuffer(byts, &buf.view, PyBUF_WRITABLE | PyBUF_ND) < 0) return {};
    buf.held = true;
    if (buf.view.ndim != 1) return wrong_dims(buf.view.ndim);
    if (buf.view.itemsize != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected one-byte elements but got %zd-byte elements",
                     buf.view.itemsize);
        return {};
    }
    Ref idxs, vals;
    if (deserialize_table(static_cast<const std::uint8_t*>(buf.view.buf), static_cast<std::size_t>(buf.view.len),
                          idxs, vals) < 0)
        return {};
    return py::call(cls, idxs.get(), vals.get());
}

PyMethodDef table_methods[] = {
    py::method_def<table_add, table_add_name>("add"),
    py::method_def<table_flush, table_flush_name>("_flush"),
    py::method_def<table_search, table_search_name>("search"),
    py::method_def<table_search_typed<0>, table_search_uint16_name>("_search_uint16"),
    py::method_def<table_search_typed<1>, table_search_uint32_name>("_search_uint32"),
    py::method_def<table_search_typed<2>, table_search_uint64_name>("_search_uint64"),
    py::method_def<table_tobytes, table_tobytes_name>("tobytes"),
    py::method_def<table_frombytes, table_frombytes_name>("frombytes", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"nbytes", table_nbytes, nullptr, nullptr, nullptr},
    py::dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&table_init)},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&py::instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&py::instance_clear)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_tp_members, py::instance_members},
    {0, nullptr},
};

PyType_Spec table_spec = {"cquorlin.Table", sizeof(py::Instance), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, table_slots};

PyMethodDef get_dtype_def = py::method_def<get_dtype, get_dtype_name>("get_dtype");

/// `_idx_dtypes`, `_idx_dtypes_map`, `_idx_dtype_maxes`, as NumPy reports the maxima.
int build_index_tables(PyObject* module) {
    Ref list = Ref::steal(PyList_New(0));
    Ref map = Ref::steal(PyDict_New());
    if (!list || !map) return -1;
    for (int code = 0; code < n_index_types; ++code) {
        Ref name = Ref::steal(PyUnicode_FromString(index_name[code]));
        Ref pos = py::from_size(code);
        if (!name || !pos || PyList_Append(list.get(), name.get()) < 0 || PyDict_SetItem(map.get(), name.get(), pos.get()) < 0)
            return -1;
    }
    Ref iinfo = Ref::steal(PyObject_GetAttrString(G.np, "iinfo"));
    Ref maxes = Ref::steal(PyList_New(0));
    if (!iinfo || !maxes) return -1;
    for (int code = 0; code < n_index_types; ++code) {
        Ref info = py::call(iinfo.get(), PyList_GET_ITEM(list.get(), code));
        Ref mx = info ? Ref::steal(PyObject_GetAttrString(info.get(), "max")) : Ref{};
        if (!mx || PyList_Append(maxes.get(), mx.get()) < 0) return -1;
        index_max_objs[code] = mx.release();  // kept for the life of the process
    }
    Ref array_fn = Ref::steal(PyObject_GetAttrString(G.np, "array"));
    Ref uint64 = Ref::steal(PyObject_GetAttrString(G.np, "uint64"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", uint64.get()));
    Ref posargs = Ref::steal(PyTuple_Pack(1, maxes.get()));
    Ref maxes_array = array_fn && kwargs && posargs ? Ref::steal(PyObject_Call(array_fn.get(), posargs.get(), kwargs.get())) : Ref{};
    if (!maxes_array) return -1;
    G.idx_dtypes = Py_NewRef(list.get());
    return PyObject_SetAttrString(module, "_idx_dtypes", list.get()) < 0 ||
                   PyObject_SetAttrString(module, "_idx_dtypes_map", map.get()) < 0 ||
                   PyObject_SetAttrString(module, "_idx_dtype_maxes", maxes_array.get()) < 0
               ? -1
               : 0;
}

}  // namespace

/// Decodes a table byte string into new (index column, value column) arrays. Reads nothing
/// outside [data, data + size), whatever the header claims.
int deserialize_table(const std::uint8_t* data, std::size_t size, Ref& idxs, Ref& vals) {
    std::size_t code = size >= 1 ? data[0] : 0;
    if (code >= n_index_types) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    std::size_t length = size > 1 ? kern::load_le(data + 1, std::min<std::size_t>(4, size - 1)) : 0;
    std::size_t index_begin = std::min(header_size, size);
    std::size_t index_end = index_begin + std::min(length, size - index_begin);
    std::size_t width = sizeof(std::uint16_t) << code, index_bytes = index_end - index_begin;
    if (index_bytes % width != 0) {
        PyErr_SetString(PyExc_ValueError, "buffer size must be a multiple of element size");
        return -1;
    }
    std::size_t value_bytes = size - index_end;
    if (value_bytes % 2 != 0) {
        PyErr_Format(PyExc_ValueError, "cannot reshape array of size %zu into shape (%zu,2)", value_bytes,
                     value_bytes / 2);
        return -1;
    }
    idxs = new_array(static_cast<npy_intp>(index_bytes / width), index_npy_type[code]);
    vals = idxs ? new_array(static_cast<npy_intp>(value_bytes / 2), NPY_FLOAT32) : Ref{};
    if (!vals) return -1;
    // The index section is copied, not viewed: the caller may reuse its buffer.
    if (index_bytes) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(idxs.get())), data + index_begin, index_bytes);
    kern::decode_values(data + index_end, value_bytes / 2, array_data<float>(vals));
    return 0;
}

int written_columns(PyObject* table, PyObject* bytes, Ref& idxs, Ref& vals) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    // Only this module's own tobytes is known to have written the table's columns as they are now.
    bool own = Py_TYPE(table) == reinterpret_cast<PyTypeObject*>(G.table_type) && size >= header_size &&
               data[0] < n_index_types;
    if (PyObject* dict = own ? reinterpret_cast<py::Instance*>(table)->dict : nullptr)
        own = !PyDict_GetItemWithError(dict, G.names.tobytes);
    if (own) idxs = py::getattr(table, G.names.idxs);
    if (own && idxs) vals = py::getattr(table, G.names.vals);
    if (!vals) {
        if (PyErr_Occurred()) return -1;
        return deserialize_table(data, size, idxs, vals);
    }
    auto column = [](PyObject* obj, int npy_type, std::size_t n) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        return PyArray_CheckExact(obj) && PyArray_NDIM(arr) == 1 && PyArray_IS_C_CONTIGUOUS(arr) &&
               PyArray_TYPE(arr) == npy_type && PyArray_ISNOTSWAPPED(arr) && static_cast<std::size_t>(PyArray_DIM(arr, 0)) == n;
    };
    const std::size_t code = data[0], width = sizeof(std::uint16_t) << code, n = (size - header_size) / (width + 2);
    if (n * (width + 2) != size - header_size || kern::load_le(data + 1, 4) != n * width ||
        !column(idxs.get(), index_npy_type[code], n) || !column(vals.get(), NPY_FLOAT32, n))
        return deserialize_table(data, size, idxs, vals);
    // The index column is shared only when nothing else can write into it: it owns its data, and
    // the table alone holds it (as a flush leaves it) or it is read-only already.
    auto* index_column = reinterpret_cast<PyArrayObject*>(idxs.get());
    if (!PyArray_CHKFLAGS(index_column, NPY_ARRAY_OWNDATA) ||
        (Py_REFCNT(idxs.get()) > 2 && PyArray_ISWRITEABLE(index_column))) {
        idxs = Ref::steal(PyArray_NewCopy(index_column, NPY_CORDER));
        if (!idxs) return -1;
    }
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(idxs.get()), NPY_ARRAY_WRITEABLE);
    Ref cut = new_array(static_cast<npy_intp>(n), NPY_FLOAT32);
    if (!cut) return -1;
    kern::cut_values(array_data<float>(vals), n, array_data<float>(cut));
    vals = std::move(cut);
    return 0;
}

void release_table(PyObject* table, Py_ssize_t own_refs) {
    if (Py_TYPE(table) != reinterpret_cast<PyTypeObject*>(G.table_type) || Py_REFCNT(table) != own_refs + 1) return;
    PyObject* dict = reinterpret_cast<py::Instance*>(table)->dict;
    PyObject* fn = dict ? PyDict_GetItemWithError(dict, G.names._search_fn) : nullptr;
    bool own_method = fn && ((PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == table) ||
                             (PyMethod_Check(fn) && PyMethod_GET_SELF(fn) == table));
    if (own_method && Py_REFCNT(fn) == 1) {
        if (PyDict_DelItem(dict, G.names._search_fn) < 0) PyErr_Clear();
    }
    PyErr_Clear();
}

int index_value(PyObject* obj, unsigned long long* out) {
    Ref num = Ref::steal(PyNumber_Index(obj));
    if (!num) return -1;
    if (_PyLong_Sign(num.get()) < 0) {
        PyErr_Format(PyExc_ValueError, "input index %R is negative; indices are non-negative integers", num.get());
        return -1;
    }
    *out = PyLong_AsUnsignedLongLong(num.get());
    if (*out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Format(PyExc_IndexError, "input index %R is larger than the largest index type holds (%llu)", num.get(),
                     index_max[n_index_types - 1]);
        return -1;
    }
    return 0;
}

int table_exec(PyObject* module) {
    if (build_index_tables(module) < 0) return -1;
    for (int code = 0; code < n_index_types; ++code) {
        search_method_names[code] = PyUnicode_FromFormat("_search_%s", index_name[code]);
        if (!search_method_names[code]) return -1;
        PyUnicode_InternInPlace(&search_method_names[code]);
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref get_dtype_fn = module_name ? Ref::steal(PyCFunction_NewEx(&get_dtype_def, nullptr, module_name.get())) : Ref{};
    if (!get_dtype_fn || PyObject_SetAttrString(module, "get_dtype", get_dtype_fn.get()) < 0) return -1;
    G.table_type = PyType_FromModuleAndSpec(module, &table_spec, nullptr);
    if (!G.table_type) return -1;
    return PyObject_SetAttrString(module, "Table", G.table_type);
}

}  // namespace quorlin
