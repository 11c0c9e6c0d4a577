// Traceback entries that point into the module's Python source lines, with a
// cache of the empty code objects they are made from.
#pragma once
#include <Python.h>

namespace rt {

// A failure point in the native source; line 0 means none.
struct NativePos {
    const char *file;
    int line;
};

#define RT_HERE (::rt::NativePos{__FILE__, __LINE__})

// The file name shown in the module's traceback entries (two backslashes).
inline constexpr char kTracebackFile[] = "quendsdk\\\\tablora.py";

// What a failure point returns, after its entry: -1 from a routine that
// returns an int, null from one that returns an object.
struct Failure {
    constexpr operator int() const noexcept { return -1; }
    constexpr operator PyObject *() const noexcept { return nullptr; }
};

// Adds one entry naming `function` at `py_line` to the raised exception.
void add_traceback_entry(const char *function, NativePos native, int py_line, const char *file) noexcept;

// The native position to show in entry names, or 0 (switch
// `compiled_runtime.native_line_in_traceback`); -1 when an interrupt or exit
// raised while reading the switch goes on instead of the reported exception.
int native_line_for_traceback(PyThreadState *ts, int native_line) noexcept;

// Number of cached code objects, for the runtime's own checks.
Py_ssize_t cached_code_count() noexcept;
Py_ssize_t cached_code_capacity() noexcept;

}  // namespace rt
