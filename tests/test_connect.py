"""connect against the real server, and its fault paths through fakes in the module globals."""
from __future__ import annotations

import logging
import sys

import pytest
import sqlalchemy
import sqlalchemy.exc

import quendsdk.tablora as tablora
from fakes import FakeEngine, FakeLogging, Manager, entries, fresh_tool, log, tools  # noqa: F401

CONNECTED = "Successfully connected to the database."
PREFIX = "Error connecting to the database: "
KEEP = object()


@pytest.fixture(autouse=True)
def info_logs(caplog):
    caplog.set_level(logging.INFO)


def spy_create_engine(monkeypatch) -> list:
    """Binds a create_engine that makes real engines and keeps each one."""
    made, real = [], tablora.create_engine

    def create_engine(url):
        made.append(real(url))
        return made[-1]

    monkeypatch.setattr(tablora, "create_engine", create_engine)
    return made


def raising(error):
    def create_engine(url):
        raise error
    return create_engine


def test_connects_through_one_connection_and_logs_success(tools, caplog) -> None:
    tool = tools()
    assert tool.connect() is None
    assert isinstance(tool.engine, sqlalchemy.engine.Engine)
    assert tool.engine.url.render_as_string(hide_password=False) == tool.connection_string
    # One connection was opened and given back before connect returned.
    assert (tool.engine.pool.checkedin(), tool.engine.pool.checkedout()) == (1, 0)
    assert log(caplog) == [("INFO", CONNECTED)]


def test_refused_login_is_logged_reraised_and_the_engine_kept(tools, caplog, capsys, monkeypatch) -> None:
    made = spy_create_engine(monkeypatch)
    tool = tools(password="wrong")
    with pytest.raises(sqlalchemy.exc.OperationalError) as info:
        tool.connect()
    assert info.value.orig.args[0] == 1045  # access denied
    assert log(caplog) == [("ERROR", PREFIX + str(info.value))]
    assert entries(info.value) == [("connect", 31), ("connect", 36)]
    assert len(made) == 1 and tool.engine is made[0]

    # The untested engine is truthy: the schema printer fails on its first access.
    caplog.clear()
    with pytest.raises(sqlalchemy.exc.OperationalError) as again:
        tool.print_table_schemas()
    assert log(caplog) == [("ERROR", "Error fetching table schemas: " + str(again.value))]
    assert entries(again.value) == [("print_table_schemas", 74), ("print_table_schemas", 81)]
    assert capsys.readouterr().out == ""


def test_second_connect_keeps_the_second_engine(tools, caplog, monkeypatch) -> None:
    made = spy_create_engine(monkeypatch)
    tool = tools()
    tool.connect()
    tool.connect()
    try:
        assert len(made) == 2 and made[0] is not made[1] and tool.engine is made[1]
        assert log(caplog) == [("INFO", CONNECTED)] * 2
    finally:
        made[0].dispose()


@pytest.mark.parametrize(
    ("target", "error", "caught"),
    [
        pytest.param(KEEP, RuntimeError("no driver"), False, id="not-sqlalchemy"),
        pytest.param(KEEP, sqlalchemy.exc.ArgumentError("bad url"), True, id="sqlalchemy"),
        pytest.param((ValueError, KeyError), ValueError("value"), True, id="tuple-first"),
        pytest.param((ValueError, KeyError), KeyError("key"), True, id="tuple-second"),
        pytest.param((ValueError, KeyError), sqlalchemy.exc.ArgumentError("x"), False, id="tuple-miss"),
    ],
)
def test_create_engine_failure_leaves_the_engine(caplog, monkeypatch, target, error, caught) -> None:
    monkeypatch.setattr(tablora, "create_engine", raising(error))
    if target is not KEEP:
        monkeypatch.setattr(tablora, "SQLAlchemyError", target)
    tool = fresh_tool()
    tool.engine = before = object()
    with pytest.raises(type(error)) as info:
        tool.connect()
    assert info.value is error and tool.engine is before
    assert log(caplog) == ([("ERROR", PREFIX + str(error))] if caught else [])
    assert entries(error) == [("connect", 29)] + ([("connect", 36)] if caught else [])


