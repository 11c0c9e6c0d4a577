from __future__ import annotations

import pytest

import quendsdk.tablora as tablora
from tablora_checks import DEF_LINES, module_entries, qualified

C = tablora.MySQLDatabaseTablora
CALL = type(C.connect).__call__
U, P, H, D = "u", "p", "h", "d"
TWICE = "{}() got multiple values for keyword argument '{}'"
UNKNOWN = "{}() got an unexpected keyword argument 'port'"


def _tool() -> C:
    # No cache file can exist there, so no body finds one.
    return C(U, P, H, D, "/nonexistent-tablora-dir")


def _message(name: str, expected) -> str:
    if isinstance(expected, str):
        return expected.format(name, "self")
    bound, count, given = expected
    return f"{name}() takes {bound} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


def _fails_binding(name: str, call, expected) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == _message(name, expected)
    # Binding adds exactly one entry, at the def line.
    assert module_entries(info.value) == [[qualified(name), DEF_LINES[name]]]


LEAST = "at least", 5
INIT_FAILURES = [
    pytest.param(lambda: C(), (*LEAST, 1), id="no-args"),
    pytest.param(lambda: C(U), (*LEAST, 2), id="one-positional"),
    pytest.param(lambda: C(U, P, H), (*LEAST, 4), id="three-positional"),
    pytest.param(lambda: C(U, P, H, D, 1, 2, 3), ("at most", 7, 8), id="eight-positional"),
    pytest.param(lambda: C(U, P, H, D, 1, 2, 3, host=H), ("at most", 7, 8), id="eight-and-keyword"),
    # With keywords the count given is the index of the first missing parameter.
    pytest.param(lambda: C(U, P, host=H), (*LEAST, 4), id="database-first-missing"),
    pytest.param(lambda: C(password=P, host=H, database=D), (*LEAST, 1), id="no-username"),
    pytest.param(lambda: C(U, host=H, database=D), (*LEAST, 2), id="no-password"),
    pytest.param(lambda: C(username=U, password=P, database=D), (*LEAST, 3), id="no-host"),
    pytest.param(lambda: C(username=U, password=P, host=H), (*LEAST, 4), id="no-database"),
    pytest.param(lambda: C.__init__(username=U, password=P, host=H, database=D), (*LEAST, 0), id="no-self"),
    pytest.param(lambda: C.__init__(), (*LEAST, 0), id="unbound-no-args"),
    pytest.param(lambda: C(U, P, H, D, username=U), TWICE.format("__init__", "username"), id="username-twice"),
    pytest.param(lambda: C(U, P, H, D, ".", cache_path="."), TWICE.format("__init__", "cache_path"),
                 id="cache_path-twice"),
    pytest.param(lambda: C(U, P, H, D, port=3306), UNKNOWN, id="unknown-keyword"),
    pytest.param(lambda: C(username=U, password=P, host=H, database=D, cache_file="f", port=1), UNKNOWN,
                 id="unknown-after-all-bound"),
    pytest.param(lambda: CALL(C.__init__, C.__new__(C), U, P, port=1), (*LEAST, 3), id="call-slot-missing-host"),
    pytest.param(lambda: CALL(C.__init__, C.__new__(C), U, P, H, D, port=1), UNKNOWN, id="call-slot-unknown"),
]


@pytest.mark.parametrize(("call", "expected"), INIT_FAILURES)
def test_init_binding_failures(call, expected) -> None:
    _fails_binding("__init__", call, expected)


EXACTLY = "exactly", 1
SINGLE_FAILURES = [  # each call gets the function taken from the class and a tool
    pytest.param(lambda f, t: f.__get__(t)(1), (*EXACTLY, 2), id="extra-positional"),
    pytest.param(lambda f, t: f(), (*EXACTLY, 0), id="no-args"),
    pytest.param(lambda f, t: f(t, t, t), (*EXACTLY, 3), id="three-positional"),
    pytest.param(lambda f, t: f(t, t, self=t), (*EXACTLY, 2), id="two-and-keyword"),
    pytest.param(lambda f, t: f(port=1), (*EXACTLY, 0), id="self-missing"),
    pytest.param(lambda f, t: f.__get__(t)(self=t), TWICE, id="self-twice"),
    pytest.param(lambda f, t: f.__get__(t)(port=1), UNKNOWN, id="unknown-keyword"),
    pytest.param(lambda f, t: CALL(f), (*EXACTLY, 0), id="call-slot-no-args"),
    pytest.param(lambda f, t: CALL(f, t, port=1), UNKNOWN, id="call-slot-unknown-keyword"),
]
ONE_PARAM = ("connect", "prepare_data", "print_table_schemas")


