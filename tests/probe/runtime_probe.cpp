// A test-only extension built from the module's runtime sources, so that the
// tests reach routines the shipped module calls only on rare paths.
#include <Python.h>

#include <cstring>
#include <set>
#include <string>

#include "module/state.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace {

using rt::Ref;

// Entry names must outlive the code-object cache, which keeps the pointers.
const char *kept_name(const char *text) {
    static std::set<std::string> names;
    return names.insert(text).first->c_str();
}

// add_entry(exc, function, line, native_line=0): exc with one more entry.
PyObject *probe_add_entry(PyObject *, PyObject *args) {
    PyObject *exc;
    const char *function;
    int line, native = 0;
    if (!PyArg_ParseTuple(args, "Osi|i", &exc, &function, &line, &native)) return nullptr;
    PyErr_SetRaisedException(Py_NewRef(exc));
    rt::add_traceback_entry(kept_name(function), rt::NativePos{"probe.cpp", native}, line, rt::kTracebackFile);
    return PyErr_GetRaisedException();
}

PyObject *probe_cache_size(PyObject *, PyObject *) {
    return Py_BuildValue("nn", rt::cached_code_count(), rt::cached_code_capacity());
}

PyObject *probe_exception_matches(PyObject *, PyObject *args) {
    PyObject *type, *target;
    if (!PyArg_ParseTuple(args, "OO", &type, &target)) return nullptr;
    return PyBool_FromLong(rt::exception_matches(type, target));
}

// current_exception_matches(exc, target): with exc raised; it stays raised.
PyObject *probe_current_matches(PyObject *, PyObject *args) {
    PyObject *exc, *target;
    if (!PyArg_ParseTuple(args, "OO", &exc, &target)) return nullptr;
    PyErr_SetRaisedException(Py_NewRef(exc));
    int matched = rt::current_exception_matches(PyThreadState_Get(), target);
    Ref still = Ref::steal(PyErr_GetRaisedException());
    return Py_BuildValue("OO", matched ? Py_True : Py_False, still.get() == exc ? Py_True : Py_False);
}

PyObject *probe_raise(PyObject *, PyObject *obj) {
    rt::raise_exception(obj);
    return nullptr;
}

PyObject *probe_call_object(PyObject *, PyObject *args) {
    PyObject *callable, *call_args, *kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "OO!|O!", &callable, &PyTuple_Type, &call_args, &PyDict_Type, &kwargs)) return nullptr;
    return rt::call_object(callable, call_args, kwargs);
}

PyObject *probe_fast_call(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1) return PyErr_Format(PyExc_TypeError, "fast_call needs a callable");
    return rt::call_unpacked(args[0], args + 1, nargs - 1);
}

// handled(exc, fn): exc taken as the handled one while fn() runs; returns
// (fn(), sys.exc_info()[1] after the handled state was put back).
PyObject *probe_handled(PyObject *, PyObject *args) {
    PyObject *exc, *fn;
    if (!PyArg_ParseTuple(args, "OO", &exc, &fn)) return nullptr;
    PyThreadState *ts = PyThreadState_Get();
    rt::SavedException saved = rt::save_handled_exception(ts);
    PyErr_SetRaisedException(Py_NewRef(exc));
    PyObject *type, *value, *tb;
    if (rt::fetch_exception(ts, &type, &value, &tb) < 0) {
        rt::restore_handled_exception(ts, saved);
        return nullptr;
    }
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    Ref inside = Ref::steal(PyObject_CallNoArgs(fn));
    rt::restore_handled_exception(ts, saved);
    if (!inside) return nullptr;
    PyObject *after = PyErr_GetHandledException();
    return Py_BuildValue("(NN)", inside.release(), after ? after : Py_NewRef(Py_None));
}

PyObject *probe_lookup_special(PyObject *, PyObject *args) {
    PyObject *obj, *name;
    if (!PyArg_ParseTuple(args, "OU", &obj, &name)) return nullptr;
    Ref interned = Ref::borrow(name);
    PyObject *raw = interned.release();
    PyUnicode_InternInPlace(&raw);
    interned = Ref::steal(raw);
    return rt::lookup_special(obj, interned.get());
}

// get_attr_no_error(obj, name): (found, value or None)
PyObject *probe_get_attr_no_error(PyObject *, PyObject *args) {
    PyObject *obj, *name;
    if (!PyArg_ParseTuple(args, "OU", &obj, &name)) return nullptr;
    Ref value = Ref::steal(rt::get_attr_no_error(obj, name));
    if (!value && PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(OO)", value ? Py_True : Py_False, value ? value.get() : Py_None);
}

PyObject *probe_import_from(PyObject *, PyObject *args) {
    PyObject *module, *name;
    if (!PyArg_ParseTuple(args, "OU", &module, &name)) return nullptr;
    return rt::import_from(module, name);
}

PyObject *probe_import_dotted_module(PyObject *, PyObject *name) { return rt::import_dotted_module(name); }

PyMethodDef probe_methods[] = {
    {"add_entry", probe_add_entry, METH_VARARGS, nullptr},
    {"cache_size", probe_cache_size, METH_NOARGS, nullptr},
    {"exception_matches", probe_exception_matches, METH_VARARGS, nullptr},
    {"current_exception_matches", probe_current_matches, METH_VARARGS, nullptr},
    {"raise_exception", probe_raise, METH_O, nullptr},
    {"call_object", probe_call_object, METH_VARARGS, nullptr},
    {"fast_call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(probe_fast_call)), METH_FASTCALL,
     nullptr},
    {"handled", probe_handled, METH_VARARGS, nullptr},
    {"lookup_special", probe_lookup_special, METH_VARARGS, nullptr},
    {"get_attr_no_error", probe_get_attr_no_error, METH_VARARGS, nullptr},
    {"import_from", probe_import_from, METH_VARARGS, nullptr},
    {"import_dotted_module", probe_import_dotted_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_tablora_runtime_probe", nullptr, -1, probe_methods,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tablora_runtime_probe(void) {
    PyObject *module = PyModule_Create(&probe_def);
    if (!module) return nullptr;
    // The runtime reads these fields of the state; the rest stays empty.
    State &st = g_state;
    st.module_globals = Py_NewRef(PyModule_GetDict(module));
    st.builtins_module = Py_NewRef(PyImport_AddModule("builtins"));
    st.runtime_module = Py_NewRef(PyImport_AddModule("compiled_runtime"));
    st.empty_tuple = PyTuple_New(0);
    st.empty_bytes = PyBytes_FromStringAndSize("", 0);
    st.empty_str = PyUnicode_FromStringAndSize("", 0);
    if (!st.empty_tuple || !st.empty_bytes || !st.empty_str || init_string_table() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
