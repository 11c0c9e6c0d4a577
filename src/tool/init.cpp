// MySQLDatabaseTablora.__init__: checks the connection values, builds the
// database URL, stores the cache location and asks logging for INFO output.
#include "module/state.h"
#include "runtime/binding.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/methods.h"
#include "tool/values.h"

namespace {

using rt::Ref;

constexpr char kQualname[] = "quendsdk.tablora.MySQLDatabaseTablora.__init__";
constexpr rt::MethodSignature kSignature{"__init__", 5, 7};

rt::Failure fail(rt::NativePos where, int py_line) noexcept {
    rt::add_traceback_entry(kQualname, where, py_line, rt::kTracebackFile);
    return {};
}

// "mysql+pymysql://" user ":" password "@" host "/" database, joined once at
// its final size. The credentials are percent-encoded so that a "@", ":" or
// "/" in them cannot change where the URL points. SQLAlchemy percent-decodes
// the database name, so a "%" in it is escaped; text after a "?" is passed
// as URL options, written by the caller in URL syntax.
PyObject *build_url(PyObject *username, PyObject *password, PyObject *host, PyObject *database) noexcept {
    const State &st = state();
    Ref pieces = Ref::steal(PyTuple_New(8));
    if (!pieces) return nullptr;
    PyObject *t = pieces.get();
    PyTuple_SET_ITEM(t, 0, Py_NewRef(st.txt_url_scheme));
    PyObject *const values[] = {username, password, host, database};
    PyObject *const separators[] = {st.txt_colon, st.txt_at, st.txt_slash};
    Py_UCS4 max_char = 127;
    Py_ssize_t length = 19;
    for (int i = 0; i < 4; ++i) {
        Ref text = Ref::steal(format_simple(values[i]));
        if (text && i < 2) text = Ref::steal(percent_encode(text.get()));
        if (text && i == 3) text = Ref::steal(escape_database_percent(text.get()));
        if (!text) return nullptr;
        Py_UCS4 widest = unicode_max_char(text.get());
        if (widest > max_char) max_char = widest;
        length += PyUnicode_GET_LENGTH(text.get());
        PyTuple_SET_ITEM(t, 1 + 2 * i, text.release());
        if (i < 3) PyTuple_SET_ITEM(t, 2 + 2 * i, Py_NewRef(separators[i]));
    }
    return join_pieces(t, 8, length, max_char);
}

PyObject *init_body(PyObject *self, PyObject *username, PyObject *password, PyObject *host, PyObject *database,
                    PyObject *cache_path, PyObject *cache_file) noexcept {
    const State &st = state();
    const CachedBuiltins &cb = builtins();

    // if not all([username, password, host, database]):
    Ref values = Ref::steal(PyList_New(4));
    if (!values) return fail(RT_HERE, 19);
    PyList_SET_ITEM(values.get(), 0, Py_NewRef(username));
    PyList_SET_ITEM(values.get(), 1, Py_NewRef(password));
    PyList_SET_ITEM(values.get(), 2, Py_NewRef(host));
    PyList_SET_ITEM(values.get(), 3, Py_NewRef(database));
    Ref all_given = Ref::steal(rt::call1(cb.all, values.get()));
    values.reset();
    if (!all_given) return fail(RT_HERE, 19);
    int truth = object_is_true(all_given.get());
    all_given.reset();
    if (truth < 0) return fail(RT_HERE, 19);
    if (!truth) {
        Ref error = Ref::steal(rt::call_object(cb.ValueError, st.args_params_required, nullptr));
        if (error) rt::raise_exception(error.get());
        return fail(RT_HERE, 20);
    }

    Ref url = Ref::steal(build_url(username, password, host, database));
    if (!url) return fail(RT_HERE, 21);
    if (rt::set_attr(self, st.str_connection_string, url.get()) < 0) return fail(RT_HERE, 21);
    if (rt::set_attr(self, st.str_engine, Py_None) < 0) return fail(RT_HERE, 22);
    if (rt::set_attr(self, st.str_cache_path, cache_path) < 0) return fail(RT_HERE, 23);
    if (rt::set_attr(self, st.str_cache_file, cache_file) < 0) return fail(RT_HERE, 24);

    // logging.basicConfig(level=logging.INFO)
    Ref logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return fail(RT_HERE, 25);
    Ref basic_config = Ref::steal(rt::get_attr(logging.get(), st.str_basicConfig));
    if (!basic_config) return fail(RT_HERE, 25);
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return fail(RT_HERE, 25);
    logging = Ref::steal(rt::get_module_global(st.str_logging));
    if (!logging) return fail(RT_HERE, 25);
    Ref level = Ref::steal(rt::get_attr(logging.get(), st.str_INFO));
    if (!level || PyDict_SetItem(kwargs.get(), st.str_level, level.get()) < 0) return fail(RT_HERE, 25);
    Ref ignored = Ref::steal(rt::call_object(basic_config.get(), st.empty_tuple, kwargs.get()));
    if (!ignored) return fail(RT_HERE, 25);
    Py_RETURN_NONE;
}

}  // namespace

PyObject *init_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    const State &st = state();
    PyObject *const names[] = {st.str_self,     st.str_username,   st.str_password,   st.str_host,
                               st.str_database, st.str_cache_path, st.str_cache_file, nullptr};
    PyObject *values[7] = {nullptr, nullptr, nullptr, nullptr, nullptr, st.txt_dot, st.txt_db_cache_pkl};
    if (rt::bind_arguments(kSignature, names, values, args, nargs, kwnames) < 0) return fail(RT_HERE, 17);
    return init_body(values[0], values[1], values[2], values[3], values[4], values[5], values[6]);
}
