// MySQLDatabaseTablora.connect: makes the engine, proves it with one
// connection, logs the outcome; SQLAlchemy errors are logged and re-raised.
#include "module/state.h"
#include "runtime/binding.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/except_clause.h"
#include "tool/methods.h"
#include "tool/with_statement.h"

namespace {

using rt::Ref;

constexpr char kQualname[] = "quendsdk.tablora.MySQLDatabaseTablora.connect";
constexpr rt::MethodSignature kSignature{"connect", 1, 1};

rt::Failure fail(rt::NativePos where, int py_line) noexcept {
    rt::add_traceback_entry(kQualname, where, py_line, rt::kTracebackFile);
    return {};
}

// The body of the `try` (lines 29 to 33); `conn` lives until the method ends.
int connect_try(PyObject *self, Ref &conn) noexcept {
    const State &st = state();
    // self.engine = create_engine(self.connection_string)
    Ref create_engine = Ref::steal(rt::get_module_global(st.str_create_engine));
    if (!create_engine) return fail(RT_HERE, 29);
    Ref url = Ref::steal(rt::get_attr(self, st.str_connection_string));
    if (!url) return fail(RT_HERE, 29);
    Ref engine = Ref::steal(rt::call1(create_engine.get(), url.get()));
    if (!engine) return fail(RT_HERE, 29);
    if (rt::set_attr(self, st.str_engine, engine.get()) < 0) return fail(RT_HERE, 29);
    engine.reset();

    // with self.engine.connect() as conn: pass
    engine = Ref::steal(rt::get_attr(self, st.str_engine));
    if (!engine) return fail(RT_HERE, 31);
    Ref connect = Ref::steal(rt::get_attr(engine.get(), st.str_connect));
    if (!connect) return fail(RT_HERE, 31);
    Ref manager = Ref::steal(rt::call0(connect.get()));
    if (!manager) return fail(RT_HERE, 31);
    Ref exit;
    conn = Ref::steal(with_enter(manager.get(), exit));
    if (!conn) return fail(RT_HERE, 31);
    manager.reset();  // the bound __exit__ keeps it alive
    if (with_exit_normally(exit) < 0) return fail(RT_HERE, 31);

    // logging.info("Successfully connected to the database.")
    Ref logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return fail(RT_HERE, 33);
    Ref info = Ref::steal(rt::get_attr(logging.get(), st.str_info));
    if (!info) return fail(RT_HERE, 33);
    Ref ignored = Ref::steal(rt::call1(info.get(), st.txt_connected));
    if (!ignored) return fail(RT_HERE, 33);
    return 0;
}

PyObject *connect_body(PyObject *self) noexcept {
    const State &st = state();
    PyThreadState *ts = PyThreadState_Get();
    rt::SavedException saved = rt::save_handled_exception(ts);
    Ref conn;
    if (connect_try(self, conn) == 0) {
        rt::discard_saved_exception(saved);
        Py_RETURN_NONE;
    }

    // except SQLAlchemyError as e: the name is resolved now, on every failure.
    PyObject *pending = PyErr_GetRaisedException();
    Ref target = Ref::steal(rt::get_module_global(st.str_SQLAlchemyError));
    if (!target) {
        // The NameError replaces the exception under test, which stays
        // reachable as its context, as in a Python except clause.
        PyObject *name_error = PyErr_GetRaisedException();
        PyException_SetContext(name_error, pending);
        PyErr_SetRaisedException(name_error);
        fail(RT_HERE, 34);
        rt::restore_handled_exception(ts, saved);
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    if (!rt::current_exception_matches(ts, target.get())) return leave_try_unmatched(ts, saved);
    run_logging_clause(ts, saved, LoggingClause{kQualname, 34, st.txt_error_connecting, true});
    return nullptr;
}

}  // namespace

PyObject *connect_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *const names[] = {state().str_self, nullptr};
    PyObject *values[1] = {nullptr};
    if (rt::bind_arguments(kSignature, names, values, args, nargs, kwnames) < 0) return fail(RT_HERE, 27);
    return connect_body(values[0]);
}
