// The entry points of the four methods of MySQLDatabaseTablora: each binds its
// arguments, then runs its body. The calling convention is METH_FASTCALL |
// METH_KEYWORDS; `function` is the compiled function itself and is unused.
#pragma once
#include <Python.h>

PyObject *init_entry(PyObject *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;
PyObject *connect_entry(PyObject *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;
PyObject *prepare_data_entry(PyObject *function, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) noexcept;
PyObject *print_table_schemas_entry(PyObject *function, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) noexcept;
