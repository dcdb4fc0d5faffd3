// Module frame: the entry point, the load guards and the module definition.
#define QUORLIN_IMPORTS_NUMPY
#include "py/numpy.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "convert.hpp"
#include "db.hpp"
#include "merge.hpp"
#include "py/ref.hpp"
#include "recorder.hpp"
#include "state.hpp"
#include "store_set.hpp"
#include "torchutils.hpp"

namespace quorlin {

Globals G{};

int intern_names() {
#define QUORLIN_INTERN_NAME(n) \
    if (!(G.names.n = PyUnicode_InternFromString(#n))) return -1;
    QUORLIN_NAMES(QUORLIN_INTERN_NAME)
#undef QUORLIN_INTERN_NAME
    return 0;
}

PyObject* import_as(PyObject* module, const char* module_name, const char* bind_as) {
    PyObject* imported = PyImport_ImportModule(module_name);
    if (!imported || PyObject_SetAttrString(module, bind_as, imported) < 0) {
        Py_XDECREF(imported);
        return nullptr;
    }
    return imported;
}

int import_from(PyObject* module, const char* module_name, std::initializer_list<const char*> names) {
    py::Ref source = py::Ref::steal(PyImport_ImportModule(module_name));
    if (!source) return -1;
    for (const char* name : names) {
        py::Ref value = py::Ref::steal(PyObject_GetAttrString(source.get(), name));
        if (!value || PyObject_SetAttrString(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

namespace {

using py::Ref;

std::int64_t loaded_interpreter = -1;
PyObject* executed_module = nullptr;

/// Copies `spec.<from>` to `module.<to>` when the spec has it (and, if `skip_none`, it is not None).
int copy_spec_attr(PyObject* spec, PyObject* module, PyObject* from, PyObject* to, bool skip_none) {
    Ref value = py::getattr(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttr(module, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loaded_interpreter == -1) {
        loaded_interpreter = current;
    } else if (loaded_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (G.module) return Py_NewRef(G.module);
    if (!G.names.name && intern_names() < 0) return nullptr;
    Ref name = py::getattr(spec, G.names.name);
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    auto& n = G.names;
    if (copy_spec_attr(spec, module.get(), n.loader, n.__loader__, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.origin, n.__file__, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.parent, n.__package__, false) < 0 ||
        copy_spec_attr(spec, module.get(), n.submodule_search_locations, n.__path__, true) < 0)
        return nullptr;
    G.module = Py_NewRef(module.get());  // kept for the life of the process
    return module.release();
}

/// Warns when the running interpreter's major.minor differs from the one built for.
int check_version() {
    char built[32], running[32];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* full = Py_GetVersion();
    std::size_t len = 0;
    for (int dots = 0; full[len] && full[len] != ' ' && len + 1 < sizeof running; ++len) {
        if (full[len] == '.' && ++dots == 2) break;
        running[len] = full[len];
    }
    running[len] = '\0';
    if (std::strcmp(built, running) == 0) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, "cquorlin", running);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int import_numpy() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    G.np = numpy.release();
    return PyArray_ImportNumPyAPI();
}

/// The category of the module's warnings: a call whose documented outcome is silent (a layer
/// skipped, no result, nothing found) says what happened and what to do.
int warning_exec(PyObject* module) {
    G.warning = PyErr_NewExceptionWithDoc(
        "cquorlin.QuorlinWarning",
        "Warns of a call that did what it is documented to do, but what it did (a layer skipped, no result, "
        "nothing found, an index stored twice) is most likely not what was meant.",
        PyExc_UserWarning, nullptr);
    return G.warning ? PyModule_AddObjectRef(module, "QuorlinWarning", G.warning) : -1;
}

int module_exec(PyObject* module) {
    if (executed_module) {
        if (executed_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cquorlin' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (check_version() < 0) return -1;
    if (import_numpy() < 0 || warning_exec(module) < 0 || torchutils_exec(module) < 0 || db_exec(module) < 0 ||
        convert_exec(module) < 0 || recorder_exec(module) < 0 ||
        merge_exec(module) < 0 || store_set_exec(module) < 0) {
        _PyTraceback_Add("init cquorlin", "cquorlin", 0);
        return -1;
    }
    executed_module = module;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "cquorlin", nullptr, 0, torchutils_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorlin

PyMODINIT_FUNC PyInit_cquorlin() { return PyModuleDef_Init(&quorlin::module_def); }
