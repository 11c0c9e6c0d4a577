// Calling Python objects: tuple-and-dict calls under the recursion guard,
// vector calls with fast paths, and calls that unpack a bound method.
#pragma once
#include <Python.h>

namespace rt {

// callable(*args, **kwargs); new reference or null.
PyObject *call_object(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept;
// A native function declared no-argument or one-argument, called on its entry.
PyObject *call_c_function(PyObject *func, PyObject *arg) noexcept;
// callable(*args[:count]); the vectorcall offset flag in count is ignored.
PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t count) noexcept;
// callable(*args[:count]); a bound method is unpacked so that its instance
// rides in the vector in front of the arguments.
PyObject *call_unpacked(PyObject *callable, PyObject *const *args, Py_ssize_t count) noexcept;

inline PyObject *call0(PyObject *callable) noexcept { return call_unpacked(callable, nullptr, 0); }
inline PyObject *call1(PyObject *callable, PyObject *a) noexcept {
    PyObject *args[] = {a};
    return call_unpacked(callable, args, 1);
}
inline PyObject *call2(PyObject *callable, PyObject *a, PyObject *b) noexcept {
    PyObject *args[] = {a, b};
    return call_unpacked(callable, args, 2);
}
inline PyObject *call3(PyObject *callable, PyObject *a, PyObject *b, PyObject *c) noexcept {
    PyObject *args[] = {a, b, c};
    return call_unpacked(callable, args, 3);
}

}  // namespace rt
