from __future__ import annotations

import gc
import logging
import sys
import types
from urllib.parse import quote

import pytest
from sqlalchemy.engine import make_url

import quendsdk.tablora as tablora
from tablora_checks import module_entries, qualified

C = tablora.MySQLDatabaseTablora
INIT = qualified("__init__")
MISSING = "All connection parameters must be provided and not None."
ATTRS = ["connection_string", "engine", "cache_path", "cache_file"]


def _expected_url(username, password, host, database) -> str:
    # Credentials are percent-encoded byte-wise from UTF-8; host and database are not.
    user, pw = (quote(f"{v}", safe="", encoding="utf-8") for v in (username, password))
    return f"mysql+pymysql://{user}:{pw}@{host}/{database}"


def _blank() -> C:
    return C.__new__(C)


def _with(position: int, value) -> list:
    values = ["u", "p", "h", "d"]
    values[position] = value
    return values


@pytest.mark.parametrize(("u", "p", "h", "d"), [("tool", "toolpw", "127.0.0.1:3306", "shop"), ("a", "b", "c", "d")])
def test_plain_values_build_the_url(u: str, p: str, h: str, d: str) -> None:
    t = C(u, p, h, d)
    assert t.connection_string == "mysql+pymysql://" + u + ":" + p + "@" + h + "/" + d
    assert len(t.connection_string) == len(u + p + h + d) + 19
    assert list(vars(t)) == ATTRS
    assert t.engine is None
    assert t.cache_path is C.__init__.__defaults__[0] and t.cache_file is C.__init__.__defaults__[1]


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("falsy", [None, "", 0, False, [], {}, ()], ids=repr)
def test_falsy_connection_value_is_refused(falsy, position: int) -> None:
    t = _blank()
    with pytest.raises(ValueError) as info:
        C.__init__(t, *_with(position, falsy))
    assert type(info.value) is ValueError and info.value.args == (MISSING,)
    assert module_entries(info.value) == [[INIT, 20]]
    assert vars(t) == {}


def test_cached_builtins_ignore_module_globals(monkeypatch) -> None:
    monkeypatch.setattr(tablora, "ValueError", KeyError, raising=False)
    monkeypatch.setattr(tablora, "all", lambda values: True, raising=False)
    with pytest.raises(ValueError, match=MISSING):
        C(None, "p", "h", "d")


class _Formatted:
    def __format__(self, fmt: str) -> str:
        return f"fmt-text{fmt}"


class _Str(str):
    def __str__(self) -> str:
        return "via-str"


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize(
    ("value", "text"),
    [(5, "5"), (1.5, "1.5"), (True, "True"), (2**70, str(2**70)), (_Formatted(), "fmt-text"), (_Str("raw"), "via-str"),
     (float("inf"), "inf")],
    ids=["int", "float", "bool", "bigint", "format", "str-subclass", "inf"],
)
def test_non_str_values_use_their_formatted_text(value, text: str, position: int) -> None:
    assert C(*_with(position, value)).connection_string == _expected_url(*_with(position, text))


@pytest.mark.parametrize(
    ("host", "database"),
    [("hôst", "dé"), ("ĥost", "db"), ("h", "ďb"), ("h", "𝔡b"), ("ĥ", "𝔡")],
    ids=["latin1", "ucs2-host", "ucs2-db", "ucs4-db", "mixed"],
)
def test_wide_characters_keep_their_storage(host: str, database: str) -> None:
    url = C("u", "p", host, database).connection_string
    expected = f"mysql+pymysql://u:p@{host}/{database}"
    assert url == expected
    # Same size means the same storage width as a normally built string.
    assert sys.getsizeof(url) == sys.getsizeof(expected)


@pytest.mark.parametrize(
    ("raw", "encoded"),
    [("p@ss:w/rd", "p%40ss%3Aw%2Frd"), ("naïve", "na%C3%AFve"), ("A-z_0.9~", "A-z_0.9~"), ("%", "%25"),
     ("日", "%E6%97%A5")],
)
def test_credentials_are_percent_encoded(raw: str, encoded: str) -> None:
    t = C(raw, raw, "h@st:1", "d/b")
    assert t.connection_string == f"mysql+pymysql://{encoded}:{encoded}@h@st:1/d/b"


@pytest.mark.parametrize("secret", ["p@ss:w/rd", "pw@other.host:3306/db?x=", "100%", "a+b", "with space", "naïve–Ü",
                                    "日本"])
def test_awkward_credentials_survive_url_parsing(secret: str) -> None:
    url = make_url(C(secret, secret, "db.example.org:3307", "shop").connection_string)
    assert (url.drivername, url.username, url.password) == ("mysql+pymysql", secret, secret)
    assert (url.host, url.port, url.database) == ("db.example.org", 3307, "shop")


