// Instances of the module's ordinary classes: all state lives in the instance __dict__.
#pragma once
#include <Python.h>
#include <structmember.h>

#include <cstddef>

namespace quorlin::py {

struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weaklist;
};

inline int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

inline int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

/// Untracks, clears and frees the instance, then releases its heap type.
inline void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Instance*>(self)->weaklist) PyObject_ClearWeakRefs(self);
    type->tp_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/// The `__dictoffset__` and `__weaklistoffset__` members of a type whose struct starts with Instance.
inline PyMemberDef instance_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Instance, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Instance, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

/// The `__dict__` attribute, for the getset table of such a type.
inline constexpr PyGetSetDef dict_getset = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};

}  // namespace quorlin::py
