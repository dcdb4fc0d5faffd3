// Owning reference to a Python object, and the small helpers built on it.
#pragma once
#include <Python.h>

#include <utility>

namespace quorlin::py {

/// Move-only owner of one strong reference; made only by an explicit steal or borrow.
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        // Store the new pointer before the decref: a destructor may run arbitrary code.
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    /// Takes over a new reference (null stays null: an error is set).
    static Ref steal(PyObject* p) { return Ref(p); }
    /// Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const { return ptr_; }
    /// Gives up ownership, for APIs that steal a reference.
    PyObject* release() { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

/// Calls `obj.name(*args)` through attribute lookup, so subclass overrides take effect.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, 1 + sizeof...(A), nullptr));
}

/// Calls `fn(*args)`.
template <class... A>
Ref call(PyObject* fn, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(fn, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `obj.name`
inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

/// A new Python int from a C++ integer.
inline Ref from_size(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }

}  // namespace quorlin::py
