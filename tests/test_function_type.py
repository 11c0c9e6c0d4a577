from __future__ import annotations

import gc
import pickle
import warnings
import weakref

import pytest

import quendsdk.tablora as tablora
from tablora_checks import module_entries, qualified

C = tablora.MySQLDatabaseTablora
FUNC_TYPE = type(C.connect)
METHODS = ("__init__", "connect", "prepare_data", "print_table_schemas")
RESTORED = ("__name__", "__qualname__", "__doc__", "__module__", "__dict__", "__annotations__", "__defaults__",
            "__kwdefaults__")
DEFAULTS_WARNING = "changes to compiled_function.{} will not currently affect the values used in function calls"


@pytest.fixture(autouse=True)
def _restore_functions():
    # The functions live as long as the class, so every test puts back what it changed.
    saved = {name: {a: getattr(C.__dict__[name], a) for a in RESTORED} for name in METHODS}
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, attrs in saved.items():
            for attr, value in attrs.items():
                setattr(C.__dict__[name], attr, value)


@pytest.mark.parametrize("name", METHODS)
def test_function_attributes(name: str) -> None:
    f = C.__dict__[name]
    assert (f.__name__, f.func_name) == (name, name)
    assert f.__qualname__ == f"MySQLDatabaseTablora.{name}"
    assert f.__module__ == "quendsdk.tablora"
    assert f.__doc__ is None and f.func_doc is None
    assert f.__defaults__ == f.func_defaults == ((".", "db_cache.pkl") if name == "__init__" else None)
    assert f.__kwdefaults__ is None
    assert f.__closure__ is None and f.func_closure is None
    assert f.__annotations__ == {} and type(f.__annotations__) is dict
    assert f._is_coroutine is False
    assert f.__globals__ is vars(tablora) and f.func_globals is vars(tablora)
    assert f.__dict__ == {} and f.func_dict is f.__dict__
    assert repr(f) == f"<compiled function MySQLDatabaseTablora.{name} at {hex(id(f))}>"


@pytest.mark.parametrize(
    ("attr", "action", "value", "exc_type", "message"),
    [
        ("__name__", "set", 5, TypeError, "__name__ must be set to a string object"),
        ("__name__", "del", None, TypeError, "__name__ must be set to a string object"),
        ("func_name", "set", b"connect", TypeError, "__name__ must be set to a string object"),
        ("__qualname__", "set", None, TypeError, "__qualname__ must be set to a string object"),
        ("__qualname__", "del", None, TypeError, "__qualname__ must be set to a string object"),
        ("__dict__", "set", [], TypeError, "setting function's dictionary to a non-dict"),
        ("func_dict", "set", (), TypeError, "setting function's dictionary to a non-dict"),
        ("__dict__", "del", None, TypeError, "function's dictionary may not be deleted"),
        ("__defaults__", "set", ["a"], TypeError, "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", "set", [], TypeError, "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", "set", 5, TypeError, "__annotations__ must be set to a dict object"),
        *[
            (attr, action, 1, AttributeError, f"attribute '{attr}' of '_compiled_runtime_1_0.compiled_function_or_method'"
             " objects is not writable")
            for attr in ("__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code",
                         "_is_coroutine")
            for action in ("set", "del")
        ],
    ],
)
def test_refused_writes_keep_the_old_value(attr: str, action: str, value, exc_type, message: str) -> None:
    f = C.__init__
    before = getattr(f, attr)
    with pytest.raises(exc_type) as info:
        setattr(f, attr, value) if action == "set" else delattr(f, attr)
    assert str(info.value) == message
    assert getattr(f, attr) is before


class _Text(str):
    pass


SAME = object()  # reads back the very value written


@pytest.mark.parametrize(
    ("attr", "value", "reads"),
    [
        ("__name__", _Text("renamed"), SAME), ("func_name", "renamed", SAME), ("__qualname__", _Text("X.y"), SAME),
        ("__doc__", 42, SAME), ("func_doc", "text", SAME), ("__module__", ["any"], SAME),
        ("__dict__", {"marker": 1}, SAME), ("__annotations__", {"return": int}, SAME),
        ("__annotations__", None, {}), ("__doc__", "deleted", None), ("__module__", "deleted", None),
        ("__annotations__", "deleted", {}),
    ],
)
def test_accepted_writes_and_deletes(attr: str, value, reads) -> None:
    f = C.connect
    if value == "deleted":
        setattr(f, attr, {"a": 1} if attr == "__annotations__" else "written first")
    before = getattr(f, attr)
    delattr(f, attr) if value == "deleted" else setattr(f, attr, value)
    after = getattr(f, attr)
    if reads is SAME:
        assert after is value
    elif reads is None:
        assert after is None
    else:
        # A new empty dict, kept once made.
        assert after == {} and after is not before and getattr(f, attr) is after


