// The method bodies' `except ... as e:` clauses that log the caught exception
// with a fixed prefix, and either go on or raise it again.
#pragma once
#include <Python.h>

#include "runtime/exceptions.h"
#include "runtime/traceback.h"

// Lines of one clause: `except` at `except_line`, the logging call on the next
// line, the bare `raise` on the one after.
struct LoggingClause {
    const char *qualname;  // for the traceback entries
    int except_line;
    PyObject *prefix;      // the log text's fixed start
    bool reraise;
};

// Runs the clause for the raised exception, which the caller has matched and
// given its traceback entry: logging.error(prefix + f"{e}"), then `raise` when
// asked. `saved` (taken when the `try` began) is put back on every path.
// 0 when the clause ends normally, -1 with an exception set.
int run_logging_clause(PyThreadState *ts, rt::SavedException &saved, const LoggingClause &clause) noexcept;

// The clause's target did not match: the exception leaves the `try`.
rt::Failure leave_try_unmatched(PyThreadState *ts, rt::SavedException &saved) noexcept;
