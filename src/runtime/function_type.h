// The compiled-function type shared under `_compiled_runtime_1_0`: its
// instance layout (an interface between modules), creation and attributes.
#pragma once
#include <Python.h>

#include <cstddef>

namespace rt {

using DefaultsGetter = PyObject *(*)(PyObject *function);  // new 2-tuple (defaults, kwdefaults)

struct FunctionObject {
    PyCMethodObject head;          // m_ml, m_self (not counted), m_module (owned), m_weakreflist,
                                   // vectorcall, mm_class (owned)
    PyObject *dict;                // owned, created on first use
    PyObject *name;                // owned, created on first use
    PyObject *qualname;            // owned, never null
    PyObject *doc;                 // owned, created on first use
    PyObject *globals;             // owned
    PyObject *code;                // owned, may be null
    PyObject *closure;             // owned, always null here
    void *defaults_block;          // PyObject_Malloc'd, owns its first defaults_count references
    int defaults_count;
    Py_ssize_t defaults_size;
    int flags;                     // kFlagSelfFromArgs, kFlagCoroutine
    PyObject *defaults;            // owned, may be null
    PyObject *kwdefaults;          // owned, may be null
    DefaultsGetter defaults_getter;
    PyObject *annotations;         // owned, created on first use
    PyObject *is_coroutine;        // owned, cached `_is_coroutine`
};

static_assert(sizeof(FunctionObject) == 192, "layout shared under _compiled_runtime_1_0");
static_assert(offsetof(FunctionObject, head.func.m_weakreflist) == 40, "tp_weaklistoffset");
static_assert(offsetof(FunctionObject, head.func.vectorcall) == 48, "tp_vectorcall_offset");
static_assert(offsetof(FunctionObject, dict) == 64, "tp_dictoffset");
static_assert(offsetof(FunctionObject, defaults_count) == 128, "shared layout");
static_assert(offsetof(FunctionObject, flags) == 144, "shared layout");
static_assert(offsetof(FunctionObject, is_coroutine) == 184, "shared layout");

inline constexpr int kFlagSelfFromArgs = 0x04;  // with 0x01 clear: self is the first argument
inline constexpr int kFlagClassMethod = 0x01;
inline constexpr int kFlagCoroutine = 0x08;

inline FunctionObject *as_function(PyObject *obj) noexcept { return reinterpret_cast<FunctionObject *>(obj); }

// This module's own type object, before sharing; full name
// "_compiled_runtime_1_0.compiled_function_or_method".
extern PyTypeObject own_function_type;
inline constexpr char kFunctionTypeName[] = "_compiled_runtime_1_0.compiled_function_or_method";

// Fills the slots of own_function_type (not yet readied); idempotent.
void init_function_type() noexcept;

// A new, GC-tracked function of the shared type; null with an exception set.
PyObject *function_new(PyMethodDef *def, int flags, PyObject *qualname, PyObject *closure,
                       PyObject *module, PyObject *globals, PyObject *code) noexcept;

// Attaches a defaults tuple (new reference held by the function).
void function_set_defaults(PyObject *function, PyObject *defaults) noexcept;

// Attribute tables, defined with the attribute accessors.
extern PyGetSetDef function_getset[];
extern PyMemberDef function_members[];
extern PyMethodDef function_methods[];

}  // namespace rt
