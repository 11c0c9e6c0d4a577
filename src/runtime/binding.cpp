// Argument binding: identity matches on the interned parameter names first,
// then equality, then the messages for what does not bind.
#include "runtime/binding.h"

#include <cstring>

#include "runtime/cpython_internal.h"
#include "runtime/ref.h"

namespace rt {

namespace {

// Arity messages depend only on the method, the bound and the count given,
// so each one is formatted once; calls that keep failing the same way reuse it.
struct ArityMessage {
    const MethodSignature *sig;
    const char *bound;
    Py_ssize_t given;
    PyObject *text;  // owned, never released
};
ArityMessage arity_messages[64];
int arity_message_count = 0;

Py_NO_INLINE int raise_arity(const MethodSignature &sig, const char *bound, Py_ssize_t expected, Py_ssize_t given) noexcept {
    for (int i = 0; i < arity_message_count; ++i) {
        const ArityMessage &m = arity_messages[i];
        if (m.sig == &sig && m.given == given && std::strcmp(m.bound, bound) == 0) {
            PyErr_SetObject(PyExc_TypeError, m.text);
            return -1;
        }
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                                               sig.name, bound, expected, expected == 1 ? "" : "s", given));
    if (!text) return -1;
    if (arity_message_count < 64) arity_messages[arity_message_count++] = ArityMessage{&sig, bound, given, text.new_ref()};
    PyErr_SetObject(PyExc_TypeError, text.get());
    return -1;
}

// -1 unequal, 1 equal, -2 error; exact str pairs are decided without a call.
int keyword_equals(PyObject *param, PyObject *key) noexcept {
    if (param == key) return 1;
    if (PyUnicode_CheckExact(param) && PyUnicode_CheckExact(key)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(param);
        if (length != PyUnicode_GET_LENGTH(key)) return -1;
        Py_hash_t h1 = cpython::stored_hash(param), h2 = cpython::stored_hash(key);
        if (h1 != -1 && h2 != -1 && h1 != h2) return -1;
        int kind = PyUnicode_KIND(param);
        if (kind != static_cast<int>(PyUnicode_KIND(key))) return -1;
        const void *d1 = PyUnicode_DATA(param), *d2 = PyUnicode_DATA(key);
        if (PyUnicode_READ(kind, d1, 0) != PyUnicode_READ(kind, d2, 0)) return -1;
        if (length == 1) return 1;
        return std::memcmp(d1, d2, static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0 ? 1 : -1;
    }
    if ((param == Py_None && PyUnicode_CheckExact(key)) || (key == Py_None && PyUnicode_CheckExact(param)))
        return -1;
    Ref result = Ref::steal(PyObject_RichCompare(param, key, Py_EQ));
    if (!result) return -2;
    PyObject *r = result.get();
    if (r == Py_True) return 1;
    if (r == Py_False || r == Py_None) return -1;
    int truth = PyObject_IsTrue(r);
    return truth < 0 ? -2 : truth ? 1 : -1;
}

// Same length, then PyUnicode_Compare: 1 equal, 0 not, -1 error.
int same_text(PyObject *param, PyObject *key) noexcept {
    if (PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(key)) return 0;
    int c = PyUnicode_Compare(param, key);
    if (c < 0 && PyErr_Occurred()) return -1;
    return c == 0;
}

// Binds one keyword; 0 bound, -1 error.
int bind_one_keyword(PyObject *key, PyObject *value, PyObject *const *names, PyObject **values, Py_ssize_t nargs,
                     const char *function_name) noexcept {
    for (Py_ssize_t i = nargs; names[i]; ++i) {
        if (names[i] == key) {
            values[i] = value;
            return 0;
        }
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
        return -1;
    }
    Ref held_key = Ref::borrow(key);  // a comparison may run Python code
    Ref held_value = Ref::borrow(value);
    for (Py_ssize_t i = nargs; names[i]; ++i) {
        int same = same_text(names[i], key);
        if (same < 0) return -1;
        if (same) {
            values[i] = value;
            return 0;
        }
    }
    for (Py_ssize_t i = 0; i < nargs && names[i]; ++i) {
        int same = names[i] == key ? 1 : same_text(names[i], key);
        if (same < 0) return -1;
        if (same) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, key);
    return -1;
}

}  // namespace

PyObject *find_keyword_value(PyObject *kwnames, PyObject *const *kwvalues, PyObject *name) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = keyword_equals(name, PyTuple_GET_ITEM(kwnames, i));
        if (eq == -2) return nullptr;
        if (eq == 1) return kwvalues[i];
    }
    return nullptr;
}

int bind_keywords(PyObject *kwsource, PyObject *const *kwvalues, PyObject *const *names, PyObject **values,
                  Py_ssize_t nargs, const char *function_name) noexcept {
    if (kwvalues) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(kwsource); i < n; ++i)
            if (bind_one_keyword(PyTuple_GET_ITEM(kwsource, i), kwvalues[i], names, values, nargs, function_name) < 0)
                return -1;
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwsource, &pos, &key, &value))
        if (bind_one_keyword(key, value, names, values, nargs, function_name) < 0) return -1;
    return 0;
}

int bind_arguments(const MethodSignature &sig, PyObject *const *names, PyObject **values, PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames) noexcept {
    const Py_ssize_t R = sig.required, P = sig.total;
    const char *exact_or = R == P ? "exactly" : nullptr;
    if (!kwnames) {
        if (nargs < R || nargs > P)
            return raise_arity(sig, exact_or ? exact_or : nargs < R ? "at least" : "at most", nargs < R ? R : P,
                               nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
        return 0;
    }
    if (nargs > P) return raise_arity(sig, exact_or ? exact_or : "at most", P, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t kw_remaining = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = nargs; i < R; ++i) {
        PyObject *value = find_keyword_value(kwnames, kwvalues, names[i]);
        if (!value) {
            if (PyErr_Occurred()) return -1;
            return raise_arity(sig, exact_or ? exact_or : "at least", R, i);
        }
        values[i] = value;
        --kw_remaining;
    }
    for (Py_ssize_t i = nargs > R ? nargs : R; i < P && kw_remaining > 0; ++i) {
        PyObject *value = find_keyword_value(kwnames, kwvalues, names[i]);
        if (value) {
            values[i] = value;
            --kw_remaining;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (kw_remaining > 0 && bind_keywords(kwnames, kwvalues, names, values, nargs, sig.name) < 0) return -1;
    return 0;
}

}  // namespace rt
