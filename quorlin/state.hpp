// Process-wide objects of the module: imported modules, types and interned names.
// They live in one struct of plain pointers, filled once and never destroyed: the module can be
// loaded into one interpreter only, and the interpreter resets per-module state when the create
// step hands back the existing module object.
#pragma once
#include <Python.h>

#include <initializer_list>

namespace quorlin {

#define QUORLIN_NAMES(X)                                                                               \
    X(idxs) X(vals) X(_idxs_buffer) X(_vals_buffer) X(_flushed) X(_search_fn) X(_flush) X(dtype)       \
    X(k) X(file) X(cache) X(attrs) X(version) X(neurons)    \
    X(preprocessor) X(mode) X(driver) X(filename) X(close) X(flush) X(get) X(get_obj_count) X(strip) X(lower) \
    X(_tomemory) X(_create_table) X(_get_table) X(_flush_cache) X(_clear_cache) X(tobytes) X(frombytes) \
    X(search) X(add) X(id) X(_id) X(write) X(read) X(unlink) X(get_space) X(get_simple_extent_dims)           \
    X(get_mdc_config) X(set_mdc_config) X(evictions_enabled) X(incr_mode) X(flash_incr_mode)           \
    X(decr_mode) X(acquire) X(release) X(create) X(axis) X(max) X(named_parameters) X(named_children) X(recurse)  \
    X(register_forward_hook) X(remove) X(eval) X(items) X(_inner) X(__name__) X(__class__)    \
    X(__module__) X(__qualname__) X(__init__) X(forward) X(tolist) X(name) X(loader) X(origin)        \
    X(parent) X(submodule_search_locations) X(__loader__) X(__file__) X(__package__) X(__path__)

struct Names {
#define QUORLIN_DECLARE_NAME(n) PyObject* n;
    QUORLIN_NAMES(QUORLIN_DECLARE_NAME)
#undef QUORLIN_DECLARE_NAME
};

struct Globals {
    PyObject* module;  // the one module object of this process
    PyObject* np;
    PyObject* torch;
    PyObject* tensor;      // torch.Tensor
    PyObject* nn_module;   // torch.nn.Module
    PyObject* deepcopy;    // copy.deepcopy
    PyObject* table_type;
    PyObject* db_type;
    PyObject* idx_dtypes;       // list of the three index dtype names
    PyObject* warning;          // cquorlin.QuorlinWarning
    Names names;
};

/// The process-wide objects.
extern Globals G;

/// Interns every name of `G.names`.
int intern_names();

/// `import <module_name> as <bind_as>` into `module`; returns a new reference to the imported module.
PyObject* import_as(PyObject* module, const char* module_name, const char* bind_as);

/// `from <module_name> import <names...>` into `module`.
int import_from(PyObject* module, const char* module_name, std::initializer_list<const char*> names);

}  // namespace quorlin
