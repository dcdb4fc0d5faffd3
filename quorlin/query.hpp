// Ranked answers for a batch of query inputs, computed in one pass without a Python object per candidate.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace quorlin {

/// `DB.query(acts, k=10, *, neurons=None, layers=None, exact=False, candidates=None, ties=True,
/// midpoint=True)` -> (scores, indices).
extern const char db_query_name[];
py::Ref db_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorlin
