// Attributes of compiled functions. A read returns a new reference; a refused
// write returns -1 and leaves the field as it was.
#include <structmember.h>

#include "module/state.h"
#include "runtime/function_type.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"

namespace rt {

namespace {

FunctionObject *fn(PyObject *self) noexcept { return as_function(self); }

int type_error(const char *message) noexcept {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

PyObject *fn_get_doc(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->doc) {
        const char *text = f->head.func.m_ml->ml_doc;
        if (!text) Py_RETURN_NONE;
        f->doc = PyUnicode_FromString(text);
        if (!f->doc) return nullptr;
    }
    return Py_NewRef(f->doc);
}

int fn_set_doc(PyObject *self, PyObject *value, void *) noexcept {
    replace_owned(fn(self)->doc, value ? value : Py_None);  // `del` stores None
    return 0;
}

PyObject *fn_get_name(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->name) {
        f->name = PyUnicode_InternFromString(f->head.func.m_ml->ml_name);
        if (!f->name) return nullptr;
    }
    return Py_NewRef(f->name);
}

int fn_set_name(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) return type_error("__name__ must be set to a string object");
    replace_owned(fn(self)->name, value);
    return 0;
}

PyObject *fn_get_qualname(PyObject *self, void *) noexcept { return Py_NewRef(fn(self)->qualname); }

int fn_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) return type_error("__qualname__ must be set to a string object");
    replace_owned(fn(self)->qualname, value);
    return 0;
}

PyObject *fn_get_dict(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict) return nullptr;
    }
    return Py_NewRef(f->dict);
}

int fn_set_dict(PyObject *self, PyObject *value, void *) noexcept {
    if (!value) return type_error("function's dictionary may not be deleted");
    if (!PyDict_Check(value)) return type_error("setting function's dictionary to a non-dict");
    replace_owned(fn(self)->dict, value);
    return 0;
}

PyObject *fn_get_globals(PyObject *self, void *) noexcept { return Py_NewRef(fn(self)->globals); }

PyObject *fn_get_closure(PyObject *, void *) noexcept { Py_RETURN_NONE; }

PyObject *fn_get_code(PyObject *self, void *) noexcept {
    PyObject *code = fn(self)->code;
    return Py_NewRef(code ? code : Py_None);
}

// Fills both defaults fields from the getter's 2-tuple; 0, or -1.
int run_defaults_getter(FunctionObject *f) noexcept {
    Ref pair = Ref::steal(f->defaults_getter(reinterpret_cast<PyObject *>(f)));
    if (!pair) return -1;
    replace_owned(f->defaults, PyTuple_GET_ITEM(pair.get(), 0));
    replace_owned(f->kwdefaults, PyTuple_GET_ITEM(pair.get(), 1));
    return 0;
}

PyObject *fn_get_defaults(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->defaults) {
        if (!f->defaults_getter) Py_RETURN_NONE;
        if (run_defaults_getter(f) < 0) return nullptr;
    }
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

// Warns that a write changes what the attribute shows, not what calls bind.
// A warning turned into an error fails the write before anything is stored.
int warn_not_used(const char *message) noexcept { return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1); }

int fn_set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) return type_error("__defaults__ must be set to a tuple object");
    if (warn_not_used("changes to compiled_function.__defaults__ will not currently affect the values used in "
                      "function calls") < 0)
        return -1;
    replace_owned(fn(self)->defaults, value);
    return 0;
}

PyObject *fn_get_kwdefaults(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->kwdefaults) {
        if (!f->defaults_getter) Py_RETURN_NONE;
        if (run_defaults_getter(f) < 0) return nullptr;
    }
    return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}

int fn_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__kwdefaults__ must be set to a dict object");
    if (warn_not_used("changes to compiled_function.__kwdefaults__ will not currently affect the values used in "
                      "function calls") < 0)
        return -1;
    replace_owned(fn(self)->kwdefaults, value);
    return 0;
}

PyObject *fn_get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int fn_set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;  // the next read makes a new empty dict
    if (value && !PyDict_Check(value)) return type_error("__annotations__ must be set to a dict object");
    replace_owned(fn(self)->annotations, value);
    return 0;
}

// asyncio's marker for coroutine functions, or True when it cannot be had.
PyObject *coroutine_marker() noexcept {
    const State &st = state();
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) return nullptr;
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(st.str__is_coroutine));
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(st.str_asyncio_coroutines, nullptr, nullptr,
                                                             from_list.get(), 0));
    PyObject *marker = module ? get_attr(module.get(), st.str__is_coroutine) : nullptr;
    if (!marker) {
        PyErr_Clear();
        marker = Py_NewRef(Py_True);
    }
    return marker;
}

PyObject *fn_get_is_coroutine(PyObject *self, void *) noexcept {
    FunctionObject *f = fn(self);
    if (!f->is_coroutine) {
        f->is_coroutine = (f->flags & kFlagCoroutine) ? coroutine_marker() : Py_NewRef(Py_False);
        if (!f->is_coroutine) return nullptr;
    }
    return Py_NewRef(f->is_coroutine);
}

PyObject *fn_reduce(PyObject *self, PyObject *) noexcept {
    // pickle stores the function by reference, as a global of its module
    return Py_NewRef(fn(self)->qualname);
}

}  // namespace

// Each func_* row shares its dunder twin's accessors.
PyGetSetDef function_getset[] = {
    // name             getter                set
    {"func_doc",        fn_get_doc,           fn_set_doc,         nullptr, nullptr},
    {"__doc__",         fn_get_doc,           fn_set_doc,         nullptr, nullptr},
    {"func_name",       fn_get_name,          fn_set_name,        nullptr, nullptr},
    {"__name__",        fn_get_name,          fn_set_name,        nullptr, nullptr},
    {"__qualname__",    fn_get_qualname,      fn_set_qualname,    nullptr, nullptr},
    {"func_dict",       fn_get_dict,          fn_set_dict,        nullptr, nullptr},
    {"__dict__",        fn_get_dict,          fn_set_dict,        nullptr, nullptr},
    {"func_globals",    fn_get_globals,       nullptr,            nullptr, nullptr},
    {"__globals__",     fn_get_globals,       nullptr,            nullptr, nullptr},
    {"func_closure",    fn_get_closure,       nullptr,            nullptr, nullptr},
    {"__closure__",     fn_get_closure,       nullptr,            nullptr, nullptr},
    {"func_code",       fn_get_code,          nullptr,            nullptr, nullptr},
    {"__code__",        fn_get_code,          nullptr,            nullptr, nullptr},
    {"func_defaults",   fn_get_defaults,      fn_set_defaults,    nullptr, nullptr},
    {"__defaults__",    fn_get_defaults,      fn_set_defaults,    nullptr, nullptr},
    {"__kwdefaults__",  fn_get_kwdefaults,    fn_set_kwdefaults,  nullptr, nullptr},
    {"__annotations__", fn_get_annotations,   fn_set_annotations, nullptr, nullptr},
    {"_is_coroutine",   fn_get_is_coroutine,  nullptr,            nullptr, nullptr},
    {nullptr,           nullptr,              nullptr,            nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT,    offsetof(FunctionObject, head.func.m_module), 0, nullptr},
    {nullptr,      0,           0,                                           0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", fn_reduce, METH_VARARGS, nullptr},
    {nullptr,      nullptr,   0,            nullptr},
};

}  // namespace rt
