// Value routines the method bodies share: truth tests and building text from
// pieces with a single allocation.
#pragma once
#include <Python.h>

// 1, 0, or -1 with an exception set; True, False and None without a call.
int object_is_true(PyObject *obj) noexcept;
// The text of f"{obj}"; new reference or null.
PyObject *format_simple(PyObject *obj) noexcept;
// The widest code point the string's storage can hold.
Py_UCS4 unicode_max_char(PyObject *str) noexcept;
// The first `count` str items of `pieces` joined into a new str of
// `total_length` characters; `max_char` bounds every item's unicode_max_char.
PyObject *join_pieces(PyObject *pieces, Py_ssize_t count, Py_ssize_t total_length, Py_UCS4 max_char) noexcept;
// `left + right` for two str objects.
PyObject *concat_text(PyObject *left, PyObject *right) noexcept;
// The text with every UTF-8 byte outside A-Z a-z 0-9 - . _ ~ written as %XX,
// so that it stays one field of a URL; the same object when nothing changes.
PyObject *percent_encode(PyObject *text) noexcept;
// The database part of a URL with every "%" before the first "?" written as
// "%25"; what follows the "?" stays as given. The same object when nothing changes.
PyObject *escape_database_percent(PyObject *text) noexcept;
