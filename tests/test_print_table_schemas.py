"""print_table_schemas: the real schemas, and a fake inspector bound as the `inspect` global."""
from __future__ import annotations

import builtins
import collections.abc
import contextlib
import io
import logging

import pytest
import sqlalchemy

import quendsdk.tablora as tablora
from fakes import ITERABLES, Inspector, entries, fresh_tool, log, tools  # noqa: F401


@pytest.fixture(autouse=True)
def info_logs(caplog):
    caplog.set_level(logging.INFO)


def schema_tool(monkeypatch, inspector):
    """A tool whose `inspect` global hands out `inspector` for the tool's engine."""
    tool = fresh_tool()
    tool.engine = engine = object()
    monkeypatch.setattr(tablora, "inspect", lambda e: inspector if e is engine else pytest.fail(f"inspect({e!r})"))
    return tool


def text(*lines: str) -> str:
    return "".join(line + "\n" for line in lines)


@pytest.mark.parametrize(("database", "count"), [("shop", 3 + 11), ("empty_db", 0)])
def test_prints_the_real_schema_in_inspector_order(tools, capsys, caplog, database, count):
    tool = tools(database=database, connect=True)
    caplog.clear()
    assert tool.print_table_schemas() is None
    out = capsys.readouterr().out
    inspector = sqlalchemy.inspect(tool.engine)
    expected = []
    for table in inspector.get_table_names():
        expected.append(f"Table: {table}")
        expected += [f"  {c['name']}: {c['type']}" for c in inspector.get_columns(table)]
    assert len(expected) == count
    assert out == text(*expected)
    assert log(caplog) == []


def test_unconnected_tool_refuses_before_inspecting(capsys, caplog, monkeypatch):
    calls = []
    monkeypatch.setattr(tablora, "inspect", calls.append)
    with pytest.raises(ConnectionError) as info:
        fresh_tool().print_table_schemas()
    assert type(info.value) is ConnectionError
    assert info.value.args == ("Database connection not established.",)
    assert entries(info.value) == [("print_table_schemas", 71)]
    assert (calls, capsys.readouterr().out, log(caplog)) == ([], "", [])


class Column(collections.abc.Mapping):
    """A column that is not a dict and answers every key itself."""

    def __init__(self):
        self.asked = []

    def __getitem__(self, key):
        self.asked.append(key)
        return f"<{key}>"

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class Defaulting(dict):
    def __missing__(self, key):
        return f"default {key}"


class Formatted:
    def __format__(self, fmt):
        return f"format[{fmt}]"

    def __str__(self):
        return "str"


def test_columns_of_any_mapping_shape(capsys, monkeypatch):
    mapping = Column()
    columns = [mapping, Defaulting(name="d"), {"name": "prix€", "type": "😀"}, {"name": 7, "type": Formatted()}]
    inspector = Inspector(["bare", "mixed"], {"bare": [], "mixed": columns})
    assert schema_tool(monkeypatch, inspector).print_table_schemas() is None
    assert capsys.readouterr().out == text(
        "Table: bare", "Table: mixed", "  <name>: <type>", "  d: default type", "  prix€: 😀", "  7: format[]"
    )
    assert mapping.asked == ["name", "type"]


@pytest.mark.parametrize("key", ["name", "type"])
def test_column_without_a_key_is_logged_and_raised(capsys, caplog, monkeypatch, key):
    broken = {"name": "b", "type": "B"}
    del broken[key]
    inspector = Inspector(
        ["t1", "t2"],
        {"t1": [{"name": "a", "type": "A"}], "t2": [{"name": "c", "type": "C"}, broken, {"name": "z", "type": "Z"}]},
    )
    with pytest.raises(KeyError) as info:
        schema_tool(monkeypatch, inspector).print_table_schemas()
    assert info.value.args == (key,)
    assert capsys.readouterr().out == text("Table: t1", "  a: A", "Table: t2", "  c: C")
    assert log(caplog) == [("ERROR", f"Error fetching table schemas: '{key}'")]
    assert entries(info.value) == [("print_table_schemas", 78), ("print_table_schemas", 81)]


@pytest.mark.parametrize(("make", "reverse"), ITERABLES)
def test_tables_and_columns_from_any_iterable(capsys, monkeypatch, make, reverse):
    def columns(table):
        return lambda: make([{"name": f"{table}.x", "type": "X"}, {"name": f"{table}.y", "type": "Y"}])

    inspector = Inspector(make(["t1", "t2"]), {"t1": columns("t1"), "t2": columns("t2")})
    schema_tool(monkeypatch, inspector).print_table_schemas()
    order = (lambda seq: seq[::-1]) if reverse else (lambda seq: seq)
    expected = []
    for table in order(["t1", "t2"]):
        expected += [f"Table: {table}"] + [f"  {table}.{c}: {c.upper()}" for c in order(["x", "y"])]
    assert capsys.readouterr().out == text(*expected)


@pytest.mark.parametrize("where", ["module", "builtins", "stdout"])
def test_lines_go_through_the_import_time_print_to_the_current_stdout(capsys, monkeypatch, where):
    calls, buffer = [], io.StringIO()
    tool = schema_tool(monkeypatch, Inspector(["t"], {"t": [{"name": "a", "type": "A"}]}))
    if where != "stdout":
        monkeypatch.setattr(tablora if where == "module" else builtins, "print", calls.append, raising=False)
    with contextlib.redirect_stdout(buffer) if where == "stdout" else contextlib.nullcontext():
        tool.print_table_schemas()
    expected = text("Table: t", "  a: A")
    assert calls == []
    assert (capsys.readouterr().out, buffer.getvalue()) == (("", expected) if where == "stdout" else (expected, ""))


def test_interrupt_passes_through_unlogged(capsys, caplog, monkeypatch):
    interrupt = KeyboardInterrupt()

    def columns():
        raise interrupt

    with pytest.raises(KeyboardInterrupt) as info:
        schema_tool(monkeypatch, Inspector(["t"], {"t": columns})).print_table_schemas()
    assert info.value is interrupt and entries(interrupt) == [("print_table_schemas", 77)]
    assert capsys.readouterr().out == "Table: t\n" and log(caplog) == []
