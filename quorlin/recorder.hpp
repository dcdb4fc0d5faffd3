// Recording at scale: the recorder a store hands out.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace quorlin {

/// `DB.recorder(flush_every=65536)`: a new `Recorder` writing into the store `self`.
extern const char db_recorder_name[];
py::Ref db_recorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// Flushes every recorder of the store `db` that holds pending inputs, for `DB.close`. 0, or -1
/// with the first failed flush's error (its entries stay buffered).
int flush_recorders(PyObject* db);

/// The class `Recorder`.
int recorder_exec(PyObject* module);

}  // namespace quorlin
