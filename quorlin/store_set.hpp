// Stores searched as one: the shards of a recording opened together, read-only.
#pragma once
#include <Python.h>

namespace quorlin {

/// The module function `open_set` and the class `StoreSet`.
int store_set_exec(PyObject* module);

}  // namespace quorlin
