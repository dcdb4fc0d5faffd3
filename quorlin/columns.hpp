// A table's columns as flushes and merges build them: read from a table, made new, and put in
// a store's cache as a changed table.
#pragma once
#include "py/numpy.hpp"

#include <cstddef>

#include "kernels/merge.hpp"
#include "py/ref.hpp"

namespace quorlin {

/// A table's columns, checked: the index type code and a view usable as a merge run.
struct Columns {
    int code;
    kern::Run run;
};

/// Reads and checks the columns of `table` into `idxs`, `vals` and `out`. 0, or -1 with an exception set.
int read_columns(PyObject* table, py::Ref& idxs, py::Ref& vals, Columns& out);

/// New columns of `total` entries of index type `code`. 0, or -1 with an exception set.
int new_columns(npy_intp total, int code, py::Ref& idxs, py::Ref& vals);

/// The data of the array `array`, as `T`.
template <class T>
T* data_of(const py::Ref& array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

/// Puts a new table with the given columns under `key` in the store's cache, marked changed.
int cache_table(PyObject* cache, PyObject* key, py::Ref idxs, py::Ref vals);

}  // namespace quorlin
