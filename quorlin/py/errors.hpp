// Notes on errors in flight (PEP 678) and the module's own warnings.
#pragma once
#include <Python.h>

#include "ref.hpp"

namespace quorlin::py {

/// Adds the note `text` to the exception in flight, which stays the one reported; -1 always, so that
/// a failing path can end with `return py::add_note(...)`. When the note cannot be added the
/// exception goes on without it.
inline int add_note(PyObject* text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return -1;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref added = text && value ? Ref::steal(PyObject_CallMethod(value, "add_note", "O", text)) : Ref{};
    if (!added) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return -1;
}

/// `add_note` with a note formatted as PyUnicode_FromFormat does.
template <class... A>
int add_note_format(const char* format, A... args) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // formatting may not run with an error set
    Ref text = Ref::steal(PyUnicode_FromFormat(format, args...));
    if (!text) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return add_note(text.get());
}

}  // namespace quorlin::py
