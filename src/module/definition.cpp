// The module definition, PyInit_tablora, the create slot with the
// one-interpreter rule, and the exec slot's guard against a second run.
#include <Python.h>

#include <cstdint>

#include "module/body.h"
#include "runtime/ref.h"

namespace {

using rt::Ref;

int64_t owning_interpreter_id = -1;  // set by the first create, never reset
PyObject *module_object = nullptr;   // owned; the one module of the process

// Copies one attribute of the import spec into the module dict; a missing one is skipped.
int copy_spec_attr(PyObject *import_spec, const char *attr, PyObject *dict, const char *key, bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(import_spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject *tablora_create(PyObject *import_spec, PyModuleDef *) noexcept {
    // Through the API, not the thread state's fields: this runs before the
    // exec slot has checked that the build matches the interpreter.
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owning_interpreter_id == -1) {
        owning_interpreter_id = current;
        if (current == -1) return nullptr;
    } else if (current != owning_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_object) return Py_NewRef(module_object);

    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    name.reset();
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!dict) return nullptr;
    if (copy_spec_attr(import_spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(import_spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(import_spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(import_spec, "submodule_search_locations", dict, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int tablora_exec(PyObject *module) noexcept {
    if (module_object == module) return 0;  // already initialised: the body never runs twice
    if (module_object) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tablora' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_object = Py_NewRef(module);
    if (run_module_body(module) < 0) {
        // The next import starts over with a new module object.
        PyObject *failed = module_object;
        module_object = nullptr;
        Py_DECREF(failed);
        return -1;
    }
    return 0;
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(tablora_create)},
    {Py_mod_exec, reinterpret_cast<void *>(tablora_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tablora",       // m_name
    nullptr,         // m_doc
    0,               // m_size: the state is process-wide
    module_methods,  // m_methods
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_tablora(void) { return PyModuleDef_Init(&module_def); }
