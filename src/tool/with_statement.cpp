// `with` statement steps shared by connect and prepare_data.
#include "tool/with_statement.h"

#include "module/state.h"
#include "runtime/calls.h"
#include "tool/values.h"

using rt::Ref;

PyObject *with_enter(PyObject *manager, Ref &exit) noexcept {
    const State &st = state();
    exit = Ref::steal(rt::lookup_special(manager, st.str___exit__));
    if (!exit) return nullptr;
    Ref enter = Ref::steal(rt::lookup_special(manager, st.str___enter__));
    if (!enter) return nullptr;
    return rt::call0(enter.get());
}

int with_exit_normally(Ref &exit) noexcept {
    Ref ignored = Ref::steal(rt::call_object(exit.get(), state().args_exit_none, nullptr));
    exit.reset();
    return ignored ? 0 : -1;
}

int with_exit_on_error(PyThreadState *ts, Ref &exit, rt::SavedException &saved) noexcept {
    PyObject *type, *value, *traceback;
    if (rt::fetch_exception(ts, &type, &value, &traceback) < 0) {
        rt::restore_handled_exception(ts, saved);
        return -1;
    }
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    Ref result = Ref::steal(rt::call3(exit.get(), type, value, traceback ? traceback : Py_None));
    exit.reset();
    int suppress = result ? object_is_true(result.get()) : -1;
    result.reset();
    rt::restore_handled_exception(ts, saved);
    if (suppress < 0) return -1;
    if (suppress) return 1;
    PyErr_SetRaisedException(v.release());  // its traceback rides on it
    return 0;
}
