// Ranked answers for a batch of query inputs, computed in one pass without a Python object per candidate.
#pragma once
#include <Python.h>

#include <vector>

#include "py/ref.hpp"

namespace quorlin {

/// `DB.query(acts, k=10, *, neurons=None, layers=None, exact=False, candidates=None, ties=True,
/// midpoint=True)` -> (scores, indices).
extern const char db_query_name[];
py::Ref db_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The same query over `stores` (DB objects agreeing on preprocessor and neuron count), answered
/// as one store holding every entry of theirs, merged in their order, would answer it; `method`
/// names the caller in warnings.
py::Ref query_stores(const std::vector<PyObject*>& stores, const char* method, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

}  // namespace quorlin
