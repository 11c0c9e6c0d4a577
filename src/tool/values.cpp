// Truth tests, f-string formatting and piece joins used by the method bodies.
#include "tool/values.h"

#include <cstring>

#include "module/state.h"

int object_is_true(PyObject *obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

PyObject *format_simple(PyObject *obj) noexcept {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    // For exact int and float the repr is the str.
    if (PyLong_CheckExact(obj)) return PyLong_Type.tp_repr(obj);
    if (PyFloat_CheckExact(obj)) return PyFloat_Type.tp_repr(obj);
    return PyObject_Format(obj, state().empty_str);
}

Py_UCS4 unicode_max_char(PyObject *str) noexcept {
    if (PyUnicode_IS_ASCII(str)) return 0x7f;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return 0xff;
    case PyUnicode_2BYTE_KIND: return 0xffff;
    default: return 0x10ffff;
    }
}

PyObject *join_pieces(PyObject *pieces, Py_ssize_t count, Py_ssize_t total_length, Py_UCS4 max_char) noexcept {
    PyObject *result = PyUnicode_New(total_length, max_char);
    if (!result) return nullptr;
    const int kind = PyUnicode_KIND(result);
    const int shift = kind == PyUnicode_1BYTE_KIND ? 0 : kind == PyUnicode_2BYTE_KIND ? 1 : 2;
    char *data = static_cast<char *>(PyUnicode_DATA(result));
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(pieces, i);
        Py_ssize_t length = PyUnicode_GET_LENGTH(item);
        if (length == 0) continue;
        if ((PY_SSIZE_T_MAX >> shift) - length < pos) {
            Py_DECREF(result);
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return nullptr;
        }
        if (static_cast<int>(PyUnicode_KIND(item)) == kind)
            std::memcpy(data + (pos << shift), PyUnicode_DATA(item), static_cast<size_t>(length) << shift);
        else if (PyUnicode_CopyCharacters(result, pos, item, 0, length) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        pos += length;
    }
    return result;
}

PyObject *concat_text(PyObject *left, PyObject *right) noexcept { return PyUnicode_Concat(left, right); }

namespace {

bool url_safe(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

PyObject *percent_encode(PyObject *text) noexcept {
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    Py_ssize_t escaped = 0;
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!url_safe(static_cast<unsigned char>(utf8[i]))) ++escaped;
    if (escaped == 0) return Py_NewRef(text);
    PyObject *result = PyUnicode_New(size + 2 * escaped, 0x7f);
    if (!result) return nullptr;
    static const char hex[] = "0123456789ABCDEF";
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(result);
    for (Py_ssize_t i = 0; i < size; ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (url_safe(c)) {
            *out++ = c;
        } else {
            *out++ = '%';
            *out++ = static_cast<Py_UCS1>(hex[c >> 4]);
            *out++ = static_cast<Py_UCS1>(hex[c & 0xf]);
        }
    }
    return result;
}

PyObject *escape_database_percent(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t name_end = 0, percents = 0;
    for (; name_end < length; ++name_end) {
        Py_UCS4 c = PyUnicode_READ(kind, data, name_end);
        if (c == '?') break;
        if (c == '%') ++percents;
    }
    if (percents == 0) return Py_NewRef(text);
    PyObject *result = PyUnicode_New(length + 2 * percents, unicode_max_char(text));
    if (!result) return nullptr;
    const int out_kind = PyUnicode_KIND(result);
    void *out = PyUnicode_DATA(result);
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        PyUnicode_WRITE(out_kind, out, pos++, c);
        if (c == '%' && i < name_end) {
            PyUnicode_WRITE(out_kind, out, pos++, '2');
            PyUnicode_WRITE(out_kind, out, pos++, '5');
        }
    }
    return result;
}
