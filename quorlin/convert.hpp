// From a model's outputs to the arrays the store takes: which outputs belong to the batch, the
// padding mask, and the conversion to host float32 arrays.
#pragma once
#include <Python.h>

#include <vector>

#include "py/ref.hpp"

namespace quorlin {

/// One output kept for recording: its name, and its value detached and with padding set to -inf.
/// A tensor stays on its device in its own dtype; an array is already a C-contiguous float32 array.
struct KeptOutput {
    py::Ref name, value;
    bool is_tensor;
};

/// Chooses, from the mapping `outputs`, the floating-point tensors and arrays whose first axis has
/// length `batch_size`, in the mapping's order, and masks them with `attention_mask` (None, or a
/// (batch_size, T) tensor or array, nonzero = real token). Every left-out name goes into the dict
/// `skipped` with the reason. 0, or -1 with an error set.
int select_outputs(PyObject* outputs, Py_ssize_t batch_size, PyObject* attention_mask, std::vector<KeptOutput>& kept,
                   PyObject* skipped);

/// The module function `to_numpy` and the class `Activations` it returns.
int convert_exec(PyObject* module);

}  // namespace quorlin
