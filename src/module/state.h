// The process-wide module state: interned names, message texts, constants and
// the cached builtins. Written only by the exec slot; never released.
#pragma once
#include <Python.h>

struct State {
    PyObject *module_globals;   // owned; the module's dict
    PyObject *builtins_module;  // owned; the `builtins` module
    PyObject *runtime_module;   // owned; `compiled_runtime` in sys.modules
    PyObject *empty_tuple;      // owned
    PyObject *empty_bytes;      // owned
    PyObject *empty_str;        // owned
    PyObject *function_type;    // owned; the shared compiled-function type

#define X(field, text, interned) PyObject *field;
#include "module/strings.def"
#undef X

    PyObject *args_params_required;          // ("All connection parameters ...",)
    PyObject *args_exit_none;                // (None, None, None)
    PyObject *args_no_connection;            // ("Database connection not established.",)
    PyObject *varnames_init;
    PyObject *defaults_init;                 // (".", "db_cache.pkl")
    PyObject *code_init;
    PyObject *varnames_connect;
    PyObject *code_connect;
    PyObject *varnames_prepare_data;
    PyObject *code_prepare_data;
    PyObject *varnames_print_table_schemas;
    PyObject *code_print_table_schemas;
};

// Builtins fetched once at import; the methods call these, never a lookup.
struct CachedBuiltins {
    PyObject *all;         // owned
    PyObject *ValueError;  // owned
    PyObject *open;        // owned
    PyObject *print;       // owned
};

extern State g_state;
extern CachedBuiltins g_builtins;

inline const State &state() noexcept { return g_state; }
inline const CachedBuiltins &builtins() noexcept { return g_builtins; }

// Fills every string field from the string table; 0, or -1 with an exception set.
int init_string_table() noexcept;
// Builds the constant tuples and code objects; needs the strings, empty_tuple
// and empty_bytes. 0, or -1 with an exception set.
int init_constants() noexcept;
