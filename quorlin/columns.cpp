// A table's columns read, made and cached for the recorder's flush and the merge of stores.
#include "columns.hpp"

#include "kernels/index_type.hpp"
#include "state.hpp"

namespace quorlin {

using py::Ref;

namespace {
constexpr int index_npy_type[kern::n_index_types] = {NPY_UINT16, NPY_UINT32, NPY_UINT64};
}  // namespace

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

int new_columns(npy_intp total, int code, Ref& idxs, Ref& vals) {
    idxs = Ref::steal(PyArray_SimpleNew(1, &total, index_npy_type[code]));
    vals = idxs ? Ref::steal(PyArray_SimpleNew(1, &total, NPY_FLOAT32)) : Ref{};
    return vals ? 0 : -1;
}

int cache_table(PyObject* cache, PyObject* key, Ref idxs, Ref vals) {
    Ref table = py::call(G.table_type, idxs.get(), vals.get());
    if (!table || PyObject_SetAttr(table.get(), G.names._flushed, Py_False) < 0) return -1;
    return PyObject_SetItem(cache, key, table.get());
}

}  // namespace quorlin
