// MySQLDatabaseTablora.prepare_data: every table as a DataFrame, served from a
// pickle cache when it exists and loads, else read through one connection and
// written to the cache.
#include "module/state.h"
#include "runtime/binding.h"
#include "runtime/calls.h"
#include "runtime/cpython_internal.h"
#include "runtime/exceptions.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/except_clause.h"
#include "tool/iteration.h"
#include "tool/methods.h"
#include "tool/values.h"
#include "tool/with_statement.h"

namespace {

using rt::Ref;

constexpr char kQualname[] = "quendsdk.tablora.MySQLDatabaseTablora.prepare_data";
constexpr rt::MethodSignature kSignature{"prepare_data", 1, 1};

rt::Failure fail(rt::NativePos where, int py_line) noexcept {
    rt::add_traceback_entry(kQualname, where, py_line, rt::kTracebackFile);
    return {};
}

// os.path.<attr>, resolving `os` now.
PyObject *os_path_function(PyObject *attr) noexcept {
    const State &st = state();
    Ref os = Ref::steal(rt::get_module_global(st.str_os));
    if (!os) return nullptr;
    Ref path = Ref::steal(rt::get_attr(os.get(), st.str_path));
    if (!path) return nullptr;
    return rt::get_attr(path.get(), attr);
}

// The table name as a plain instance attribute of a pandas frame, whose own
// __setattr__ would write a column called "name" instead; 0, or -1. The
// generic store goes straight to the instance dict; a frame without one, or
// one the generic store refuses, gets the ordinary assignment.
int set_frame_name(PyObject *df, PyObject *table_name) noexcept {
    const State &st = state();
    if (rt::cpython::instance_dict_ptr(df)) {
        if (PyObject_GenericSetAttr(df, st.str_name, table_name) == 0) return 0;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    }
    return rt::set_attr(df, st.str_name, table_name);
}

// Whether `df` is a pd.DataFrame (a subclass included); 0 when `pd` has no
// DataFrame, -1 on failure.
int is_data_frame(PyObject *pd, PyObject *df) noexcept {
    Ref frame_type = Ref::steal(rt::get_attr_no_error(pd, state().str_DataFrame));
    if (!frame_type) return PyErr_Occurred() ? -1 : 0;
    return PyObject_IsInstance(df, frame_type.get());
}

// df.name = table_name, and df.attrs["name"], which pickling keeps. Anything
// but a pandas frame gets the ordinary assignment, its own __setattr__ and
// all. An object without a dict of attrs keeps only the attribute.
int name_frame(PyObject *pd, PyObject *df, PyObject *table_name) noexcept {
    const State &st = state();
    int is_frame = is_data_frame(pd, df);
    if (is_frame < 0) return -1;
    if ((is_frame ? set_frame_name(df, table_name) : rt::set_attr(df, st.str_name, table_name)) < 0) return -1;
    Ref attrs = Ref::steal(rt::get_attr_no_error(df, st.str_attrs));
    if (!attrs) return PyErr_Occurred() ? -1 : 0;
    return PyDict_Check(attrs.get()) ? PyDict_SetItem(attrs.get(), st.str_name, table_name) : 0;
}

// A frame loaded from the cache gets back the `name` that pickling dropped; 0, or -1.
int restore_frame_name(PyObject *df, PyObject *frame_type) noexcept {
    const State &st = state();
    int is_frame = PyObject_IsInstance(df, frame_type);
    if (is_frame != 1) return is_frame;
    PyObject **dict_ptr = rt::cpython::instance_dict_ptr(df);
    if (dict_ptr && *dict_ptr) {
        Ref dict = Ref::borrow(*dict_ptr);  // a key's __eq__ may replace it
        if (PyDict_GetItemWithError(dict.get(), st.str_name)) return 0;
        if (PyErr_Occurred()) return -1;
    }
    Ref attrs = Ref::steal(rt::get_attr_no_error(df, st.str_attrs));
    if (!attrs || !PyDict_Check(attrs.get())) return PyErr_Occurred() ? -1 : 0;
    Ref name = Ref::borrow(PyDict_GetItemWithError(attrs.get(), st.str_name));
    if (!name) return PyErr_Occurred() ? -1 : 0;
    return set_frame_name(df, name.get());
}

// Whether a failure while restoring names may be passed over. Restoring is
// best effort, but an interrupt or exit (anything that is not an Exception)
// must not be lost, and neither a MemoryError: it fails the load like one
// raised by pickle.load itself.
bool restore_failure_is_skippable() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// A cache that loaded is served even when names cannot be restored; -1 only
// for a failure that must not be passed over.
int restore_frame_names(PyObject *loaded) noexcept {
    const State &st = state();
    if (!PyList_CheckExact(loaded) || PyList_GET_SIZE(loaded) == 0) return 0;
    Ref pd = Ref::steal(rt::get_module_global(st.str_pd));
    Ref frame_type = pd ? Ref::steal(rt::get_attr(pd.get(), st.str_DataFrame)) : Ref();
    for (Py_ssize_t i = 0; frame_type && i < PyList_GET_SIZE(loaded); ++i) {
        if (restore_frame_name(Ref::borrow(PyList_GET_ITEM(loaded, i)).get(), frame_type.get()) == 0) continue;
        if (!restore_failure_is_skippable()) return -1;
        PyErr_Clear();
    }
    if (!PyErr_Occurred()) return 0;
    if (!restore_failure_is_skippable()) return -1;
    PyErr_Clear();
    return 0;
}

// Runs one `with` block at `with_line` whose body is `body`; 0, or -1.
template <typename Body>
int with_block(PyThreadState *ts, PyObject *manager_value, int with_line, Body body) noexcept {
    Ref manager = Ref::steal(manager_value);
    if (!manager) return fail(RT_HERE, with_line);
    Ref exit;
    Ref target = Ref::steal(with_enter(manager.get(), exit));
    if (!target) return fail(RT_HERE, with_line);
    manager.reset();
    rt::SavedException saved = rt::save_handled_exception(ts);
    if (body(target.get()) < 0) {  // the body added its own entry
        int outcome = with_exit_on_error(ts, exit, saved);
        return outcome == 1 ? 0 : fail(RT_HERE, with_line);
    }
    rt::discard_saved_exception(saved);
    return with_exit_normally(exit) < 0 ? fail(RT_HERE, with_line) : 0;
}

// with open(cache_full_path, "rb") as file: return pickle.load(file)
// 1 with `result` set, 0 when the block's failure was suppressed, -1 on failure.
int load_cache_block(PyThreadState *ts, PyObject *cache_full_path, Ref &result) noexcept {
    const State &st = state();
    Ref loaded;
    auto load = [&](PyObject *file) -> int {
        Ref pickle = Ref::steal(rt::get_module_global(st.str_pickle));
        if (!pickle) return fail(RT_HERE, 44);
        Ref load_fn = Ref::steal(rt::get_attr(pickle.get(), st.str_load));
        if (!load_fn) return fail(RT_HERE, 44);
        loaded = Ref::steal(rt::call1(load_fn.get(), file));
        if (!loaded) return fail(RT_HERE, 44);
        if (restore_frame_names(loaded.get()) < 0) {
            loaded.reset();  // nothing is returned from a load that failed
            return fail(RT_HERE, 44);
        }
        return 0;
    };
    // A failing __exit__ drops the loaded value with `loaded`.
    if (with_block(ts, rt::call2(builtins().open, cache_full_path, st.str_rb), 43, load) < 0) return -1;
    if (!loaded) return 0;
    result = std::move(loaded);
    return 1;
}

// The cache attempt with its `except Exception as e` (lines 42 to 46).
// 1 with `result` set, 0 to go on to the database, -1 on failure.
int try_cache(PyThreadState *ts, PyObject *cache_full_path, Ref &result) noexcept {
    rt::SavedException saved = rt::save_handled_exception(ts);
    int outcome = load_cache_block(ts, cache_full_path, result);
    if (outcome >= 0) {
        rt::discard_saved_exception(saved);
        return outcome;
    }
    // except Exception as e: logged, then on to the database
    if (!rt::current_exception_matches(ts, PyExc_Exception)) return leave_try_unmatched(ts, saved);
    return run_logging_clause(ts, saved, LoggingClause{kQualname, 45, state().txt_error_loading_cache, false});
}

// Lines 54 to 58: every table through `connection`, into `dataframes`.
int read_tables(PyObject *self, PyObject *connection, PyObject *dataframes) noexcept {
    const State &st = state();
    Ref engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 54);
    Ref inspect = Ref::steal(rt::get_module_global(st.str_inspect));
    if (!inspect) return fail(RT_HERE, 54);
    Ref inspector = Ref::steal(rt::call1(inspect.get(), engine.get()));
    if (!inspector) return fail(RT_HERE, 54);
    engine.reset();

