// Logging `except` clauses shared by connect, prepare_data and print_table_schemas.
#include "tool/except_clause.h"

#include "module/state.h"
#include "runtime/calls.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/values.h"

namespace {

using rt::Ref;

// logging.error(prefix + f"{error}"); 0, or -1.
int log_error_with_text(PyObject *prefix, PyObject *error) noexcept {
    const State &st = state();
    Ref logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return -1;
    Ref log = Ref::steal(rt::get_attr(logging.get(), st.str_error));
    if (!log) return -1;
    Ref text = Ref::steal(format_simple(error));
    if (!text) return -1;
    Ref message = Ref::steal(concat_text(prefix, text.get()));
    if (!message) return -1;
    Ref ignored = Ref::steal(rt::call1(log.get(), message.get()));
    return ignored ? 0 : -1;
}

}  // namespace

int run_logging_clause(PyThreadState *ts, rt::SavedException &saved, const LoggingClause &clause) noexcept {
    auto fail = [&](rt::NativePos where, int py_line) {
        rt::add_traceback_entry(clause.qualname, where, py_line, rt::kTracebackFile);
        rt::restore_handled_exception(ts, saved);
        return -1;
    };
    PyObject *type, *value, *traceback;
    if (rt::fetch_exception(ts, &type, &value, &traceback) < 0) return fail(RT_HERE, clause.except_line);
    Ref t = Ref::steal(type), e = Ref::steal(value), tb = Ref::steal(traceback);
    if (log_error_with_text(clause.prefix, e.get()) < 0) return fail(RT_HERE, clause.except_line + 1);
    if (!clause.reraise) {
        rt::restore_handled_exception(ts, saved);
        return 0;
    }
    // raise: the same object, with the traceback it carried when caught
    PyErr_SetRaisedException(e.release());
    return fail(RT_HERE, clause.except_line + 2);
}

rt::Failure leave_try_unmatched(PyThreadState *ts, rt::SavedException &saved) noexcept {
    rt::restore_handled_exception(ts, saved);
    return {};
}
