// Call routines: the interpreter's calling semantics with a few fast paths.
#include "runtime/calls.h"

#include "module/state.h"

namespace rt {

namespace {

constexpr char kRecursionWhere[] = " while calling a Python object";

PyObject *null_without_error(PyObject *result) noexcept {
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

bool is_base_of(PyTypeObject *type, PyTypeObject *base) noexcept {
    if (type == base) return true;
    PyObject *mro = type->tp_mro;
    if (mro) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i)
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(base)) return true;
        return false;
    }
    for (PyTypeObject *t = type->tp_base; t; t = t->tp_base)
        if (t == base) return true;
    return base == &PyBaseObject_Type;
}

// Built-in and compiled functions share the record head that holds m_ml and m_self.
bool is_native_function(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    auto *shared = reinterpret_cast<PyTypeObject *>(state().function_type);
    return is_base_of(type, &PyCFunction_Type) || (shared && is_base_of(type, shared));
}

int native_flags(PyObject *func) noexcept {
    return reinterpret_cast<PyCFunctionObject *>(func)->m_ml->ml_flags;
}

}  // namespace

PyObject *call_object(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) return PyObject_Call(callable, args, kwargs);
    if (Py_EnterRecursiveCall(kRecursionWhere)) return nullptr;
    PyObject *result = call(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return null_without_error(result);
}

PyObject *call_c_function(PyObject *func, PyObject *arg) noexcept {
    auto *cf = reinterpret_cast<PyCFunctionObject *>(func);
    PyObject *self = (cf->m_ml->ml_flags & METH_STATIC) ? nullptr : cf->m_self;
    if (Py_EnterRecursiveCall(kRecursionWhere)) return nullptr;
    PyObject *result = cf->m_ml->ml_meth(self, arg);
    Py_LeaveRecursiveCall();
    return null_without_error(result);
}

PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t count) noexcept {
    Py_ssize_t n = PyVectorcall_NARGS(count);
    if (n == 0 && is_native_function(callable) && (native_flags(callable) & METH_NOARGS))
        return call_c_function(callable, nullptr);
    if (n == 1 && is_native_function(callable) && (native_flags(callable) & METH_O))
        return call_c_function(callable, args[0]);
    if (vectorcallfunc vc = PyVectorcall_Function(callable))
        return vc(callable, args, static_cast<size_t>(n), nullptr);
    if (n == 0) return call_object(callable, state().empty_tuple, nullptr);
    return PyObject_VectorcallDict(callable, args, static_cast<size_t>(n), nullptr);
}

PyObject *call_unpacked(PyObject *callable, PyObject *const *args, Py_ssize_t count) noexcept {
    if (Py_IS_TYPE(callable, &PyMethod_Type) && PyMethod_GET_SELF(callable)) {
        // The method object stays alive in the caller's hands for the call.
        PyObject *vector[4];
        if (count < 4) {
            vector[0] = PyMethod_GET_SELF(callable);
            for (Py_ssize_t i = 0; i < count; ++i) vector[i + 1] = args[i];
            return fast_call(PyMethod_GET_FUNCTION(callable), vector, static_cast<size_t>(count + 1));
        }
    }
    return fast_call(callable, args, static_cast<size_t>(count));
}

}  // namespace rt
