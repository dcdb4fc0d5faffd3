// Activation tables, their byte format, the preprocessors and the store.
#pragma once
#include <Python.h>

#include <cstdint>

namespace quorlin {

/// Module-level statements of this unit: imports, index-type tables, `get_dtype`, `Table`, `DB`.
int db_exec(PyObject* module);

/// Converts one input index (an integer, through `__index__`) to an unsigned 64-bit value:
/// TypeError for a non-integer, ValueError for a negative index, IndexError above 2**64-1.
int index_value(PyObject* obj, unsigned long long* out);

/// Creates the class `Table` (the types of this unit are made in this order).
int table_exec(PyObject* module);

/// Creates the class `DB`.
int store_exec(PyObject* module);

}  // namespace quorlin
