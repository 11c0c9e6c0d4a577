// The except clauses' log call: logging.error(prefix + f"{e}").
#pragma once
#include <Python.h>

// 0, or -1 with an exception set.
int log_error_with_text(PyObject *prefix, PyObject *error) noexcept;
