// The merge of stores recorded apart (one per process) into one.
#pragma once
#include <Python.h>

namespace quorlin {

/// The module function `merge`.
int merge_exec(PyObject* module);

}  // namespace quorlin
