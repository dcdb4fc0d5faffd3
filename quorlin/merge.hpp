// The merge of stores recorded apart (one per process) into one.
#pragma once
#include <Python.h>

#include <vector>

#include "py/ref.hpp"

namespace quorlin {

/// Checks that the stores (opened from `paths`, a list) agree on the preprocessor and the neuron
/// count: ValueError naming two that differ. `preprocessor` is the one they share (None: none has one).
int agree_on_stores(const std::vector<py::Ref>& stores, PyObject* paths, py::Ref& preprocessor);

/// The module function `merge`.
int merge_exec(PyObject* module);

}  // namespace quorlin
