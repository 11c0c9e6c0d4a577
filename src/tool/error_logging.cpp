// logging.error with a fixed prefix and the caught exception's text.
#include "tool/error_logging.h"

#include "module/state.h"
#include "runtime/calls.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "tool/values.h"

int log_error_with_text(PyObject *prefix, PyObject *error) noexcept {
    using rt::Ref;
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
