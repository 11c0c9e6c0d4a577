// The steps of a `with` statement around a method body's block: special
// methods looked up on the type, __exit__ on the normal and the error path.
#pragma once
#include <Python.h>

#include "runtime/exceptions.h"
#include "runtime/ref.h"

// Binds __exit__ then __enter__ of `manager` and calls __enter__: the target
// value (new reference), or null. `exit` receives the bound __exit__.
PyObject *with_enter(PyObject *manager, rt::Ref &exit) noexcept;

// The block ended normally: __exit__(None, None, None), result dropped. 0, or -1.
int with_exit_normally(rt::Ref &exit) noexcept;

// The block failed and its traceback entry is added: __exit__ gets the
// exception as the handled one; `saved` (taken when the block began) is put
// back afterwards. 1: suppressed, nothing raised. 0: not suppressed, the same
// exception raised again. -1: __exit__ or its truth test failed.
int with_exit_on_error(PyThreadState *ts, rt::Ref &exit, rt::SavedException &saved) noexcept;