def test_exception_name_is_resolved_only_on_failure(caplog, monkeypatch) -> None:
    monkeypatch.delattr(tablora, "SQLAlchemyError")
    monkeypatch.setattr(tablora, "create_engine", lambda url: FakeEngine(Manager))
    assert fresh_tool().connect() is None

    monkeypatch.setattr(tablora, "create_engine", raising(RuntimeError("boom")))
    with pytest.raises(NameError) as info:
        fresh_tool().connect()
    assert str(info.value) == "name 'SQLAlchemyError' is not defined"
    assert entries(info.value) == [("connect", 34)]
    # the exception under test stays reachable, as in a Python except clause
    assert isinstance(info.value.__context__, RuntimeError)
    assert log(caplog) == [("INFO", CONNECTED)]


class EnterOnly:
    def __enter__(self):
        return self


class ExitOnly:
    def __exit__(self, *args):
        return False


class Neither:
    pass


def on_instance():
    obj = Neither()
    obj.__enter__ = lambda: obj
    obj.__exit__ = lambda *args: False
    return obj


@pytest.mark.parametrize(
    ("make", "missing"),
    [(EnterOnly, "__exit__"), (ExitOnly, "__enter__"), (Neither, "__exit__"), (on_instance, "__exit__")],
    ids=["no-exit", "no-enter", "neither", "on-instance"],
)
def test_test_connection_needs_the_context_methods_on_its_type(caplog, monkeypatch, make, missing) -> None:
    engine = FakeEngine(make)
    monkeypatch.setattr(tablora, "create_engine", lambda url: engine)
    tool = fresh_tool()
    with pytest.raises(AttributeError) as info:
        tool.connect()
    assert type(info.value) is AttributeError and info.value.args == (missing,)
    assert entries(info.value) == [("connect", 31)]
    assert tool.engine is engine and log(caplog) == []


def test_connection_is_closed_before_the_success_record(monkeypatch) -> None:
    events, urls = [], []
    engine = FakeEngine(lambda: Manager(events), events)
    monkeypatch.setattr(tablora, "create_engine", lambda url: urls.append(url) or engine)
    tool = fresh_tool()
    monkeypatch.setattr(tablora, "logging", FakeLogging(events))
    assert tool.connect() is None
    assert urls == [tool.connection_string]
    assert events == [("connect", ()), "enter", ("exit", (None, None, None)), ("info", (CONNECTED,), {}, None)]


@pytest.mark.parametrize(
    ("error", "level"),
    [(None, "info"), (sqlalchemy.exc.ArgumentError("caught"), "error"), (RuntimeError("passed"), None)],
    ids=["ok", "caught", "passed"],
)
def test_handled_exception_is_the_caught_one_while_logging_then_given_back(monkeypatch, error, level) -> None:
    monkeypatch.setattr(tablora, "create_engine", raising(error) if error else lambda url: FakeEngine(Manager))
    tool, events = fresh_tool(), []
    monkeypatch.setattr(tablora, "logging", FakeLogging(events))
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        try:
            tool.connect()
        except Exception as inner:
            assert inner is error
        else:
            assert error is None
        assert sys.exc_info()[1] is outer
    if level == "info":
        assert events == [("info", (CONNECTED,), {}, outer)]
    else:
        assert events == ([("error", (PREFIX + str(error),), {}, error)] if level else [])


def test_a_caught_error_leaves_no_exception_state_in_a_generator(monkeypatch) -> None:
    # Each clause puts back the very state it found; an outer handled
    # exception must not end up in the generator's own state.
    monkeypatch.setattr(tablora, "create_engine", raising(sqlalchemy.exc.SQLAlchemyError("no")))

    def steps():
        try:
            fresh_tool().connect()
        except sqlalchemy.exc.SQLAlchemyError:
            pass
        yield sys.exc_info()[1]
        yield sys.exc_info()[1]

    try:
        raise KeyError("outer")
    except KeyError as outer:
        it = steps()
        assert next(it) is outer  # seen through the generator while handled outside
    assert next(it) is None
