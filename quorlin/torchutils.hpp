// Layer introspection and the embedding model.
#pragma once
#include <Python.h>

namespace quorlin {

/// The module functions of this unit, for the module definition's function table.
extern PyMethodDef torchutils_functions[];

/// Module-level statements of this unit: imports and `_get_hook`.
int torchutils_exec(PyObject* module);

}  // namespace quorlin
