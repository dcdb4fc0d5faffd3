// Argument parsing for the module's callables, with the interpreter's standard TypeError wordings.
#pragma once
#include <Python.h>

#include <cstddef>

namespace quorlin::py {

/// One callable's parameters: positional-or-keyword names, how many are required, and
/// whether a bound `self` or `cls` counts in the positional counts of the messages.
struct Signature {
    const char* name;            ///< the function's own name, as messages show it
    const char* const* params;   ///< parameter names, in order
    Py_ssize_t nparams;
    Py_ssize_t nrequired;        ///< required parameters, not counting `self`
    bool counts_self;
    bool keywords;               ///< false: only positional arguments are accepted
    PyObject** interned;         ///< filled on first use: the names as interned strings
};

/// Raises the "takes exactly/at least/at most N positional arguments" TypeError.
int raise_arg_count(const char* name, bool exact, Py_ssize_t expected, Py_ssize_t given, bool at_least);

/// Parses vectorcall arguments into `out` (borrowed; missing optionals are null).
/// Keyword arguments not among the parameters are an error, unless `extra` is given:
/// then they are collected into a new dict stored there.
int parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
          PyObject** extra = nullptr);

/// Parses a tuple and dict (the `tp_init` calling form) like `parse`.
int parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, PyObject** extra = nullptr);

/// Checks the arguments of a callable without parameters (`self` may count).
int no_args(const char* name, bool counts_self, Py_ssize_t nargs, PyObject* kwnames);

/// Rejects keyword arguments of a `*args` callable.
int no_keywords(const char* name, PyObject* kwnames);

/// Checks that `obj` is exactly a `str` or None.
int check_str_or_none(PyObject* obj, const char* param);

/// Converts through the integer protocol to a C int, as `k` arguments are converted.
int as_int(PyObject* obj, int* out);

}  // namespace quorlin::py

/// Declares a Signature named `var` for function `fname` with the given parameter names.
#define QUORLIN_SIGNATURE(var, fname, nrequired, counts_self, keywords, ...)                       \
    static const char* const var##_names[] = {__VA_ARGS__};                                       \
    static PyObject* var##_interned[sizeof(var##_names) / sizeof(char*)];                          \
    static const ::quorlin::py::Signature var = {fname, var##_names,                              \
                                                 sizeof(var##_names) / sizeof(char*), nrequired,  \
                                                 counts_self, keywords, var##_interned}
