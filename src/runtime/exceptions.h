// Raising, matching `except` targets, and the handled-exception state of the
// thread, as a `try` statement uses them.
#pragma once
#include <Python.h>

namespace rt {

// A saved handled exception: owned references, each possibly null.
struct SavedException {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
};

// `raise obj` for an exception instance or class; never fails to set one.
void raise_exception(PyObject *obj) noexcept;
// 1 when exception class `type` is caught by the except target, else 0.
int exception_matches(PyObject *type, PyObject *target) noexcept;
// The test of an except clause against the raised exception, which stays set.
int current_exception_matches(PyThreadState *ts, PyObject *target) noexcept;

SavedException save_handled_exception(PyThreadState *ts) noexcept;
// Takes the raised exception as the handled one; 0 with new references in the
// outputs, or -1 with a new failure raised.
int fetch_exception(PyThreadState *ts, PyObject **type, PyObject **value, PyObject **traceback) noexcept;
// Puts the saved value back as the handled exception; consumes `saved`.
void restore_handled_exception(PyThreadState *ts, SavedException &saved) noexcept;
// Drops a saved state unused, when a `try` ends normally.
void discard_saved_exception(SavedException &saved) noexcept;

// The special method `name` looked up on the type and bound to `obj`; new
// reference, or null with AttributeError(name).
PyObject *lookup_special(PyObject *obj, PyObject *name) noexcept;

}  // namespace rt
