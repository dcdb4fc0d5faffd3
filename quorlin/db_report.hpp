// What a store holds, for people who look into one: its layers with their tables, entries and
// inputs, the strongest inputs of a neuron, cheap counts, the store's repr and a plot of its layers.
// These are methods of DB; its type lists them.
#pragma once
#include <Python.h>

#include "py/ref.hpp"

namespace quorlin {

extern const char db_layers_name[];
extern const char db_entries_name[];
extern const char db_neuron_name[];
extern const char db_plot_layers_name[];

/// `DB.layers(threshold=0.9)`: one `Layer` record per layer, in a `Layers` list.
py::Ref db_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// `DB.entries(layer=None)`: entries per layer, or per neuron of one layer, from the tables' headers.
py::Ref db_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// `DB.neuron(layer, neuron, k=10, largest=True)`: the stored inputs with a neuron's highest (lowest) values.
py::Ref db_neuron(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// `DB.plot_layers(path_or_axes, threshold=0.9)`: how each layer's entries spread over its neurons.
py::Ref db_plot_layers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// `repr(db)`: path, mode, preprocessor, layers and tables.
PyObject* db_repr(PyObject* self);

/// Creates the record type `Layer` and the list type `Layers`. 0, or -1 with an error set.
int report_exec(PyObject* module);

}  // namespace quorlin
