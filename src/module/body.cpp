// The exec slot after its guard: the preamble that fills the module state,
// then the module's Python-level statements (imports, logging, the class).
#include "module/body.h"

#include <initializer_list>

#include "module/state.h"
#include "runtime/calls.h"
#include "runtime/function_type.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace {

using rt::Ref;

int fail(rt::NativePos where, int py_line) noexcept { return body_failure(where, py_line); }

int store(PyObject *&field, PyObject *value) noexcept {
    rt::replace_owned(field, value);
    return value ? 0 : -1;
}

// A build runs only on the interpreter version it was compiled for: the
// thread state it reads directly has another layout on any other. Checked
// before anything is stored or registered, so that a refused import leaves
// nothing behind.
int check_version() noexcept {
    const unsigned long version = Py_Version;
    const int major = static_cast<int>(version >> 24), minor = static_cast<int>((version >> 16) & 0xff);
    // Compared with the headers this file was built against.
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "quendsdk.tablora", "does not match", major, minor);
    PyErr_SetString(PyExc_ImportError, message);
    return -1;
}

// The compiled-function type registered under _compiled_runtime_1_0, or ours
// registered there now; new reference or null.
PyObject *shared_function_type() noexcept {
    PyObject *shared_module = PyImport_AddModule("_compiled_runtime_1_0");  // borrowed
    if (!shared_module) return nullptr;
    Ref hold = Ref::borrow(shared_module);
    const char *attr = rt::kFunctionTypeName;
    for (const char *p = rt::kFunctionTypeName; *p; ++p)
        if (*p == '.') attr = p + 1;
    Ref found = Ref::steal(PyObject_GetAttrString(shared_module, attr));
    if (found) {
        if (!PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_TYPE_SUBCLASS)) {
            PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s is not a type object", attr);
            return nullptr;
        }
        if (reinterpret_cast<PyTypeObject *>(found.get())->tp_basicsize != rt::own_function_type.tp_basicsize) {
            PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong size, try recompiling", attr);
            return nullptr;
        }
        return found.release();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    if (PyType_Ready(&rt::own_function_type) < 0) return nullptr;
    auto *own = reinterpret_cast<PyObject *>(&rt::own_function_type);
    if (PyObject_SetAttrString(shared_module, attr, own) < 0) return nullptr;
    return Py_NewRef(own);
}

int preamble(PyObject *module) noexcept {
    if (check_version() < 0) return -1;
    State &st = g_state;
    if (store(st.module_globals, PyModule_GetDict(module)) < 0) return -1;
    if (store(st.builtins_module, PyImport_AddModule("builtins")) < 0) return -1;
    if (store(st.runtime_module, PyImport_AddModule("compiled_runtime")) < 0) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", st.builtins_module) < 0) return -1;
    if (store(st.empty_tuple, Ref::steal(PyTuple_New(0)).get()) < 0) return -1;
    if (store(st.empty_bytes, Ref::steal(PyBytes_FromStringAndSize("", 0)).get()) < 0) return -1;
    if (store(st.empty_str, Ref::steal(PyUnicode_FromStringAndSize("", 0)).get()) < 0) return -1;
    rt::init_function_type();
    if (store(st.function_type, Ref::steal(shared_function_type()).get()) < 0) return -1;
    if (init_string_table() < 0) return -1;

    // From here on a failure reports line 1 of the module source.
    PyObject *modules = PyImport_GetModuleDict();
    if (!PyDict_GetItemString(modules, "quendsdk.tablora") &&
        PyDict_SetItemString(modules, "quendsdk.tablora", module) < 0)
        return fail(RT_HERE, 1);
    CachedBuiltins &cb = g_builtins;
    if (store(cb.all, Ref::steal(rt::get_builtin(st.str_all)).get()) < 0) return fail(RT_HERE, 1);
    if (store(cb.ValueError, Ref::steal(rt::get_builtin(st.str_ValueError)).get()) < 0) return fail(RT_HERE, 1);
    if (store(cb.open, Ref::steal(rt::get_builtin(st.str_open)).get()) < 0) return fail(RT_HERE, 1);
    if (store(cb.print, Ref::steal(rt::get_builtin(st.str_print)).get()) < 0) return fail(RT_HERE, 1);
    if (init_constants() < 0) return fail(RT_HERE, 1);
    return 0;
}

