// Exception routines on the thread state: raise, match, save, fetch, restore.
#include "runtime/exceptions.h"

#include "runtime/cpython_internal.h"

namespace rt {

namespace {

bool is_exception_class(PyObject *obj) noexcept {
    return PyType_Check(obj) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject *>(obj), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// `type` derives from the exception class `base`.
bool class_derives(PyObject *type, PyObject *base) noexcept {
    if (type == base) return true;
    auto *t = reinterpret_cast<PyTypeObject *>(type);
    if (PyObject *mro = t->tp_mro) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i)
            if (PyTuple_GET_ITEM(mro, i) == base) return true;
        return false;
    }
    for (PyTypeObject *b = t->tp_base; b; b = b->tp_base)
        if (reinterpret_cast<PyObject *>(b) == base) return true;
    return base == reinterpret_cast<PyObject *>(&PyBaseObject_Type);
}

int tuple_matches(PyObject *type, PyObject *targets) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(targets);
    for (Py_ssize_t i = 0; i < n; ++i)  // identity first, before any MRO scan
        if (PyTuple_GET_ITEM(targets, i) == type) return 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *target = PyTuple_GET_ITEM(targets, i);
        if (is_exception_class(target) && class_derives(type, target)) return 1;
    }
    return 0;
}

}  // namespace

void raise_exception(PyObject *obj) noexcept {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
        return;
    }
    if (PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(obj),
                                              reinterpret_cast<PyTypeObject *>(PyExc_BaseException))) {
        PyObject *empty = PyTuple_New(0);
        if (!empty) return;
        PyObject *instance = PyObject_Call(obj, empty, nullptr);
        Py_DECREF(empty);
        if (!instance) return;
        if (PyExceptionInstance_Check(instance))
            PyErr_SetObject(obj, instance);
        else
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance));
        Py_DECREF(instance);
        return;
    }
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
}

int exception_matches(PyObject *type, PyObject *target) noexcept {
    if (type == target) return 1;
    if (is_exception_class(type)) {
        if (is_exception_class(target)) return class_derives(type, target) ? 1 : 0;
        if (PyTuple_Check(target)) return tuple_matches(type, target);
    }
    return PyErr_GivenExceptionMatches(type, target);
}

int current_exception_matches(PyThreadState *ts, PyObject *target) noexcept {
    PyObject *raised = cpython::raised_exception(ts);
    if (!raised) return 0;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(raised));
    if (type == target) return 1;
    if (PyTuple_Check(target)) {
        Py_ssize_t n = PyTuple_GET_SIZE(target);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyTuple_GET_ITEM(target, i) == type) return 1;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (exception_matches(type, PyTuple_GET_ITEM(target, i))) return 1;
        return 0;
    }
    return exception_matches(type, target);
}

SavedException save_handled_exception(PyThreadState *ts) noexcept {
    // The innermost entry's own value is what goes back when the clause ends:
    // taking the topmost exception from an outer entry instead would plant it
    // in a generator's own exception state.
    SavedException saved;
    PyObject *value = cpython::handled_exception_slot(ts);
    saved.value = Py_XNewRef(value);
    if (value && value != Py_None) {
        saved.type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value)));
        saved.traceback = PyException_GetTraceback(value);
    }
    return saved;
}

int fetch_exception(PyThreadState *ts, PyObject **type, PyObject **value, PyObject **traceback) noexcept {
    PyObject *v = cpython::take_raised_exception(ts);
    PyObject *t = nullptr, *tb = nullptr;
    if (v) {
        t = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v)));
        tb = PyException_GetTraceback(v);
    }
    *type = *value = *traceback = nullptr;
    PyErr_NormalizeException(&t, &v, &tb);
    if (cpython::raised_exception(ts)) goto bad;
    if (tb && PyException_SetTraceback(v, tb) < 0) goto bad;
    {
        *type = t;
        *value = v;
        *traceback = tb;
        PyObject *&slot = cpython::handled_exception_slot(ts);
        PyObject *previous = slot;
        slot = Py_XNewRef(v);
        Py_XDECREF(previous);  // the caller saved it beforehand
        return 0;
    }
bad:
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return -1;
}

void restore_handled_exception(PyThreadState *ts, SavedException &saved) noexcept {
    PyObject *&slot = cpython::handled_exception_slot(ts);
    PyObject *previous = slot;
    slot = saved.value;
    Py_XDECREF(previous);
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.traceback);
    saved = SavedException{};
}

void discard_saved_exception(SavedException &saved) noexcept {
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.value);
    Py_XDECREF(saved.traceback);
    saved = SavedException{};
}

PyObject *lookup_special(PyObject *obj, PyObject *name) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    PyObject *found = cpython::type_lookup(type, name);  // borrowed
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Py_NewRef(found);
    Py_INCREF(found);  // the type's dict may change while __get__ runs
    PyObject *bound = get(found, obj, reinterpret_cast<PyObject *>(type));
    Py_DECREF(found);
    return bound;
}

}  // namespace rt
