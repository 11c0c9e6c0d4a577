from __future__ import annotations

import builtins
import datetime
import importlib
import logging
import os
import pickle
import sys

import pandas
import pytest
import sqlalchemy
import sqlalchemy.exc

import quendsdk.tablora as tablora
from tablora_checks import INIT_ENTRY, run_python

C = tablora.MySQLDatabaseTablora
METHODS = ("__init__", "connect", "prepare_data", "print_table_schemas")
REFUSED = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_namespace_holds_exactly_the_import_bindings() -> None:
    expected = {
        "__builtins__": builtins, "sqlalchemy": sqlalchemy, "inspect": sqlalchemy.inspect, "pd": pandas, "os": os,
        "pickle": pickle, "logging": logging, "datetime": datetime.datetime, "timedelta": datetime.timedelta,
        "create_engine": sqlalchemy.create_engine, "SQLAlchemyError": sqlalchemy.exc.SQLAlchemyError,
        "MySQLDatabaseTablora": C,
    }
    ns = vars(tablora)
    interpreter_keys = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(ns) == interpreter_keys | set(expected) | {"__test__"}
    assert [k for k, v in expected.items() if ns[k] is not v] == []
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert (tablora.__name__, tablora.__package__, tablora.__doc__) == ("quendsdk.tablora", "quendsdk", None)
    assert tablora.__file__ == tablora.__spec__.origin and tablora.__loader__ is tablora.__spec__.loader


def test_class_is_plain_and_lists_its_methods_in_source_order() -> None:
    assert (C.__module__, C.__qualname__, C.__bases__, C.__doc__) == ("quendsdk.tablora", C.__name__, (object,), None)
    assert type(C) is type
    assert [k for k in C.__dict__ if k not in ("__dict__", "__weakref__", "__doc__")] == ["__module__", *METHODS]


def test_runtime_modules_share_the_function_type() -> None:
    assert type(sys.modules["compiled_runtime"]) is type(sys)
    func_type = sys.modules["_compiled_runtime_1_0"].compiled_function_or_method
    assert (func_type.__module__, func_type.__name__) == ("_compiled_runtime_1_0", "compiled_function_or_method")
    assert all(type(C.__dict__[name]) is func_type for name in METHODS)


def test_reimport_returns_the_same_module_without_rerunning_the_body(monkeypatch) -> None:
    calls = []
    monkeypatch.setattr(logging, "basicConfig", lambda *a, **k: calls.append((a, k)))
    monkeypatch.delitem(sys.modules, "quendsdk.tablora")
    again = importlib.import_module("quendsdk.tablora")
    assert again is tablora and again.MySQLDatabaseTablora is C and sys.modules["quendsdk.tablora"] is tablora
    assert calls == []


HIDE_SQLALCHEMY = """
class Hide:
    def find_spec(self, name, path=None, target=None):
        if name.partition('.')[0] == 'sqlalchemy':
            raise ModuleNotFoundError(f'No module named {name!r}', name=name)
sys.meta_path.insert(0, Hide())
"""
FAKE_SHARED = "import types; shared = sys.modules['_compiled_runtime_1_0'] = types.ModuleType('_compiled_runtime_1_0')\n"


# Each failure leaves the process able to import once the cause is undone.
@pytest.mark.parametrize(
    ("breakage", "repair", "failure"),
    [
        pytest.param(HIDE_SQLALCHEMY, "sys.meta_path.pop(0)",
                     ["ModuleNotFoundError", "No module named 'sqlalchemy'", [[INIT_ENTRY, 1]]], id="no-sqlalchemy"),
        pytest.param("sys.modules['sqlalchemy'] = None", "del sys.modules['sqlalchemy']",
                     ["ModuleNotFoundError", "import of sqlalchemy halted; None in sys.modules", [[INIT_ENTRY, 1]]],
                     id="sqlalchemy-none-in-sys-modules"),
        pytest.param("import sqlalchemy.exc; saved = sqlalchemy.exc.SQLAlchemyError; del sqlalchemy.exc.SQLAlchemyError",
                     "sqlalchemy.exc.SQLAlchemyError = saved",
                     ["ImportError", "cannot import name SQLAlchemyError", [[INIT_ENTRY, 9]]], id="no-SQLAlchemyError"),
        pytest.param(FAKE_SHARED + "shared.compiled_function_or_method = 5", "del sys.modules['_compiled_runtime_1_0']",
                     ["TypeError", "Shared runtime type compiled_function_or_method is not a type object", []],
                     id="shared-type-not-a-type"),
        pytest.param(FAKE_SHARED + "shared.compiled_function_or_method = type('T', (), {})",
                     "del sys.modules['_compiled_runtime_1_0']",
                     ["TypeError", "Shared runtime type compiled_function_or_method has the wrong size, try recompiling",
                      []], id="shared-type-wrong-size"),
    ],
)
def test_failed_import_reports_and_a_later_import_succeeds(breakage: str, repair: str, failure: list) -> None:
    result = run_python(
        "import json\nfrom tablora_checks import module_entries\n" + breakage + """
try:
    import quendsdk.tablora
except BaseException as exc:
    failure = [type(exc).__name__, str(exc), module_entries(exc)]
""" + repair + """
import quendsdk.tablora as m
ok = type(m.MySQLDatabaseTablora.connect) is sys.modules['_compiled_runtime_1_0'].compiled_function_or_method
print(json.dumps([failure, ok, sys.modules['quendsdk.tablora'] is m]))
""")
    assert result == [failure, True, True]


