// Layer outputs reduced to each input's strongest neurons: the preprocessors that make one row per
// input, and the choice of a row's m largest values (largest first, ties to the lower column, NaN
// above every number, so that m = 1 is the argmax). Arrays of any type for the store's add, search
// and query; float32 arrays and tensors, reduced on their device, for the recorder.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py/ref.hpp"

namespace quorlin {

/// The largest neuron count a store keeps per input and layer.
constexpr std::size_t max_store_neurons = 1024;

/// The items of the mapping `acts` and its batch size, the largest len() of its values
/// (ValueError when it is empty, len()'s error for a value without one).
py::Ref batch_items(PyObject* acts, Py_ssize_t& bsize);

/// The store's preprocessor name, or "" when none is stored.
py::Ref store_preprocessor(PyObject* db);

/// TypeError unless the preprocessor name `p` is exactly a str.
int check_preprocessor_type(PyObject* p);

/// A layer of a batch reduced to each row's strongest neurons, strongest first.
struct RowNeurons {
    Py_ssize_t rows = 0;
    Py_ssize_t per_row = 0;            // min(m, the layer's neurons)
    std::vector<Py_ssize_t> neurons;   // rows * per_row
    std::vector<double> values;        // the elements there, as float() reads them
};

/// Reduces one layer's array (an ndarray; rank 1 is a single row, rank 3 and up go through the
/// store's `preprocessor`) to the `m` strongest neurons of each row. With m = 1 each row's neuron
/// is the array's own argmax and its value the element as float() converts it; with more, the
/// neurons are chosen on the values as float64.
int reduce_layer(PyObject* layer_key, PyObject* array, PyObject* preprocessor, std::size_t m, RowNeurons& out);

/// One output of a recorded batch reduced: per input row, `per_row` (neuron, value) pairs.
struct Reduced {
    std::size_t per_row = 0;
    std::vector<std::uint32_t> neurons;
    std::vector<float> values;
};

/// A tensor's `rows` inputs (rank 1: one value each) reduced on its device to their `m` strongest
/// neurons, taken with a device topk; only the neuron numbers and values cross to the host.
int reduce_tensor(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, std::size_t m, Reduced& out);

/// As `reduce_tensor`, for a host array, converted to float32.
int reduce_array(PyObject* value, Py_ssize_t ndim, Py_ssize_t rows, PyObject* preprocessor, std::size_t m, Reduced& out);

/// Loads the names and torch objects of this unit. 0, or -1 with an error set.
int reduce_exec();

}  // namespace quorlin
