"""Stand-ins bound into the module globals, and helpers shared by the method tests."""
from __future__ import annotations

import sys

import pandas
import pytest
import sqlalchemy

import quendsdk.tablora as tablora
from tablora_checks import module_entries

QUALIFIED_PREFIX = "quendsdk.tablora.MySQLDatabaseTablora."


def entries(exc: BaseException) -> list[tuple[str, int]]:
    """(method, line) of the module's traceback entries, in the order they were added."""
    return [(name.removeprefix(QUALIFIED_PREFIX), line) for name, line in reversed(module_entries(exc))]


def log(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records]


def fresh_tool(**cache) -> tablora.MySQLDatabaseTablora:
    """A tool that never connected; its URL is never used."""
    return tablora.MySQLDatabaseTablora("u", "p", "h", "d", **cache)


@pytest.fixture
def tools(mariadb):
    """Makes tools for the real server; disposes every engine they created."""
    made, engines = [], []

    def make(database="shop", password=None, connect=False, **cache):
        password = mariadb.password if password is None else password
        tool = tablora.MySQLDatabaseTablora(mariadb.user, password, mariadb.host_text, database, **cache)
        made.append(tool)
        if connect:
            tool.connect()
            engines.append(tool.engine)
        return tool

    yield make
    for engine in engines + [tool.engine for tool in made]:
        if isinstance(engine, sqlalchemy.engine.Engine):
            engine.dispose()


class Manager:
    """A context manager that records its protocol calls and sys.exc_info() inside __exit__."""

    def __init__(self, events=None, suppress=False):
        self.events = [] if events is None else events
        self.suppress = suppress
        self.exc_info_in_exit = None

    def __enter__(self):
        self.events.append("enter")
        return self

    def __exit__(self, *args):
        self.events.append(("exit", args))
        self.exc_info_in_exit = sys.exc_info()
        return self.suppress


class FakeEngine:
    def __init__(self, make_connection, events=None):
        self.make_connection = make_connection
        self.events = [] if events is None else events

    def connect(self, *args):
        self.events.append(("connect", args))
        return self.make_connection()


class FakeLogging:
    """Stands in for `logging`; records each call and the exception being handled then."""

    def __init__(self, events):
        self.events = events

    def info(self, *args, **kwargs):
        self.events.append(("info", args, kwargs, sys.exc_info()[1]))

    def error(self, *args, **kwargs):
        self.events.append(("error", args, kwargs, sys.exc_info()[1]))


class Inspector:
    """Table names and per-table columns; a callable value is called for each request."""

    def __init__(self, tables, columns=None):
        self.tables = tables
        self.columns = columns or {}

    def get_table_names(self):
        return self.tables

    def get_columns(self, table):
        value = self.columns[table]
        return value() if callable(value) else value


class SpyPandas:
    """pandas, with read_sql_table recorded and failing for the chosen tables."""

    def __init__(self, fail_on=(), reader=None):
        self.reads = []
        self.fail_on = fail_on
        self.reader = reader or pandas.read_sql_table
        self.error = None

    def __getattr__(self, name):
        return getattr(pandas, name)

    def read_sql_table(self, table, connection):
        self.reads.append((table, connection))
        if table in self.fail_on:
            self.error = RuntimeError(f"cannot read {table}")
            raise self.error
        return self.reader(table, connection)


def tiny_frame(table, connection):
    return pandas.DataFrame({"table": [table]})


class ReversedList(list):
    """A list subclass whose own iterator disagrees with its index order."""

    def __iter__(self):
        return list.__reversed__(self)


class StopIterator:
    """An iterator that ends by raising StopIteration from a Python __next__."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)


# (make an iterable from a list, whether it yields in reverse)
ITERABLES = [
    pytest.param(list, False, id="list"),
    pytest.param(tuple, False, id="tuple"),
    pytest.param(lambda items: (x for x in items), False, id="generator"),
    pytest.param(ReversedList, True, id="list-subclass"),
    pytest.param(StopIterator, False, id="stop-iteration"),
]
