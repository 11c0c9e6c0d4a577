// Name lookup and import routines used by the module body and the methods.
#include "runtime/lookup.h"

#include "module/state.h"
#include "runtime/cpython_internal.h"
#include "runtime/ref.h"

namespace rt {

PyObject *get_attr_no_error(PyObject *obj, PyObject *name) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) return cpython::generic_getattr_suppressed(obj, name);
    PyObject *value = get_attr(obj, name);
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return nullptr;
}

PyObject *get_builtin(PyObject *name) noexcept {
    PyObject *value = get_attr_no_error(state().builtins_module, name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

PyObject *get_module_global(PyObject *name) noexcept {
    PyObject *value = cpython::dict_get_known_hash(state().module_globals, name, cpython::stored_hash(name));
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    return get_builtin(name);
}

PyObject *import_module(PyObject *name, PyObject *from_list) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, state().module_globals, locals.get(), from_list, 0);
}

PyObject *import_dotted_module(PyObject *name) noexcept {
    const State &st = state();
    Ref module = Ref::steal(PyImport_GetModule(name));
    // None in sys.modules blocks the import: the import system says so.
    if (module.get() == Py_None) module.reset();
    if (module) {
        Ref module_spec = Ref::steal(get_attr_no_error(module.get(), st.str___spec__));
        if (!module_spec) {
            PyErr_Clear();
            return module.release();
        }
        Ref initializing = Ref::steal(get_attr_no_error(module_spec.get(), st.str__initializing));
        int busy = 0;
        if (initializing) {
            PyObject *flag = initializing.get();
            // A truth test that raises counts as "not initialising": the
            // registered module is the best answer we have.
            busy = flag == Py_True ? 1 : (flag == Py_False || flag == Py_None) ? 0 : PyObject_IsTrue(flag);
            if (busy < 0) busy = 0;
        }
        if (!busy) {
            PyErr_Clear();
            return module.release();
        }
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
    return import_module(name, nullptr);
}

PyObject *import_from(PyObject *module, PyObject *name) noexcept {
    PyObject *value = get_attr(module, name);
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        const char *module_name = PyModule_GetName(module);
        if (module_name) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%s%U%U", module_name, state().txt_dot, name));
            if (full) {
                PyObject *sub = PyImport_GetModule(full.get());
                if (sub) return sub;
            }
        }
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

}  // namespace rt
