"""Hostile values: special methods that raise or answer with odd types, odd keyword
names, odd cache paths and inspectors, huge strings. Each gives a clear exception
or a correct result, and the tool stays as defined."""
from __future__ import annotations

import logging
import types

import pandas as pd
import pytest

import quendsdk.tablora as tablora
from tablora_checks import module_entries, qualified

C = tablora.MySQLDatabaseTablora
U, P, H, D = "u", "p", "h", "d"


class Refusal(Exception):
    pass


def _refuse(text):
    def refuse(*args):
        raise Refusal(text)
    return refuse


FormatRaises = type("FormatRaises", (), {"__format__": _refuse("no format")})
FormatInt = type("FormatInt", (), {"__format__": lambda self, fmt: 5})
BoolRaises = type("BoolRaises", (), {"__bool__": _refuse("no truth")})
BoolInt = type("BoolInt", (), {"__bool__": lambda self: 2})
# Never compared or hashed by the constructor.
EqHashRaises = type("EqHashRaises", (), {"__eq__": _refuse("no eq"), "__hash__": _refuse("no hash"),
                                         "__format__": lambda self, fmt: "fine"})
OwnFormat = type("OwnFormat", (str,), {"__format__": lambda self, fmt: "formatted"})  # a str subclass's own
NeverEq = type("NeverEq", (str,), {"__eq__": lambda self, other: False, "__hash__": str.__hash__})
AlwaysEq = type("AlwaysEq", (str,), {"__eq__": lambda self, other: True, "__hash__": str.__hash__})
TruthRaises = type("TruthRaises", (str,), {"__eq__": lambda self, other: BoolRaises(), "__hash__": str.__hash__})


def _errors(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == "root" and r.levelno >= logging.ERROR]


@pytest.mark.parametrize(("slot", "value", "exc", "message", "line"), [
    (2, FormatRaises(), Refusal, "no format", 21),
    (0, FormatInt(), TypeError, "__format__ must return a str, not int", 21),
    (1, BoolRaises(), Refusal, "no truth", 19),
    (3, BoolInt(), TypeError, "__bool__ should return bool, returned int", 19),
    # Credentials are percent-encoded from UTF-8, which a lone surrogate has not.
    (1, "\udc80", UnicodeEncodeError, "'utf-8' codec can't encode character '\\udc80' in position 0: "
     "surrogates not allowed", 21),
], ids=["format-raises", "format-int", "bool-raises", "bool-int", "surrogate-password"])
def test_constructor_refuses_hostile_values(slot, value, exc, message, line) -> None:
    tool = C(U, P, H, D)
    before = dict(tool.__dict__)
    args = [U, P, H, D]
    args[slot] = value
    with pytest.raises(exc) as info:
        tool.__init__(*args)
    assert str(info.value) == message
    assert module_entries(info.value)[-1] == [qualified("__init__"), line]
    assert tool.__dict__ == before  # nothing written


def test_constructor_formats_odd_but_harmless_values() -> None:
    t = C(OwnFormat("user"), "pw", EqHashRaises(), OwnFormat("db"))
    assert t.connection_string == "mysql+pymysql://formatted:pw@fine/formatted"


def test_odd_keyword_names() -> None:
    # Optional parameters fall back to the text once __eq__ has said no ...
    t = C(U, P, H, D, **{NeverEq("cache_file"): "F"})
    assert (t.cache_path, t.cache_file) == (".", "F")
    # ... a required one is looked up through __eq__ alone ...
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 5 positional arguments \(4 given\)$"):
        C(U, P, H, **{NeverEq("database"): D})
    # ... which may claim the first parameter still open.
    t = C(U, P, H, D, **{AlwaysEq("port"): "X"})
    assert (t.cache_path, t.cache_file) == ("X", "db_cache.pkl")
    with pytest.raises(Refusal, match="^no truth$"):
        C(U, P, H, **{TruthRaises("database"): D})


@pytest.mark.parametrize("cache_path", [None, 5])
def test_cache_path_of_the_wrong_type(cache_path, caplog) -> None:
    tool = C(U, P, H, D, cache_path)
    with pytest.raises(TypeError) as info:
        tool.prepare_data()
    assert module_entries(info.value) == [[qualified("prepare_data"), 40]]
    assert _errors(caplog) == []


class Manager:
    def __init__(self, exit_result=None):
        self.exit_result = exit_result

    def __enter__(self):
        return "connection"

    def __exit__(self, *exc):
        return self.exit_result


class Inspector:
    def __init__(self, names, columns=None):
        self.names, self.columns = names, columns or {}

    def get_table_names(self):
        return self.names

    def get_columns(self, table_name):
        return self.columns.get(table_name, [])