int bind(PyObject *name, PyObject *value) noexcept { return PyDict_SetItem(state().module_globals, name, value); }

// import <module> [as <bind_as>]
int plain_import(PyObject *module_name, PyObject *bind_as, int line) noexcept {
    Ref module = Ref::steal(rt::import_dotted_module(module_name));
    if (!module || bind(bind_as, module.get()) < 0) return fail(RT_HERE, line);
    return 0;
}

// from <module> import <names...>
int from_import(PyObject *module_name, std::initializer_list<PyObject *> names, int line) noexcept {
    Ref from_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!from_list) return fail(RT_HERE, line);
    Py_ssize_t i = 0;
    for (PyObject *name : names) PyList_SET_ITEM(from_list.get(), i++, Py_NewRef(name));
    Ref module = Ref::steal(rt::import_module(module_name, from_list.get()));
    if (!module) return fail(RT_HERE, line);
    from_list.reset();
    for (PyObject *name : names) {
        Ref value = Ref::steal(rt::import_from(module.get(), name));
        if (!value || bind(name, value.get()) < 0) return fail(RT_HERE, line);
    }
    return 0;
}

// logging.basicConfig(level=logging.INFO, format="%(asctime)s - %(levelname)s - %(message)s")
int configure_logging() noexcept {
    const State &st = state();
    Ref logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return fail(RT_HERE, 14);
    Ref basic_config = Ref::steal(rt::get_attr(logging.get(), st.str_basicConfig));
    if (!basic_config) return fail(RT_HERE, 14);
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return fail(RT_HERE, 14);
    logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return fail(RT_HERE, 14);
    Ref level = Ref::steal(rt::get_attr(logging.get(), st.str_INFO));
    if (!level) return fail(RT_HERE, 14);
    if (PyDict_SetItem(kwargs.get(), st.str_level, level.get()) < 0) return fail(RT_HERE, 14);
    if (PyDict_SetItem(kwargs.get(), st.str_format, st.txt_log_format) < 0) return fail(RT_HERE, 14);
    Ref ignored = Ref::steal(rt::call_object(basic_config.get(), st.empty_tuple, kwargs.get()));
    if (!ignored) return fail(RT_HERE, 14);
    return 0;
}

}  // namespace

int body_failure(rt::NativePos where, int py_line) noexcept {
    rt::add_traceback_entry("init quendsdk.tablora", where, py_line, rt::kTracebackFile);
    return -1;
}

int run_module_body(PyObject *module) noexcept {
    if (preamble(module) < 0) return -1;
    const State &st = state();
    if (plain_import(st.str_sqlalchemy, st.str_sqlalchemy, 1) < 0) return -1;
    if (from_import(st.str_sqlalchemy, {st.str_inspect}, 2) < 0) return -1;
    if (plain_import(st.str_pandas, st.str_pd, 3) < 0) return -1;
    if (plain_import(st.str_os, st.str_os, 4) < 0) return -1;
    if (plain_import(st.str_pickle, st.str_pickle, 5) < 0) return -1;
    if (plain_import(st.str_logging, st.str_logging, 6) < 0) return -1;
    if (from_import(st.str_datetime, {st.str_datetime, st.str_timedelta}, 7) < 0) return -1;
    if (from_import(st.str_sqlalchemy, {st.str_create_engine, st.str_inspect}, 8) < 0) return -1;
    if (from_import(st.str_sqlalchemy_exc, {st.str_SQLAlchemyError}, 9) < 0) return -1;
    if (configure_logging() < 0) return -1;
    return create_class();
}
