// Name lookup and import: module globals with their builtins fallback,
// attribute reads that report absence quietly, and the import statements.
#pragma once
#include <Python.h>

namespace rt {

// The attribute, or null: with no exception set when it is missing, with the
// exception set on any other failure.
PyObject *get_attr_no_error(PyObject *obj, PyObject *name) noexcept;
// New reference from `builtins`, or NameError.
PyObject *get_builtin(PyObject *name) noexcept;
// New reference from the module globals (by the name's stored hash), else the
// builtins, else NameError. Never cached: each call looks again.
PyObject *get_module_global(PyObject *name) noexcept;
// `import name` / `from name import ...` at level 0; new reference or null.
PyObject *import_module(PyObject *name, PyObject *from_list) noexcept;
// The registered module unless it is still initialising, else imported.
PyObject *import_dotted_module(PyObject *name) noexcept;
// The value a from-import binds to `name`; ImportError "cannot import name %S".
PyObject *import_from(PyObject *module, PyObject *name) noexcept;

// Attribute read through the object's own slot, as `obj.name` does.
inline PyObject *get_attr(PyObject *obj, PyObject *name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    return getattro ? getattro(obj, name) : PyObject_GetAttr(obj, name);
}

// Attribute store through the type's slot, as `obj.name = value` does.
inline int set_attr(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    return setattro ? setattro(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

}  // namespace rt
