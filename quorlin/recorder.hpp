// Recording at scale: the recorder a store hands out.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace quorlin {

/// `DB.recorder(flush_every=65536)`: a new `Recorder` writing into the store `self`.
extern const char db_recorder_name[];
py::Ref db_recorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The class `Recorder`.
int recorder_exec(PyObject* module);

}  // namespace quorlin
