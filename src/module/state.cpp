// The module state record, its string table and the constants built from it.
#include "module/state.h"

#include "runtime/cpython_internal.h"

State g_state{};
CachedBuiltins g_builtins{};

namespace {

struct StringRow {
    PyObject **target;
    const char *text;
    Py_ssize_t size;  // with the terminator
    bool interned;
};

const StringRow string_table[] = {
#define X(field, text, interned) {&g_state.field, text, sizeof(text), interned},
#include "module/strings.def"
#undef X
    {nullptr, nullptr, 0, false},
};

// Stores a new object in a state field; a re-run exec replaces what a failed
// attempt left.
int store(PyObject *&field, PyObject *value) noexcept {
    PyObject *old = field;
    field = value;
    Py_XDECREF(old);
    return value ? 0 : -1;
}

// A code object that describes a method's signature and origin; no bytecode.
PyObject *make_code(int argcount, PyObject *varnames, PyObject *name, int firstlineno) noexcept {
    const State &st = g_state;
    return reinterpret_cast<PyObject *>(rt::cpython::new_code(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0,
        CO_OPTIMIZED | CO_NEWLOCALS, st.empty_bytes, st.empty_tuple, st.empty_tuple,
        varnames, st.empty_tuple, st.empty_tuple, st.txt_code_filename, name, name,
        firstlineno, st.empty_bytes, st.empty_bytes));
}

}  // namespace

int init_string_table() noexcept {
    for (const StringRow *row = string_table; row->target; ++row) {
        PyObject *s = row->interned ? PyUnicode_InternFromString(row->text)
                                    : PyUnicode_FromStringAndSize(row->text, row->size - 1);
        if (store(*row->target, s) < 0) return -1;
        // Lookups pass the stored hash straight to the dict.
        if (PyObject_Hash(s) == -1) return -1;
    }
    return 0;
}

int init_constants() noexcept {
    State &st = g_state;
    if (store(st.args_params_required, PyTuple_Pack(1, st.txt_params_required)) < 0) return -1;
    if (store(st.args_exit_none, PyTuple_Pack(3, Py_None, Py_None, Py_None)) < 0) return -1;
    if (store(st.args_no_connection, PyTuple_Pack(1, st.txt_no_connection)) < 0) return -1;

    if (store(st.varnames_init,
              PyTuple_Pack(7, st.str_self, st.str_username, st.str_password, st.str_host,
                           st.str_database, st.str_cache_path, st.str_cache_file)) < 0)
        return -1;
    if (store(st.code_init, make_code(7, st.varnames_init, st.str___init__, 17)) < 0) return -1;
    if (store(st.defaults_init, PyTuple_Pack(2, st.txt_dot, st.txt_db_cache_pkl)) < 0) return -1;

    if (store(st.varnames_connect, PyTuple_Pack(3, st.str_self, st.str_conn, st.str_e)) < 0) return -1;
    if (store(st.code_connect, make_code(1, st.varnames_connect, st.str_connect, 27)) < 0) return -1;

    if (store(st.varnames_prepare_data,
              PyTuple_Pack(9, st.str_self, st.str_cache_full_path, st.str_file, st.str_e,
                           st.str_dataframes, st.str_connection, st.str_inspector,
                           st.str_table_name, st.str_df)) < 0)
        return -1;
    if (store(st.code_prepare_data, make_code(1, st.varnames_prepare_data, st.str_prepare_data, 39)) < 0)
        return -1;

    if (store(st.varnames_print_table_schemas,
              PyTuple_Pack(5, st.str_self, st.str_inspector, st.str_table_name, st.str_column,
                           st.str_e)) < 0)
        return -1;
    if (store(st.code_print_table_schemas,
              make_code(1, st.varnames_print_table_schemas, st.str_print_table_schemas, 69)) < 0)
        return -1;
    return 0;
}
