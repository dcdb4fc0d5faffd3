// The one boundary between C++ and Python: every Python-visible function passes through here.
#pragma once
#include <Python.h>

#include <exception>
#include <new>

#include "ref.hpp"

namespace quorlin::py {

/// Turns the C++ exception in flight into a Python error.
inline void set_error_from_cpp() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

/// Adds the traceback frame that names the failing function ("cquorlin.Table.add").
inline void add_frame(const char* qualname) { _PyTraceback_Add(qualname, "cquorlin", 0); }

/// Runs `body` (returning a Ref, null on error) with exception conversion and the traceback frame.
template <class F>
PyObject* guard(const char* qualname, F&& body) noexcept {
    PyObject* result = nullptr;
    try {
        result = body().release();
    } catch (...) {
        set_error_from_cpp();
    }
    if (!result) add_frame(qualname);
    return result;
}

/// As `guard`, for slots that return an int status (-1: error).
template <class F>
int guard_status(const char* qualname, F&& body) noexcept {
    int status = -1;
    try {
        status = body();
    } catch (...) {
        set_error_from_cpp();
    }
    if (status < 0) add_frame(qualname);
    return status;
}

using FastImpl = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The vectorcall entry of one implementation; `Name` is its qualified name.
template <FastImpl Impl, const char* Name>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard(Name, [&] { return Impl(self, args, nargs, kwnames); });
}

/// Method table entry for a vectorcall implementation.
template <FastImpl Impl, const char* Name>
constexpr PyMethodDef method_def(const char* pyname, int extra_flags = 0) {
    return {pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Impl, Name>)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, nullptr};
}

}  // namespace quorlin::py