@pytest.mark.parametrize("name", ONE_PARAM)
@pytest.mark.parametrize(("call", "expected"), SINGLE_FAILURES)
def test_single_parameter_binding_failures(name: str, call, expected) -> None:
    func, t = C.__dict__[name], _tool()
    _fails_binding(name, lambda: call(func, t), expected)


@pytest.mark.parametrize("name", ONE_PARAM)
@pytest.mark.parametrize(
    "shape",
    [
        pytest.param(lambda f, t: f(t), id="positional"),
        pytest.param(lambda f, t: f(self=t), id="keyword"),
        pytest.param(lambda f, t: f(**{"".join(["se", "lf"]): t}), id="runtime-built-keyword"),
        pytest.param(lambda f, t: CALL(f, t), id="call-slot"),
        pytest.param(lambda f, t: CALL(f, self=t), id="call-slot-keyword"),
        pytest.param(lambda f, t: CALL(f, t, **{}), id="call-slot-empty-dict"),
    ],
)
def test_single_parameter_methods_bind(name: str, shape, monkeypatch) -> None:
    # Bodies are not under test here: only that binding lets the call through.
    def no_engine(*args, **kwargs):
        raise LookupError("no engine in binding tests")

    monkeypatch.setattr(tablora, "create_engine", no_engine)
    try:
        shape(C.__dict__[name], _tool())
    except TypeError as exc:
        pytest.fail(f"binding refused a valid call: {exc}")
    except Exception:
        pass


def _built(*parts: str) -> str:
    return "".join(parts)


URL = "mysql+pymysql://U:P@H/D"


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        pytest.param(lambda: C("U", "P", host="H", database="D", cache_file="C"), (".", "C"), id="worked-example"),
        pytest.param(lambda: C(username="U", password="P", host="H", database="D"), (".", "db_cache.pkl"),
                     id="all-keywords"),
        pytest.param(lambda: C("U", "P", "H", "D", "X", "Y"), ("X", "Y"), id="positional"),
        pytest.param(lambda: C("U", "P", "H", "D", cache_file="Y", cache_path="X"), ("X", "Y"), id="defaults-reversed"),
        pytest.param(lambda: C(**{_built("user", "name"): "U", _built("pass", "word"): "P", _built("ho", "st"): "H",
                                  _built("data", "base"): "D", _built("cache_", "file"): "Y"}), (".", "Y"),
                     id="runtime-built-names"),
        pytest.param(lambda: C("U", **{"password": "P", "host": "H"}, database="D", **{"cache_path": "X"}),
                     ("X", "db_cache.pkl"), id="double-star"),
        pytest.param(lambda: (lambda t: CALL(C.__init__, t, "U", "P", host="H", database="D", cache_path="X") or t)(
                     C.__new__(C)), ("X", "db_cache.pkl"), id="call-slot-keywords"),
    ],
)
def test_init_binds_values_to_their_parameters(call, expected: tuple) -> None:
    t = call()
    assert (t.connection_string, t.cache_path, t.cache_file) == (URL, *expected)


def test_call_slot_refuses_non_string_keywords() -> None:
    with pytest.raises(TypeError) as info:
        CALL(C.__init__, C.__new__(C), "U", **{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert module_entries(info.value) == []


class _RaisingEq(str):
    def __eq__(self, other):
        raise RuntimeError("comparison failed")

    __hash__ = str.__hash__


class _Name(str):
    pass


def test_str_subclass_keywords_compare_by_equality() -> None:
    assert C("U", "P", "H", **{_Name("database"): "D"}).connection_string == URL
    # A failing comparison propagates unchanged.
    with pytest.raises(RuntimeError, match="^comparison failed$") as info:
        C("U", host="H", database="D", **{_RaisingEq("password"): "P"})
    assert module_entries(info.value) == [[qualified("__init__"), 17]]