    Ref get_table_names = Ref::steal(rt::get_attr(inspector.get(), st.str_get_table_names));
    if (!get_table_names) return fail(RT_HERE, 55);
    Ref names = Ref::steal(rt::call0(get_table_names.get()));
    if (!names) return fail(RT_HERE, 55);
    ItemWalk walk;
    if (walk.start(names.get()) < 0) return fail(RT_HERE, 55);
    for (;;) {
        Ref table_name;
        int more = walk.next(table_name);
        if (more < 0) return fail(RT_HERE, 55);
        if (!more) break;
        Ref pd = Ref::steal(rt::get_module_global(st.str_pd));
        if (!pd) return fail(RT_HERE, 56);
        Ref read_sql_table = Ref::steal(rt::get_attr(pd.get(), st.str_read_sql_table));
        if (!read_sql_table) return fail(RT_HERE, 56);
        Ref df = Ref::steal(rt::call2(read_sql_table.get(), table_name.get(), connection));
        if (!df) return fail(RT_HERE, 56);
        if (name_frame(pd.get(), df.get(), table_name.get()) < 0) return fail(RT_HERE, 57);
        if (PyList_Append(dataframes, df.get()) < 0) return fail(RT_HERE, 58);
    }
    return 0;
}

// The database attempt (lines 53 to 61): read every table, write the cache.
int read_database(PyThreadState *ts, PyObject *self, PyObject *cache_full_path, PyObject *dataframes) noexcept {
    const State &st = state();
    Ref engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 53);
    Ref connect = Ref::steal(rt::get_attr(engine.get(), st.str_connect));
    if (!connect) return fail(RT_HERE, 53);
    engine.reset();
    if (with_block(ts, rt::call0(connect.get()), 53,
                   [&](PyObject *connection) -> int { return read_tables(self, connection, dataframes); }) < 0)
        return -1;

    auto dump = [&](PyObject *file) -> int {
        Ref pickle = Ref::steal(rt::get_module_global(st.str_pickle));
        if (!pickle) return fail(RT_HERE, 61);
        Ref dump_fn = Ref::steal(rt::get_attr(pickle.get(), st.str_dump));
        if (!dump_fn) return fail(RT_HERE, 61);
        Ref ignored = Ref::steal(rt::call2(dump_fn.get(), dataframes, file));
        return ignored ? 0 : fail(RT_HERE, 61);
    };
    return with_block(ts, rt::call2(builtins().open, cache_full_path, st.str_wb), 60, dump);
}