def test_renaming_changes_repr_but_not_binding_messages() -> None:
    C.__init__.__name__ = "renamed"
    C.__init__.__qualname__ = "Renamed.__init__"
    assert repr(C.__init__) == f"<compiled function Renamed.__init__ at {hex(id(C.__init__))}>"
    with pytest.raises(TypeError) as info:
        C()
    assert str(info.value) == "__init__() takes at least 5 positional arguments (1 given)"
    assert module_entries(info.value) == [[qualified("__init__"), 17]]


@pytest.mark.parametrize(
    ("attr", "value"),
    [("__defaults__", ("elsewhere", "other.pkl")), ("__kwdefaults__", {"x": 1}), ("__defaults__", None),
     ("func_defaults", ()), ("__kwdefaults__", None)],
)
@pytest.mark.parametrize("delete", [False, True], ids=["set", "del"])
def test_defaults_writes_warn_and_do_not_change_calls(attr: str, value, delete: bool) -> None:
    with pytest.warns(RuntimeWarning) as record:
        delattr(C.__init__, attr) if delete else setattr(C.__init__, attr, value)
    name = attr.replace("func_", "__") + ("__" if attr.startswith("func_") else "")
    assert [(w.category, str(w.message)) for w in record] == [(RuntimeWarning, DEFAULTS_WARNING.format(name))]
    assert record[0].filename == __file__  # stack level 1: the writing frame
    assert getattr(C.__init__, attr) is (None if delete else value)
    t = C("u", "p", "h", "d")
    assert (t.cache_path, t.cache_file) == (".", "db_cache.pkl")


@pytest.mark.parametrize(("attr", "value"), [("__defaults__", ("a", "b")), ("__kwdefaults__", {})])
def test_defaults_write_turned_error_stores_nothing(attr: str, value) -> None:
    before = getattr(C.__init__, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=DEFAULTS_WARNING.format(attr)):
            setattr(C.__init__, attr, value)
    assert getattr(C.__init__, attr) is before


def test_descriptor_binding() -> None:
    t = C("u", "p", "h", "d")
    assert C.connect is C.__dict__["connect"]
    assert FUNC_TYPE.__get__(C.connect, None, C) is C.connect
    for bound in (t.connect, FUNC_TYPE.__get__(C.connect, t, C)):
        assert type(bound).__name__ == "method"
        assert bound.__func__ is C.connect and bound.__self__ is t


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", METHODS)
def test_pickles_by_reference(name: str, protocol: int) -> None:
    f = C.__dict__[name]
    assert f.__reduce__() == f"MySQLDatabaseTablora.{name}"
    assert f.__reduce__(1, 2, 3) == f"MySQLDatabaseTablora.{name}"
    data = pickle.dumps(f, protocol)
    assert b"quendsdk.tablora" in data
    assert pickle.loads(data) is f


def test_type_layout_and_flags() -> None:
    assert (FUNC_TYPE.__module__, FUNC_TYPE.__name__) == ("_compiled_runtime_1_0", "compiled_function_or_method")
    assert (FUNC_TYPE.__basicsize__, FUNC_TYPE.__itemsize__) == (192, 0)
    assert (FUNC_TYPE.__weakrefoffset__, FUNC_TYPE.__dictoffset__) == (40, 64)
    assert FUNC_TYPE.__bases__ == (object,)
    # Basetype, vectorcall, GC, method descriptor.
    wanted = (1 << 10) | (1 << 11) | (1 << 14) | (1 << 17)
    assert FUNC_TYPE.__flags__ & wanted == wanted == 0x24C00
    with pytest.raises(TypeError, match="cannot create '_compiled_runtime_1_0.compiled_function_or_method' instances"):
        FUNC_TYPE()
    assert issubclass(type("Sub", (FUNC_TYPE,), {}), FUNC_TYPE)
    ref = weakref.ref(C.prepare_data)
    assert ref() is C.prepare_data and weakref.getweakrefs(C.prepare_data) == [ref]


@pytest.mark.parametrize("name", METHODS)
def test_gc_traverses_owned_references(name: str) -> None:
    f = C.__dict__[name]
    f.__dict__ = {"held": object()}
    referents = gc.get_referents(f)
    assert gc.is_tracked(f)
    for owned in (f.__dict__, f.__globals__, f.__code__, f.__qualname__, f.__module__, f.__annotations__):
        assert any(r is owned for r in referents), owned
    if f.__defaults__ is not None:
        assert any(r is f.__defaults__ for r in referents)
    assert not any(r is f for r in referents)