@pytest.mark.parametrize(
    ("database", "name", "options"),
    [("p%41", "p%41", {}), ("100%", "100%", {}), ("%%2525", "%%2525", {}),
     ("d%b?charset=utf8%6Db4", "d%b", {"charset": "utf8mb4"})],
    ids=["escape-like", "trailing", "escaped-twice", "options-keep-their-escapes"],
)
def test_percent_in_the_database_name_survives_url_parsing(database: str, name: str, options: dict) -> None:
    url = make_url(C("u", "p", "h", database).connection_string)
    assert (url.database, dict(url.query)) == (name, options)


class _Boom(Exception):
    pass


class _Odd:
    def __init__(self, formatted=None, truth=lambda: True):
        self.formatted, self.truth = formatted, truth

    def __format__(self, fmt):
        return self.formatted()

    def __bool__(self):
        return self.truth()


def _raise():
    raise _Boom()


@pytest.mark.parametrize(
    ("value", "exc_type", "line"),
    [(_Odd(formatted=_raise), _Boom, 21), (_Odd(formatted=lambda: 5), TypeError, 21), (_Odd(truth=_raise), _Boom, 19)],
    ids=["format-raises", "format-not-str", "bool-raises"],
)
@pytest.mark.parametrize("position", [0, 3])
def test_value_failures_write_nothing(value, exc_type, line: int, position: int) -> None:
    t = _blank()
    with pytest.raises(exc_type) as info:
        C.__init__(t, *_with(position, value))
    assert module_entries(info.value) == [[INIT, line]]
    assert vars(t) == {}


@pytest.mark.parametrize("failing", ATTRS)
def test_failing_attribute_store_keeps_earlier_ones(failing: str) -> None:
    class Refusing(C):
        def __setattr__(self, name, value):
            if name == failing:
                raise _Boom(name)
            super().__setattr__(name, value)

    t = Refusing.__new__(Refusing)
    with pytest.raises(_Boom) as info:
        Refusing.__init__(t, "u", "p", "h", "d")
    assert module_entries(info.value) == [[INIT, 21 + ATTRS.index(failing)]]
    assert list(vars(t)) == ATTRS[: ATTRS.index(failing)]


def test_second_init_overwrites_in_place() -> None:
    t = C("u", "p", "h", "d")
    t.engine = object()
    t.extra = 1
    assert C.__init__(t, "w", "x", "y", "z", "/c", "f.pkl") is None
    assert list(vars(t)) == [*ATTRS, "extra"]
    assert (t.connection_string, t.engine, t.cache_path, t.cache_file) == ("mysql+pymysql://w:x@y/z", None, "/c", "f.pkl")


@pytest.mark.parametrize("cache", [None, 7, object(), b"raw"], ids=["none", "int", "object", "bytes"])
def test_cache_location_is_stored_unchecked(cache) -> None:
    t = C("u", "p", "h", "d", cache, cache)
    assert t.cache_path is cache and t.cache_file is cache


@pytest.mark.parametrize(
    ("replacement", "exc_type", "message"),
    [
        (None, NameError, "name 'logging' is not defined"),
        (types.SimpleNamespace(INFO=logging.INFO), AttributeError, "'types.SimpleNamespace' object has no attribute "
         "'basicConfig'"),
        (types.SimpleNamespace(basicConfig=logging.basicConfig), AttributeError, "'types.SimpleNamespace' object has "
         "no attribute 'INFO'"),
    ],
    ids=["deleted", "no-basicConfig", "no-INFO"],
)
def test_logging_failure_comes_after_all_attributes(monkeypatch, replacement, exc_type, message: str) -> None:
    if replacement is None:
        monkeypatch.delattr(tablora, "logging")
    else:
        monkeypatch.setattr(tablora, "logging", replacement)
    t = _blank()
    with pytest.raises(exc_type) as info:
        C.__init__(t, "u", "p", "h", "d")
    assert str(info.value) == message
    assert module_entries(info.value) == [[INIT, 25]]
    assert list(vars(t)) == ATTRS


def test_basicConfig_gets_the_level_alone(monkeypatch) -> None:
    calls = []
    fake = types.SimpleNamespace(INFO="info-level", basicConfig=lambda *a, **k: calls.append((a, k)))
    monkeypatch.setattr(tablora, "logging", fake)
    C("u", "p", "h", "d")
    assert calls == [((), {"level": "info-level"})]


def test_failing_calls_do_not_leak() -> None:
    t = _blank()
    calls = [
        lambda: C(),
        lambda: C("u"),
        lambda: C("u", "p", "h", "d", port=1),
        lambda: C(None, "p", "h", "d"),
        lambda: C.__init__(t, "u", "", "h", "d"),
    ]

    def run(rounds: int) -> None:
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    run(2000)  # warm-up: traceback code objects are cached once per line
    gc.collect()
    before = sys.getallocatedblocks()
    run(20000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