PyObject *prepare_data_body(PyObject *self) noexcept {
    const State &st = state();
    PyThreadState *ts = PyThreadState_Get();

    // cache_full_path = os.path.join(self.cache_path, self.cache_file)
    Ref join = Ref::steal(os_path_function(st.str_join));
    if (!join) return fail(RT_HERE, 40);
    Ref cache_path = Ref::steal(rt::get_attr(self, st.str_cache_path));
    if (!cache_path) return fail(RT_HERE, 40);
    Ref cache_file = Ref::steal(rt::get_attr(self, st.str_cache_file));
    if (!cache_file) return fail(RT_HERE, 40);
    Ref cache_full_path = Ref::steal(rt::call2(join.get(), cache_path.get(), cache_file.get()));
    if (!cache_full_path) return fail(RT_HERE, 40);

    // if os.path.exists(cache_full_path):
    Ref exists = Ref::steal(os_path_function(st.str_exists));
    if (!exists) return fail(RT_HERE, 41);
    Ref found = Ref::steal(rt::call1(exists.get(), cache_full_path.get()));
    if (!found) return fail(RT_HERE, 41);
    int cached = object_is_true(found.get());
    if (cached < 0) return fail(RT_HERE, 41);
    found.reset();
    if (cached) {
        Ref result;
        int outcome = try_cache(ts, cache_full_path.get(), result);
        if (outcome < 0) return nullptr;
        if (outcome == 1) return result.release();
    }

    // if not self.engine: raise ConnectionError("Database connection not established.")
    Ref engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 48);
    int connected = object_is_true(engine.get());
    if (connected < 0) return fail(RT_HERE, 48);
    engine.reset();
    if (!connected) {
        Ref error_type = Ref::steal(rt::get_module_global(st.str_ConnectionError));
        Ref error = error_type ? Ref::steal(rt::call_object(error_type.get(), st.args_no_connection, nullptr)) : Ref();
        if (error) rt::raise_exception(error.get());
        return fail(RT_HERE, 49);
    }

    Ref dataframes = Ref::steal(PyList_New(0));
    if (!dataframes) return fail(RT_HERE, 51);

    rt::SavedException saved = rt::save_handled_exception(ts);
    if (read_database(ts, self, cache_full_path.get(), dataframes.get()) == 0) {
        rt::discard_saved_exception(saved);
        return dataframes.release();
    }
    // except Exception as e: log, then raise the same exception again
    dataframes.reset();
    if (!rt::current_exception_matches(ts, PyExc_Exception)) return leave_try_unmatched(ts, saved);
    run_logging_clause(ts, saved, LoggingClause{kQualname, 64, st.txt_error_fetching_tables, true});
    return nullptr;
}

}  // namespace

PyObject *prepare_data_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *const names[] = {state().str_self, nullptr};
    PyObject *values[1] = {nullptr};
    if (rt::bind_arguments(kSignature, names, values, args, nargs, kwnames) < 0) return fail(RT_HERE, 39);
    return prepare_data_body(values[0]);
}
