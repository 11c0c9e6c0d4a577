// The interpreter's private calls the module relies on, each behind one thin
// wrapper, so that what a new interpreter could break stays in one place.
// Checked against the 3.12 and 3.13 headers; a guard marks where they differ.
#pragma once
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "quendsdk.tablora is written for CPython 3.12 and 3.13"
#endif
#ifdef Py_GIL_DISABLED
// The thread-state and dict accesses below assume the GIL.
#error "quendsdk.tablora needs a CPython build with the GIL"
#endif

#if PY_VERSION_HEX >= 0x030D0000
// 3.13 moved the declaration to the internal headers; the function is
// still exported, with the same signature and meaning.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject *mp, PyObject *key, PyObject *item, Py_hash_t hash);
#endif

namespace rt::cpython {

// The exception being raised on the thread (borrowed), or null.
inline PyObject *raised_exception(PyThreadState *ts) noexcept { return ts->current_exception; }

// Takes the exception being raised off the thread; the caller owns it.
inline PyObject *take_raised_exception(PyThreadState *ts) noexcept {
    PyObject *raised = ts->current_exception;
    ts->current_exception = nullptr;
    return raised;
}

// The innermost entry of the handled-exception stack holds the value that
// sys.exc_info() and implicit chaining see; this is its slot (owned value,
// possibly null or None).
inline PyObject *&handled_exception_slot(PyThreadState *ts) noexcept { return ts->exc_info->exc_value; }

// A code object from its parts (the unstable constructor; the same
// parameters on 3.12 and 3.13).
inline PyCodeObject *new_code(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize,
                              int flags, PyObject *code, PyObject *consts, PyObject *names, PyObject *varnames,
                              PyObject *freevars, PyObject *cellvars, PyObject *filename, PyObject *name,
                              PyObject *qualname, int firstlineno, PyObject *linetable,
                              PyObject *exceptiontable) noexcept {
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
                                              code, consts, names, varnames, freevars, cellvars, filename, name,
                                              qualname, firstlineno, linetable, exceptiontable);
}

// The METH_FASTCALL | METH_KEYWORDS entry point (3.13 names it without the underscore).
#if PY_VERSION_HEX >= 0x030D0000
using FastCallWithKeywords = PyCFunctionFastWithKeywords;
#else
using FastCallWithKeywords = _PyCFunctionFastWithKeywords;
#endif

// Lookup along the type's MRO, without descriptors; borrowed, no error set.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) noexcept { return _PyType_Lookup(type, name); }

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
