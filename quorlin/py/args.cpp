// Argument parsing with the interpreter's standard TypeError wordings.
#include "args.hpp"

#include <climits>

namespace quorlin::py {

int raise_arg_count(const char* name, bool exact, Py_ssize_t expected, Py_ssize_t given, bool at_least) {
    const char* how = exact ? "exactly" : (at_least ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, how,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

static int intern_names(const Signature& sig) {
    if (sig.nparams == 0 || sig.interned[0] != nullptr) return 0;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        // Interned once per process and never released: the module lives until exit.
        sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);
        if (!sig.interned[i]) return -1;
    }
    return 0;
}

/// Position of keyword `kw` among the parameters, or -1.
static Py_ssize_t find_param(const Signature& sig, PyObject* kw) {
    for (Py_ssize_t j = 0; j < sig.nparams; ++j)
        if (sig.interned[j] == kw) return j;
    for (Py_ssize_t j = 0; j < sig.nparams; ++j)
        if (PyUnicode_Compare(sig.interned[j], kw) == 0) return j;
    return -1;
}

/// Places one keyword argument; `extra` collects unknown ones when given.
static int place_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* kw, PyObject* value, PyObject** out,
                         PyObject** extra) {
    Py_ssize_t j = find_param(sig, kw);
    if (j < 0) {
        if (extra) {
            if (!*extra && !(*extra = PyDict_New())) return -1;
            return PyDict_SetItem(*extra, kw, value);
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, kw);
        return -1;
    }
    if (j < nargs || out[j]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, kw);
        return -1;
    }
    out[j] = value;
    return 0;
}

static int check_positional(const Signature& sig, Py_ssize_t nargs, bool has_keywords) {
    Py_ssize_t off = sig.counts_self ? 1 : 0;
    if (has_keywords && !sig.keywords) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", sig.name);
        return -1;
    }
    if (nargs > sig.nparams)
        return raise_arg_count(sig.name, sig.nrequired == sig.nparams, sig.nparams + off, nargs + off, false);
    return 0;
}

static int check_required(const Signature& sig, PyObject** out) {
    for (Py_ssize_t j = 0; j < sig.nrequired; ++j)
        if (!out[j]) {
            Py_ssize_t off = sig.counts_self ? 1 : 0;
            return raise_arg_count(sig.name, sig.nrequired == sig.nparams, sig.nrequired + off, j + off, true);
        }
    return 0;
}

int parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
          PyObject** extra) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (check_positional(sig, nargs, nkw > 0) < 0 || intern_names(sig) < 0) return -1;
    for (Py_ssize_t j = 0; j < sig.nparams; ++j) out[j] = j < nargs ? args[j] : nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (place_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out, extra) < 0) return -1;
    return check_required(sig, out);
}

int parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, PyObject** extra) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bool has_kw = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    if (check_positional(sig, nargs, has_kw) < 0 || intern_names(sig) < 0) return -1;
    for (Py_ssize_t j = 0; j < sig.nparams; ++j) out[j] = j < nargs ? PyTuple_GET_ITEM(args, j) : nullptr;
    Py_ssize_t pos = 0;
    PyObject *kw, *value;
    while (has_kw && PyDict_Next(kwargs, &pos, &kw, &value))
        if (place_keyword(sig, nargs, kw, value, out, extra) < 0) return -1;
    return check_required(sig, out);
}

int no_args(const char* name, bool counts_self, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return -1;
    }
    Py_ssize_t off = counts_self ? 1 : 0;
    return nargs == 0 ? 0 : raise_arg_count(name, true, off, nargs + off, false);
}

int no_keywords(const char* name, PyObject* kwnames) {
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return 0;
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                 PyTuple_GET_ITEM(kwnames, 0));
    return -1;
}

int check_str_or_none(PyObject* obj, const char* param) {
    if (obj == Py_None || PyUnicode_CheckExact(obj)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, "str",
                 Py_TYPE(obj)->tp_name);
    return -1;
}

int as_int(PyObject* obj, int* out) {
    PyObject* num;
    if (PyLong_Check(obj)) {
        num = Py_NewRef(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        num = nb->nb_int(obj);
        if (!num) return -1;
        if (!PyLong_Check(num)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(num)->tp_name);
            Py_DECREF(num);
            return -1;
        }
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(num, &overflow);
    Py_DECREF(num);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(v);
    return 0;
}

}  // namespace quorlin::py
