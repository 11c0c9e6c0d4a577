// The statements run when the module is executed.
#pragma once
#include <Python.h>

#include "runtime/traceback.h"

// Fills the module state and runs the module body on `module`; 0, or -1 with
// an exception set (and the traceback entry of the failing statement).
int run_module_body(PyObject *module) noexcept;

// A failure of the module body at `py_line`: one traceback entry
// "init quendsdk.tablora", then -1.
int body_failure(rt::NativePos where, int py_line) noexcept;

// The class statement of MySQLDatabaseTablora (source lines 16 to 69) and
// the __test__ binding; 0, or -1 with its traceback entry added.
int create_class() noexcept;
