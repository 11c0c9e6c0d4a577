// The compiled-function type: creation, the fast-call entries chosen from the
// method flags, the call slot, descriptor binding, repr and GC support.
#include "runtime/function_type.h"

#include "module/state.h"
#include "runtime/cpython_internal.h"
#include "runtime/ref.h"

namespace rt {

// Only the head is given here; init_function_type() fills the slots by name.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject own_function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

namespace {

constexpr char kBadCallFlags[] = "Bad call flags for compiled function";
constexpr int kCallFlagsMask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

const char *def_name(PyObject *func) noexcept { return as_function(func)->head.func.m_ml->ml_name; }

bool self_from_args(const FunctionObject *f) noexcept {
    return (f->flags & kFlagSelfFromArgs) && !(f->flags & kFlagClassMethod);
}

// The self rule shared by the fast-call entries: shifts the vector when the
// first argument serves as self. 0, or -1 with TypeError.
int take_self(PyObject *func, PyObject *const *&args, Py_ssize_t &nargs, PyObject *&self) noexcept {
    FunctionObject *f = as_function(func);
    if (!self_from_args(f)) {
        self = f->head.func.m_self;
        return 0;
    }
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", def_name(func));
        return -1;
    }
    self = args[0];
    ++args;
    --nargs;
    return 0;
}

int reject_keywords(PyObject *func, PyObject *kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def_name(func));
        return -1;
    }
    return 0;
}

PyObject *fn_vectorcall_noargs(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (take_self(func, args, nargs, self) < 0 || reject_keywords(func, kwnames) < 0) return nullptr;
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def_name(func), nargs);
        return nullptr;
    }
    return as_function(func)->head.func.m_ml->ml_meth(self, nullptr);
}

PyObject *fn_vectorcall_o(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (take_self(func, args, nargs, self) < 0 || reject_keywords(func, kwnames) < 0) return nullptr;
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", def_name(func), nargs);
        return nullptr;
    }
    return as_function(func)->head.func.m_ml->ml_meth(self, args[0]);
}

PyObject *fn_vectorcall_fastcall_keywords(PyObject *func, PyObject *const *args, size_t nargsf,
                                          PyObject *kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (take_self(func, args, nargs, self) < 0) return nullptr;
    auto entry = reinterpret_cast<cpython::FastCallWithKeywords>(
        reinterpret_cast<void (*)(void)>(as_function(func)->head.func.m_ml->ml_meth));
    return entry(self, args, nargs, kwnames);
}

PyObject *fn_vectorcall_method(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (take_self(func, args, nargs, self) < 0) return nullptr;
    auto entry = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)(void)>(as_function(func)->head.func.m_ml->ml_meth));
    return entry(self, as_function(func)->head.mm_class, args, static_cast<size_t>(nargs), kwnames);
}

// Calls the fast-call entry with a keyword dict turned into a names tuple.
PyObject *call_with_kwargs_dict(PyObject *func, vectorcallfunc entry, PyObject *args, PyObject *kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    auto **vector = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(nargs + nkw) * sizeof(PyObject *)));
    if (!vector) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) vector[i] = PyTuple_GET_ITEM(args, i);
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) {
        PyMem_Free(vector);
        return nullptr;
    }
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    bool all_str = true;
    while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(key));
        vector[nargs + i] = Py_NewRef(value);
        all_str = all_str && PyUnicode_Check(key);
        ++i;
    }
    PyObject *result = nullptr;
    if (!all_str)
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    else
        result = entry(func, vector, static_cast<size_t>(nargs), names.get());
    for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(vector[nargs + j]);
    PyMem_Free(vector);
    return result;
}

PyObject *classic_call(PyObject *func, PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    PyMethodDef *def = as_function(func)->head.func.m_ml;
    bool has_kwargs = kwargs && PyDict_GET_SIZE(kwargs) != 0;
    switch (def->ml_flags & 0xf) {
    case METH_VARARGS:
        if (has_kwargs) break;
        return def->ml_meth(self, args);
    case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(def->ml_meth))(self, args,
                                                                                                     kwargs);
    case METH_NOARGS:
        if (has_kwargs) break;
        if (PyTuple_GET_SIZE(args) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def->ml_name,
                         PyTuple_GET_SIZE(args));
            return nullptr;
        }
        return def->ml_meth(self, nullptr);
    case METH_O:
        if (has_kwargs) break;
        if (PyTuple_GET_SIZE(args) != 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", def->ml_name,
                         PyTuple_GET_SIZE(args));
            return nullptr;
        }
        return def->ml_meth(self, PyTuple_GET_ITEM(args, 0));
    default:
        PyErr_SetString(PyExc_SystemError, kBadCallFlags);
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def->ml_name);
    return nullptr;
}

