// Argument binding for the method entry points: positional and keyword
// arguments onto parameter slots, with the module's arity and keyword messages.
#pragma once
#include <Python.h>

namespace rt {

// What one method's entry point binds against.
struct MethodSignature {
    const char *name;  // plain name, used in the messages
    int required;      // R: the first R parameters have no default
    int total;         // P
};

// Binds args[:nargs] and the keyword values after them (named by kwnames, or
// null) into values[0..P). `names` is the parameter-name table (P interned
// names then null); optional slots arrive holding their defaults. Slots hold
// borrowed references; nothing is allocated. 0, or -1 with TypeError (or a
// comparison's own error). The caller adds the traceback entry.
int bind_arguments(const MethodSignature &sig, PyObject *const *names, PyObject **values, PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames) noexcept;

// The borrowed value passed under `name`, or null: with no exception when it
// was not passed, with one when a comparison failed.
PyObject *find_keyword_value(PyObject *kwnames, PyObject *const *kwvalues, PyObject *name) noexcept;

// Binds every keyword (from a names tuple with its values, or a dict when
// kwvalues is null) onto its slot; 0, or -1 with TypeError.
int bind_keywords(PyObject *kwsource, PyObject *const *kwvalues, PyObject *const *names, PyObject **values,
                  Py_ssize_t nargs, const char *function_name) noexcept;

}  // namespace rt
