// The class statement of MySQLDatabaseTablora: its method table turned into
// compiled functions, gathered in a namespace and passed to `type`.
#include "module/body.h"
#include "module/state.h"
#include "runtime/calls.h"
#include "runtime/cpython_internal.h"
#include "runtime/function_type.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tool/methods.h"

namespace {

using rt::Ref;

int fail(rt::NativePos where, int py_line) noexcept { return body_failure(where, py_line); }

template <typename Entry>
PyCFunction as_method(Entry entry) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
}

PyMethodDef method_defs[] = {
    {"__init__",            as_method(init_entry),                METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"connect",             as_method(connect_entry),             METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"prepare_data",        as_method(prepare_data_entry),        METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"print_table_schemas", as_method(print_table_schemas_entry), METH_FASTCALL | METH_KEYWORDS, nullptr},
};

struct MethodRow {
    PyMethodDef *def;
    PyObject *State::*name;
    PyObject *State::*qualname;
    PyObject *State::*code;
    PyObject *State::*defaults;  // null member: no defaults
    int def_line;
};

const MethodRow method_table[] = {
    {&method_defs[0], &State::str___init__, &State::str_MySQLDatabaseTablora___init__, &State::code_init,
     &State::defaults_init, 17},
    {&method_defs[1], &State::str_connect, &State::str_MySQLDatabaseTablora_connect, &State::code_connect, nullptr,
     27},
    {&method_defs[2], &State::str_prepare_data, &State::str_MySQLDatabaseTablora_prepare_data,
     &State::code_prepare_data, nullptr, 39},
    {&method_defs[3], &State::str_print_table_schemas, &State::str_MySQLDatabaseTablora_print_table_schemas,
     &State::code_print_table_schemas, nullptr, 69},
};

int store_in_namespace(PyObject *ns, PyObject *name, PyObject *value) noexcept {
    if (Py_IS_TYPE(ns, &PyDict_Type)) return rt::cpython::dict_set_known_hash(ns, name, value, rt::cpython::stored_hash(name));
    return PyObject_SetItem(ns, name, value);
}

}  // namespace

int create_class() noexcept {
    const State &st = state();
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return fail(RT_HERE, 16);
    if (PyObject_SetItem(ns.get(), st.str___module__, st.str_quendsdk_tablora) < 0) return fail(RT_HERE, 16);
    if (PyObject_SetItem(ns.get(), st.str___qualname__, st.str_MySQLDatabaseTablora) < 0) return fail(RT_HERE, 16);

    for (const MethodRow &row : method_table) {
        Ref function = Ref::steal(rt::function_new(row.def, 0, st.*row.qualname, nullptr, st.str_quendsdk_tablora,
                                                   st.module_globals, st.*row.code));
        if (!function) return fail(RT_HERE, row.def_line);
        if (row.defaults) rt::function_set_defaults(function.get(), st.*row.defaults);
        if (store_in_namespace(ns.get(), st.*row.name, function.get()) < 0) return fail(RT_HERE, row.def_line);
    }

    PyObject *args[] = {st.str_MySQLDatabaseTablora, st.empty_tuple, ns.get()};
    Ref cls = Ref::steal(rt::fast_call(reinterpret_cast<PyObject *>(&PyType_Type), args, 3));
    if (!cls) return fail(RT_HERE, 16);
    if (PyDict_SetItem(st.module_globals, st.str_MySQLDatabaseTablora, cls.get()) < 0) return fail(RT_HERE, 16);

    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict || PyDict_SetItem(st.module_globals, st.str___test__, test_dict.get()) < 0)
        return fail(RT_HERE, 1);
    return 0;
}
