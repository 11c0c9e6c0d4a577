#include "tool/methods.h"
PyObject *connect_entry(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept { Py_RETURN_NONE; }
PyObject *prepare_data_entry(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept { Py_RETURN_NONE; }
PyObject *print_table_schemas_entry(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept { Py_RETURN_NONE; }