PyObject *fn_call(PyObject *func, PyObject *args, PyObject *kwargs) noexcept {
    FunctionObject *f = as_function(func);
    if (vectorcallfunc entry = f->head.func.vectorcall) {
        if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
            return entry(func, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)), nullptr);
        return call_with_kwargs_dict(func, entry, args, kwargs);
    }
    if (self_from_args(f)) {
        if (PyTuple_GET_SIZE(args) == 0) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->qualname);
            return nullptr;
        }
        Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
        if (!rest) return nullptr;
        return classic_call(func, PyTuple_GET_ITEM(args, 0), rest.get(), kwargs);
    }
    return classic_call(func, f->head.func.m_self, args, kwargs);
}

PyObject *fn_descr_get(PyObject *func, PyObject *instance, PyObject *) noexcept {
    if (!instance) return Py_NewRef(func);
    return PyMethod_New(func, instance);
}

PyObject *fn_repr(PyObject *func) noexcept {
    return PyUnicode_FromFormat("<compiled function %U at %p>", as_function(func)->qualname, func);
}

// Visits what fn_clear releases, in the same order.
int fn_traverse(PyObject *func, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_function(func);
    Py_VISIT(f->closure);
    Py_VISIT(f->head.func.m_module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(reinterpret_cast<PyObject *>(f->head.mm_class));
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    if (f->defaults_block) {
        auto **objects = static_cast<PyObject **>(f->defaults_block);
        for (int i = 0; i < f->defaults_count; ++i) Py_VISIT(objects[i]);
    }
    return 0;
}

int fn_clear(PyObject *func) noexcept {
    FunctionObject *f = as_function(func);
    clear_owned(f->closure);
    clear_owned(f->head.func.m_module);
    clear_owned(f->dict);
    clear_owned(f->name);
    clear_owned(f->qualname);
    clear_owned(f->doc);
    clear_owned(f->globals);
    clear_owned(f->code);
    PyObject *cls = reinterpret_cast<PyObject *>(f->head.mm_class);
    f->head.mm_class = nullptr;
    Py_XDECREF(cls);
    clear_owned(f->defaults);
    clear_owned(f->kwdefaults);
    clear_owned(f->annotations);
    clear_owned(f->is_coroutine);
    if (void *block = f->defaults_block) {
        auto **objects = static_cast<PyObject **>(block);
        for (int i = 0; i < f->defaults_count; ++i) Py_XDECREF(objects[i]);
        PyObject_Free(block);
        f->defaults_block = nullptr;
    }
    return 0;
}

void fn_dealloc(PyObject *func) noexcept {
    PyObject_GC_UnTrack(func);
    if (as_function(func)->head.func.m_weakreflist) PyObject_ClearWeakRefs(func);
    fn_clear(func);
    PyObject_GC_Del(func);
}

}  // namespace

void init_function_type() noexcept {
    PyTypeObject &t = own_function_type;
    if (t.tp_name) return;
    t.tp_name = kFunctionTypeName;
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_itemsize = 0;
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, head.func.vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = fn_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, head.func.m_weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
}

PyObject *function_new(PyMethodDef *def, int flags, PyObject *qualname, PyObject *closure, PyObject *module,
                       PyObject *globals, PyObject *code) noexcept {
    auto *type = reinterpret_cast<PyTypeObject *>(state().function_type);
    FunctionObject *f = cpython::gc_new<FunctionObject>(type);
    if (!f) return nullptr;
    // Every field is set before anything can fail, so dealloc is always safe.
    f->flags = flags;
    f->head.func.m_weakreflist = nullptr;
    f->closure = Py_XNewRef(closure);
    f->dict = nullptr;
    f->name = nullptr;
    f->doc = nullptr;
    f->head.mm_class = nullptr;
    f->defaults_block = nullptr;
    f->defaults_count = 0;
    f->defaults_size = 0;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->defaults_getter = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->head.func.m_ml = def;
    f->head.func.m_self = reinterpret_cast<PyObject *>(f);  // not counted
    f->head.func.m_module = Py_XNewRef(module);
    f->qualname = Py_NewRef(qualname);
    f->globals = Py_XNewRef(globals);
    f->code = Py_XNewRef(code);

    vectorcallfunc entry = nullptr;
    switch (def->ml_flags & kCallFlagsMask) {
    case METH_VARARGS | METH_KEYWORDS: break;
    case METH_NOARGS: entry = fn_vectorcall_noargs; break;
    case METH_O: entry = fn_vectorcall_o; break;
    case METH_FASTCALL | METH_KEYWORDS: entry = fn_vectorcall_fastcall_keywords; break;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS: entry = fn_vectorcall_method; break;
    default:
        f->head.func.vectorcall = nullptr;
        PyErr_SetString(PyExc_SystemError, kBadCallFlags);
        Py_DECREF(f);
        return nullptr;
    }
    f->head.func.vectorcall = entry;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
}

void function_set_defaults(PyObject *function, PyObject *defaults) noexcept {
    replace_owned(as_function(function)->defaults, defaults);
}

}  // namespace rt
