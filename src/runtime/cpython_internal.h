// The interpreter's private calls the module relies on, each behind one thin
// wrapper, so that what a new interpreter could break stays in one place.
#pragma once
#include <Python.h>

namespace rt::cpython {

// Dictionary lookup with a precomputed hash; borrowed result, or null (check
// PyErr_Occurred to tell a failed comparison from a missing key).
inline PyObject *dict_get_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash) noexcept {
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

// Dictionary store with a precomputed hash.
inline int dict_set_known_hash(PyObject *dict, PyObject *key, PyObject *value, Py_hash_t hash) noexcept {
    return _PyDict_SetItem_KnownHash(dict, key, value, hash);
}

// Generic attribute lookup that returns null without AttributeError when the
// attribute is missing (suppress flag 1).
inline PyObject *generic_getattr_suppressed(PyObject *obj, PyObject *name) noexcept {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// Address of an object's instance-dict slot, or null when it has none.
inline PyObject **instance_dict_ptr(PyObject *obj) noexcept {
    return _PyObject_GetDictPtr(obj);
}

// Allocation of a GC object of a static type, not yet tracked.
template <typename T>
inline T *gc_new(PyTypeObject *type) noexcept {
    return reinterpret_cast<T *>(_PyObject_GC_New(type));
}

// The hash a str object already carries (-1 when not yet computed).
inline Py_hash_t stored_hash(PyObject *str) noexcept {
    return reinterpret_cast<PyASCIIObject *>(str)->hash;
}

}  // namespace rt::cpython
