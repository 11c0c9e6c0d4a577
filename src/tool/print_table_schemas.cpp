// MySQLDatabaseTablora.print_table_schemas: a header line per table and a
// line per column, printed with the builtin print cached at import.
#include "module/state.h"
#include "runtime/binding.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/except_clause.h"
#include "tool/iteration.h"
#include "tool/methods.h"
#include "tool/values.h"

namespace {

using rt::Ref;

constexpr char kQualname[] = "quendsdk.tablora.MySQLDatabaseTablora.print_table_schemas";
constexpr rt::MethodSignature kSignature{"print_table_schemas", 1, 1};

rt::Failure fail(rt::NativePos where, int py_line) noexcept {
    rt::add_traceback_entry(kQualname, where, py_line, rt::kTracebackFile);
    return {};
}

// column[key]: a plain lookup for an exact dict, else its own subscript.
PyObject *subscript(PyObject *column, PyObject *key) noexcept {
    if (!PyDict_CheckExact(column)) return PyObject_GetItem(column, key);
    PyObject *value = PyDict_GetItemWithError(column, key);
    if (value) return Py_NewRef(value);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// "  " + f"{column['name']}" + ": " + f"{column['type']}", joined once.
PyObject *column_line(PyObject *column) noexcept {
    const State &st = state();
    Ref pieces = Ref::steal(PyTuple_New(4));
    if (!pieces) return nullptr;
    PyObject *t = pieces.get();
    PyTuple_SET_ITEM(t, 0, Py_NewRef(st.txt_two_spaces));
    PyTuple_SET_ITEM(t, 2, Py_NewRef(st.txt_colon_space));
    Py_UCS4 max_char = 0;
    Py_ssize_t length = 4;
    PyObject *const keys[] = {st.str_name, st.str_type};
    for (int i = 0; i < 2; ++i) {
        Ref value = Ref::steal(subscript(column, keys[i]));
        if (!value) return nullptr;
        Ref text = Ref::steal(format_simple(value.get()));
        if (!text) return nullptr;
        Py_UCS4 widest = unicode_max_char(text.get());
        if (widest > max_char) max_char = widest;
        length += PyUnicode_GET_LENGTH(text.get());
        PyTuple_SET_ITEM(t, 1 + 2 * i, text.release());
    }
    return join_pieces(t, 4, length, max_char);
}

int print_line(PyObject *line) noexcept {
    Ref ignored = Ref::steal(rt::call1(builtins().print, line));
    return ignored ? 0 : -1;
}

// The body of the `try` (lines 74 to 78).
int print_schemas_try(PyObject *self) noexcept {
    const State &st = state();
    Ref inspect = Ref::steal(rt::get_module_global(st.str_inspect));
    if (!inspect) return fail(RT_HERE, 74);
    Ref engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 74);
    Ref inspector = Ref::steal(rt::call1(inspect.get(), engine.get()));
    if (!inspector) return fail(RT_HERE, 74);
    engine.reset();

    Ref get_table_names = Ref::steal(rt::get_attr(inspector.get(), st.str_get_table_names));
    if (!get_table_names) return fail(RT_HERE, 75);
    Ref table_names = Ref::steal(rt::call0(get_table_names.get()));
    if (!table_names) return fail(RT_HERE, 75);
    ItemWalk tables;
    if (tables.start(table_names.get()) < 0) return fail(RT_HERE, 75);
    for (;;) {
        Ref table_name;
        int more = tables.next(table_name);
        if (more < 0) return fail(RT_HERE, 75);
        if (!more) break;

        Ref text = Ref::steal(format_simple(table_name.get()));
        if (!text) return fail(RT_HERE, 76);
        Ref header = Ref::steal(concat_text(st.txt_table_prefix, text.get()));
        if (!header || print_line(header.get()) < 0) return fail(RT_HERE, 76);

        Ref get_columns = Ref::steal(rt::get_attr(inspector.get(), st.str_get_columns));
        if (!get_columns) return fail(RT_HERE, 77);
        Ref columns = Ref::steal(rt::call1(get_columns.get(), table_name.get()));
        if (!columns) return fail(RT_HERE, 77);
        ItemWalk walk;
        if (walk.start(columns.get()) < 0) return fail(RT_HERE, 77);
        for (;;) {
            Ref column;
            int has_column = walk.next(column);
            if (has_column < 0) return fail(RT_HERE, 77);
            if (!has_column) break;
            Ref line = Ref::steal(column_line(column.get()));
            if (!line || print_line(line.get()) < 0) return fail(RT_HERE, 78);
        }
    }
    return 0;
}

PyObject *print_table_schemas_body(PyObject *self) noexcept {
    const State &st = state();
    PyThreadState *ts = PyThreadState_Get();

    // if not self.engine: raise ConnectionError("Database connection not established.")
    Ref engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 70);
    int connected = object_is_true(engine.get());
    if (connected < 0) return fail(RT_HERE, 70);
    engine.reset();
    if (!connected) {
        Ref error_type = Ref::steal(rt::get_module_global(st.str_ConnectionError));
        Ref error = error_type ? Ref::steal(rt::call_object(error_type.get(), st.args_no_connection, nullptr)) : Ref();
        if (error) rt::raise_exception(error.get());
        return fail(RT_HERE, 71);
    }

    rt::SavedException saved = rt::save_handled_exception(ts);
    if (print_schemas_try(self) == 0) {
        rt::discard_saved_exception(saved);
        Py_RETURN_NONE;
    }
    // except Exception as e: log, then raise the same exception again
    if (!rt::current_exception_matches(ts, PyExc_Exception)) return leave_try_unmatched(ts, saved);
    run_logging_clause(ts, saved, LoggingClause{kQualname, 79, st.txt_error_fetching_schemas, true});
    return nullptr;
}

}  // namespace

PyObject *print_table_schemas_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *const names[] = {state().str_self, nullptr};
    PyObject *values[1] = {nullptr};
    if (rt::bind_arguments(kSignature, names, values, args, nargs, kwnames) < 0) return fail(RT_HERE, 69);
    return print_table_schemas_body(values[0]);
}