@pytest.fixture
def connected(monkeypatch, tmp_path):
    """A tool whose engine, inspector and pandas are fakes; set `.inspector`, `.read`."""
    ns = types.SimpleNamespace(inspector=Inspector([]), exit_result=None, reads=[])
    ns.engine = types.SimpleNamespace(connect=lambda: Manager(ns.exit_result))

    def read(table_name, connection):
        ns.reads.append((table_name, connection))
        return pd.DataFrame({"x": [1]})

    ns.read = read
    monkeypatch.setattr(tablora, "inspect", lambda engine: ns.inspector)
    monkeypatch.setattr(tablora, "pd", types.SimpleNamespace(read_sql_table=lambda *a: ns.read(*a),
                                                             DataFrame=pd.DataFrame))
    ns.tool = C(U, P, H, D, str(tmp_path))
    ns.tool.engine = ns.engine
    return ns


def test_non_str_table_names(connected, capsys) -> None:
    connected.inspector = Inspector([1, 2.5], {1: [{"name": 10, "type": None}]})
    connected.tool.print_table_schemas()
    assert capsys.readouterr().out == "Table: 1\n  10: None\nTable: 2.5\n"
    frames = connected.tool.prepare_data()
    assert connected.reads == [(1, "connection"), (2.5, "connection")]
    assert [f.name for f in frames] == [1, 2.5]
    connected.tool.engine = None
    assert [f.name for f in connected.tool.prepare_data()] == [1, 2.5]  # back from the cache


@pytest.mark.parametrize(("names", "columns", "exc", "printed"), [
    (5, {}, TypeError, ""),
    (iter([]), {}, None, ""),
    (["a", FormatInt()], {}, TypeError, "Table: a\n"),
    (["a"], {"a": [{"name": "id", "type": "INT"}, {"name": "x"}]}, KeyError, "Table: a\n  id: INT\n"),
    (["a"], {"a": [{"name": "id", "type": FormatRaises()}]}, Refusal, "Table: a\n"),
    (["a"], {"a": (c for c in [{"name": "id", "type": "INT"}, 1 / 1, {}])}, TypeError, "Table: a\n  id: INT\n"),
], ids=["names-not-iterable", "empty-iterator", "name-format-int", "column-without-type",
        "type-format-raises", "column-not-subscriptable"])
def test_schema_printing_with_hostile_inspectors(connected, capsys, caplog, names, columns, exc, printed) -> None:
    connected.inspector = Inspector(names, columns)
    if exc is None:
        assert connected.tool.print_table_schemas() is None
    else:
        with pytest.raises(exc) as info:
            connected.tool.print_table_schemas()
        assert _errors(caplog) == [f"Error fetching table schemas: {info.value}"]
    assert capsys.readouterr().out == printed


def test_table_list_emptied_while_printing(connected, capsys) -> None:
    names = ["a", "b", "c"]
    connected.inspector = Inspector(names, {"a": [{"name": "id", "type": "INT"}]})
    connected.inspector.get_columns = lambda table_name: (names.clear(), [{"name": "id", "type": table_name}])[1]
    connected.tool.print_table_schemas()  # a list is walked by index with its length read again
    assert capsys.readouterr().out == "Table: a\n  id: a\n"


@pytest.mark.parametrize(("names", "exit_result", "exc"), [
    (5, None, TypeError),
    (["a"], BoolRaises(), Refusal),
], ids=["names-not-iterable", "exit-result-truth-raises"])
def test_prepare_data_with_hostile_inspectors(connected, tmp_path, caplog, names, exit_result, exc) -> None:
    connected.inspector, connected.exit_result = Inspector(names), exit_result

    def read(*args):
        raise LookupError("table gone")

    connected.read = read
    with pytest.raises(exc) as info:
        connected.tool.prepare_data()
    assert _errors(caplog) == [f"Error fetching tables: {info.value}"]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("where", ["print", "prepare"])
def test_engine_whose_truth_raises(connected, caplog, where) -> None:
    connected.tool.engine = BoolRaises()
    call, line = ((connected.tool.print_table_schemas, 70) if where == "print"
                  else (connected.tool.prepare_data, 48))
    with pytest.raises(Refusal) as info:
        call()
    assert module_entries(info.value) == [[qualified(call.__name__), line]]
    assert _errors(caplog) == []


@pytest.mark.parametrize(("password", "host", "encoded"), [
    ("p" * 10_000_000, "h", "p" * 10_000_000),
    ("@:/" * 3_333_334, "h", "%40%3A%2F" * 3_333_334),
    ("pw", "\U0001F600" * 2_500_000 + "é", "pw"),
], ids=["ascii-10MB", "reserved-10MB", "astral-host-10MB"])
def test_huge_strings(password, host, encoded) -> None:
    t = C("user", password, host, "db")
    assert t.connection_string == f"mysql+pymysql://user:{encoded}@{host}/db"
    assert len(t.connection_string) == 19 + 4 + len(encoded) + len(host) + 2