# The import machinery reads the name itself before the create slot runs, so the slot is called directly.
CREATE_SLOT = """
import ctypes, importlib.util
lib = ctypes.PyDLL(importlib.util.find_spec('quendsdk.tablora').origin)
lib.PyInit_tablora.restype = ctypes.c_void_p
definition = lib.PyInit_tablora()
slot = ctypes.c_void_p.from_address(definition + 72).value  # PyModuleDef.m_slots on 64-bit
while ctypes.c_int.from_address(slot).value not in (0, 1):
    slot += 16
create = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(
    ctypes.c_void_p.from_address(slot + 8).value)
try:
    create(object(), definition)
except AttributeError as exc:
    nameless = str(exc)
"""


@pytest.mark.parametrize(
    ("first", "nameless"),
    [
        pytest.param("import quendsdk.tablora", None, id="after-import"),
        pytest.param("sys.modules['sqlalchemy'] = None\ntry:\n    import quendsdk.tablora\nexcept ImportError:\n"
                     "    pass\ndel sys.modules['sqlalchemy']", None, id="after-failed-import"),
        # A nameless import request fails the create, yet its interpreter becomes the owner.
        pytest.param(CREATE_SLOT, "'object' object has no attribute 'name'", id="after-nameless-create"),
    ],
)
def test_a_second_interpreter_is_refused(first: str, nameless) -> None:
    pytest.importorskip("_testcapi")
    result = run_python(first + """
import json, os, _testcapi
read_end, write_end = os.pipe()
# The subinterpreter's stdout is not ours, so it reports through the pipe.
_testcapi.run_in_subinterp(f'''
import os
try:
    import quendsdk.tablora
except BaseException as exc:
    os.write({write_end}, (type(exc).__name__ + ': ' + str(exc)).encode())
else:
    os.write({write_end}, b'imported')
''')
os.close(write_end)
seen = os.read(read_end, 4096).decode()
import quendsdk.tablora
print(json.dumps([seen, hasattr(quendsdk.tablora, 'MySQLDatabaseTablora'), globals().get('nameless')]))
""")
    assert result == [REFUSED, True, nameless]


@pytest.mark.parametrize(
    ("before", "expected"),
    [
        pytest.param("", [logging.INFO, ["%(asctime)s - %(levelname)s - %(message)s"]], id="unconfigured"),
        pytest.param("h = logging.StreamHandler(); h.setFormatter(logging.Formatter('mine %(message)s'));"
                     " logging.getLogger().addHandler(h)", [logging.WARNING, ["mine %(message)s"]], id="handler-present"),
    ],
)
def test_import_configures_logging_only_without_handlers(before: str, expected: list) -> None:
    result = run_python(f"""
        import json, logging
        {before}
        import quendsdk.tablora
        root = logging.getLogger()
        print(json.dumps([root.level, [h.formatter._fmt for h in root.handlers]]))
        """)
    assert result == expected


def _other_version_build() -> str | None:
    """The release build for the other supported Python, if bootstrap made it."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    other = {(3, 12): ("3.13", ".venv-3.13"), (3, 13): ("3.12", ".venv")}[sys.version_info[:2]]
    tag = other[0].replace(".", "")
    site = os.path.join(root, other[1], "lib", f"python{other[0]}", "site-packages", "quendsdk")
    found = [n for n in os.listdir(site) if n.startswith(f"tablora.cpython-{tag}-")] if os.path.isdir(site) else []
    return os.path.join(site, found[0]) if found else None


def test_a_build_for_another_version_refuses_to_import_and_leaves_nothing(tmp_path) -> None:
    path = _other_version_build()
    if path is None:
        pytest.skip("the other Python's build is not there (scripts/test.sh makes both)")
    built = path.split("tablora.cpython-")[1][:3]
    # A corrupt cache is the path that crashed once the other build's body had run.
    (tmp_path / "db_cache.pkl").write_bytes(b"corrupt")
    got = run_python(f"""
        import importlib.machinery, importlib.util, json, sys
        from tablora_checks import module_entries

        class OtherBuild:
            def find_spec(self, name, path=None, target=None):
                if name == "quendsdk.tablora":
                    loader = importlib.machinery.ExtensionFileLoader(name, {path!r})
                    return importlib.util.spec_from_loader(name, loader)

        sys.meta_path.insert(0, OtherBuild())
        try:
            import quendsdk.tablora
        except ImportError as e:
            refused = [str(e), module_entries(e)]
        sys.meta_path.pop(0)
        left = [name for name in ("quendsdk.tablora", "compiled_runtime", "_compiled_runtime_1_0") if name in sys.modules]
        import quendsdk.tablora as tablora
        tool = tablora.MySQLDatabaseTablora("u", "p", "h", "d", {str(tmp_path)!r})
        try:
            tool.prepare_data()
        except ConnectionError:
            pass
        print(json.dumps([refused, left]))
    """)
    text = (f"compile time Python version {built[0]}.{built[1:]} of module 'quendsdk.tablora' does not match "
            f"runtime version {sys.version_info[0]}.{sys.version_info[1]}")
    assert got == [[text, []], []]
