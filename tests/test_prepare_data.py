"""prepare_data: its cache and the real database, and fault paths through fakes in the module globals."""
from __future__ import annotations

import contextlib
import dataclasses
import logging
import pickle
import sys
from decimal import Decimal
from types import SimpleNamespace

import pandas as pd
import pytest
import sqlalchemy

import quendsdk.tablora as tablora
from fakes import (  # noqa: F401
    ITERABLES, FakeEngine, Inspector, Manager, SpyPandas, entries, fresh_tool, log, tiny_frame, tools,
)
from mariadb_server import SEEDED_ROWS

NO_CONNECTION = "Database connection not established."
SHOP_TABLES = sorted(SEEDED_ROWS)


@pytest.fixture(autouse=True)
def info_logs(caplog):
    caplog.set_level(logging.INFO)


@pytest.fixture(scope="module")
def people(mariadb):
    """A database whose one table has a column called `name`."""
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("CREATE DATABASE people CHARACTER SET utf8mb4")
        cur.execute("CREATE TABLE people.users (id INT PRIMARY KEY, name VARCHAR(40))")
        cur.execute("INSERT INTO people.users VALUES (1, 'alice'), (2, 'bob')")
        for host in ("127.0.0.1", "localhost"):
            cur.execute("GRANT ALL ON `people`.* TO %s@%s", (mariadb.user, host))
    yield "people"
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("DROP DATABASE people")


def rows(df: pd.DataFrame) -> list[tuple]:
    return [tuple(None if pd.isna(v) else v for v in row) for row in df.itertuples(index=False)]


def seeded(table: str) -> list[tuple]:
    # read_sql_table gives DECIMAL columns as floats
    return [tuple(float(v) if isinstance(v, Decimal) else v for v in row) for row in SEEDED_ROWS[table]]


def load(path):
    with open(path, "rb") as file:
        return pickle.load(file)


def test_reads_every_table_through_one_connection_then_serves_the_cache(tools, tmp_path, caplog, monkeypatch):
    spy = SpyPandas()
    monkeypatch.setattr(tablora, "pd", spy)
    tool = tools(connect=True, cache_path=str(tmp_path), cache_file="shop.pkl")
    caplog.clear()
    order = sqlalchemy.inspect(tool.engine).get_table_names()
    frames = tool.prepare_data()
    assert type(frames) is list and [f.name for f in frames] == order == SHOP_TABLES
    assert [table for table, _ in spy.reads] == order
    connection = spy.reads[0][1]
    assert isinstance(connection, sqlalchemy.engine.Connection) and connection.closed
    assert all(c is connection for _, c in spy.reads)
    for frame in frames:
        assert rows(frame) == seeded(frame.name)
        assert vars(frame)["name"] == frame.attrs["name"] == frame.name

    cached = load(tmp_path / "shop.pkl")
    assert [type(c) for c in cached] == [pd.DataFrame] * len(order)
    for c, frame in zip(cached, frames):
        pd.testing.assert_frame_equal(c, frame)

    # Served from the file: no engine needed, nothing read, names given back.
    tool.engine = None
    again = tool.prepare_data()
    assert [f.name for f in again] == order and len(spy.reads) == len(order)
    for a, frame in zip(again, frames):
        pd.testing.assert_frame_equal(a, frame)
    assert log(caplog) == []


def test_a_column_called_name_keeps_its_data(tools, people, tmp_path):
    tool = tools(database=people, connect=True, cache_path=str(tmp_path))
    read = tool.prepare_data()
    tool.engine = None
    cached = tool.prepare_data()
    for [users] in (read, cached):
        assert (users.name, users.attrs) == ("users", {"name": "users"})
        assert list(users.columns) == ["id", "name"] and users["name"].tolist() == ["alice", "bob"]


def test_a_database_name_with_a_percent_sign_is_read_as_given(tools, mariadb, tmp_path):
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("CREATE DATABASE `p%41`")
        cur.execute("CREATE TABLE `p%41`.percent_only (id INT)")
        for host in ("127.0.0.1", "localhost"):
            cur.execute("GRANT ALL ON `p%%41`.* TO %s@%s", (mariadb.user, host))
    try:
        frames = tools(database="p%41", connect=True, cache_path=str(tmp_path)).prepare_data()
        assert [f.name for f in frames] == ["percent_only"]
    finally:
        with mariadb.root_connect() as conn, conn.cursor() as cur:
            cur.execute("DROP DATABASE `p%41`")


@pytest.mark.parametrize("obj", [{"k": [1, 2]}, "text", (1, None)], ids=["dict", "str", "tuple"])
def test_any_cached_object_is_returned_unchanged(tmp_path, caplog, obj):
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps(obj))
    got = fresh_tool(cache_path=str(tmp_path)).prepare_data()
    assert type(got) is type(obj) and got == obj and log(caplog) == []


def test_loaded_object_is_returned_itself_after_the_file_is_closed(tmp_path, monkeypatch):
    (tmp_path / "db_cache.pkl").write_bytes(b"x")
    loaded, files = object(), []
    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(load=lambda file: files.append(file) or loaded))
    assert fresh_tool(cache_path=str(tmp_path)).prepare_data() is loaded
    assert len(files) == 1 and files[0].closed


def test_frames_cached_without_a_name_come_back_as_they_were(tmp_path):
    plain = pd.DataFrame({"name": ["x"]})
    named = pd.DataFrame({"v": [1]})
    named.attrs["name"] = "t"
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([plain, named]))
    got_plain, got_named = fresh_tool(cache_path=str(tmp_path)).prepare_data()
    assert "name" not in vars(got_plain) and got_plain.attrs == {}
    assert got_plain["name"].tolist() == ["x"]
    assert vars(got_named)["name"] == "t"


def test_a_loadable_cache_is_served_even_when_names_cannot_be_restored(tmp_path, caplog, monkeypatch):
    named = pd.DataFrame({"v": [1]})
    named.attrs["name"] = "t"
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([named]))
    monkeypatch.setattr(tablora, "pd", SimpleNamespace())  # no DataFrame to recognise frames by
    (got,) = fresh_tool(cache_path=str(tmp_path)).prepare_data()
    assert got.attrs == {"name": "t"} and "name" not in vars(got)
    assert caplog.records == []


@pytest.mark.parametrize(
    "contents", [b"", b"garbage", pickle.dumps([1, 2])[:-3]], ids=["empty", "corrupt", "truncated"]
)
def test_unloadable_cache_is_logged_then_rewritten_from_the_database(tools, tmp_path, caplog, contents):
    path = tmp_path / "db_cache.pkl"
    path.write_bytes(contents)
    with pytest.raises(Exception) as failure:
        load(path)
    tool = tools(connect=True, cache_path=str(tmp_path))
    caplog.clear()
    assert [f.name for f in tool.prepare_data()] == SHOP_TABLES
    assert log(caplog) == [("ERROR", "Error loading cache: " + str(failure.value))]
    assert [c.attrs["name"] for c in load(path)] == SHOP_TABLES


class Probe(Exception):
    """Records its traceback entries and the handled exception when its text is taken for the log."""

    def __str__(self):
        self.seen = entries(self)
        self.handled = sys.exc_info()[1]
        return "probe"


def test_cache_error_is_logged_with_its_entries_then_no_engine_refuses(tmp_path, caplog, monkeypatch):
    path = tmp_path / "db_cache.pkl"
    path.write_bytes(b"anything")
    probe, opened = Probe(), []

    def fail_load(file):
        opened.append((file.name, file.mode))
        raise probe

    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(load=fail_load))
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        with pytest.raises(ConnectionError) as info:
            fresh_tool(cache_path=str(tmp_path)).prepare_data()
        assert sys.exc_info()[1] is outer
    assert opened == [(str(path), "rb")]
    assert probe.seen == [("prepare_data", 44), ("prepare_data", 43)] and probe.handled is probe
    assert log(caplog) == [("ERROR", "Error loading cache: probe")]
    assert entries(info.value) == [("prepare_data", 49)]
    assert path.read_bytes() == b"anything"


@pytest.mark.parametrize("engine", [None, 0, "", []], ids=repr)
def test_no_cache_and_no_engine_refuses(tmp_path, caplog, engine):
    tool = fresh_tool(cache_path=str(tmp_path))
    tool.engine = engine
    with pytest.raises(ConnectionError) as info:
        tool.prepare_data()
    assert type(info.value) is ConnectionError and info.value.args == (NO_CONNECTION,)
    assert entries(info.value) == [("prepare_data", 49)]
    assert log(caplog) == [] and list(tmp_path.iterdir()) == []


def test_database_without_tables_caches_an_empty_list(tools, tmp_path):
    tool = tools(database="empty_db", connect=True, cache_path=str(tmp_path))
    assert tool.prepare_data() == []
    assert load(tmp_path / "db_cache.pkl") == []
    tool.engine = None
    assert tool.prepare_data() == []


@pytest.mark.parametrize(
    ("cache_path", "cache_file", "error"),
    [("missing", "db_cache.pkl", FileNotFoundError), (".", "sub", IsADirectoryError)],
    ids=["missing-directory", "names-a-directory"],
)
def test_unwritable_cache_is_logged_and_raised_after_every_read(
    tools, tmp_path, caplog, monkeypatch, cache_path, cache_file, error
):
    (tmp_path / "sub").mkdir()
    spy = SpyPandas()
    monkeypatch.setattr(tablora, "pd", spy)
    tool = tools(connect=True, cache_path=str(tmp_path / cache_path), cache_file=cache_file)
    caplog.clear()
    with pytest.raises(error) as info:
        tool.prepare_data()
    assert [table for table, _ in spy.reads] == SHOP_TABLES
    assert entries(info.value) == [("prepare_data", 60), ("prepare_data", 66)]
    fetching = ("ERROR", "Error fetching tables: " + str(info.value))
    if error is IsADirectoryError:  # the read was tried first and failed the same way
        assert log(caplog) == [("ERROR", "Error loading cache: " + str(info.value)), fetching]
    else:
        assert log(caplog) == [fetching]
    assert [p.name for p in tmp_path.iterdir()] == ["sub"] and not any((tmp_path / "sub").iterdir())


def test_failing_table_read_drops_the_frames_and_writes_nothing(tools, tmp_path, caplog, monkeypatch):
    spy = SpyPandas(fail_on={"orders"})
    monkeypatch.setattr(tablora, "pd", spy)
    tool = tools(connect=True, cache_path=str(tmp_path))
    caplog.clear()
    with pytest.raises(RuntimeError) as info:
        tool.prepare_data()
    assert info.value is spy.error and [table for table, _ in spy.reads] == ["customers", "orders"]
    assert entries(spy.error) == [("prepare_data", 56), ("prepare_data", 53), ("prepare_data", 66)]
    assert log(caplog) == [("ERROR", "Error fetching tables: cannot read orders")]
    assert spy.reads[0][1].closed and list(tmp_path.iterdir()) == []


def test_failing_cache_write_is_raised_and_the_next_call_reads_again(tools, tmp_path, caplog, monkeypatch):
    error, dumped = OSError("disk full"), []

    def dump(obj, file):
        dumped.append(([f.name for f in obj], file.mode))
        raise error

    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(dump=dump, load=pickle.load))
    tool = tools(connect=True, cache_path=str(tmp_path))
    caplog.clear()
    with pytest.raises(OSError) as info:
        tool.prepare_data()
    assert info.value is error and dumped == [(SHOP_TABLES, "wb")]
    assert entries(error) == [("prepare_data", 61), ("prepare_data", 60), ("prepare_data", 66)]
    assert log(caplog) == [("ERROR", "Error fetching tables: disk full")]
    path = tmp_path / "db_cache.pkl"
    assert path.read_bytes() == b""

    # The truncated file does not load, so the next call goes back to the database.
    monkeypatch.setattr(tablora, "pickle", pickle)
    caplog.clear()
    assert [f.name for f in tool.prepare_data()] == SHOP_TABLES
    assert log(caplog) == [("ERROR", "Error loading cache: Ran out of input")]
    assert [c.attrs["name"] for c in load(path)] == SHOP_TABLES


def test_deleted_os_global_is_a_name_error(monkeypatch):
    monkeypatch.delattr(tablora, "os")
    with pytest.raises(NameError) as info:
        fresh_tool().prepare_data()
    assert str(info.value) == "name 'os' is not defined"
    assert entries(info.value) == [("prepare_data", 40)]


@pytest.mark.parametrize(("method", "line"), [("prepare_data", 49), ("print_table_schemas", 71)])
def test_connection_error_global_is_resolved_at_call_time(tmp_path, monkeypatch, method, line):
    class Refused(Exception):
        pass

    monkeypatch.setattr(tablora, "ConnectionError", Refused, raising=False)
    with pytest.raises(Refused) as info:
        getattr(fresh_tool(cache_path=str(tmp_path)), method)()
    assert info.value.args == (NO_CONNECTION,) and entries(info.value) == [(method, line)]


def fake_database(monkeypatch, tmp_path, tables, manager=None, fail_on=()):
    """A tool on a fake engine; `inspect` answers `tables` for that engine only."""
    engine = FakeEngine(lambda: manager or Manager())
    seen = []
    monkeypatch.setattr(tablora, "inspect", lambda e: seen.append(e) or Inspector(tables))
    spy = SpyPandas(fail_on=fail_on, reader=tiny_frame)
    monkeypatch.setattr(tablora, "pd", spy)
    tool = fresh_tool(cache_path=str(tmp_path))
    tool.engine = engine
    return tool, spy, lambda: seen == [engine]


def test_suppressed_read_error_caches_and_returns_the_frames_so_far(tmp_path, caplog, monkeypatch):
    manager = Manager(suppress=True)
    tool, spy, inspected_engine = fake_database(monkeypatch, tmp_path, ["a", "b", "c"], manager, {"b"})
    try:
        raise LookupError("outer")
    except LookupError as outer:
        frames = tool.prepare_data()
        assert sys.exc_info()[1] is outer
    err = spy.error
    assert [f.name for f in frames] == ["a"] and inspected_engine()
    assert spy.reads == [("a", manager), ("b", manager)]
    assert manager.events == ["enter", ("exit", (RuntimeError, err, err.__traceback__))]
    assert manager.exc_info_in_exit == (RuntimeError, err, err.__traceback__)
    assert entries(err) == [("prepare_data", 56)]
    assert [c.attrs["name"] for c in load(tmp_path / "db_cache.pkl")] == ["a"]
    assert log(caplog) == []


@pytest.mark.parametrize(("make", "reverse"), ITERABLES)
def test_table_names_from_any_iterable(tmp_path, monkeypatch, make, reverse):
    tool, _, inspected_engine = fake_database(monkeypatch, tmp_path, make(["a", "b", "c"]))
    expected = ["c", "b", "a"] if reverse else ["a", "b", "c"]
    frames = tool.prepare_data()
    assert [f["table"][0] for f in frames] == [f.name for f in frames] == expected
    assert inspected_engine()


@pytest.mark.parametrize("make", [lambda: SimpleNamespace(), lambda: type("Slotted", (), {"__slots__": ("name",)})()],
                         ids=["no-attrs", "no-instance-dict"])
def test_objects_other_than_frames_still_get_their_name(tmp_path, monkeypatch, make):
    monkeypatch.setattr(tablora, "pd", SimpleNamespace(read_sql_table=lambda table, conn: make()))
    monkeypatch.setattr(tablora, "inspect", lambda engine: SimpleNamespace(get_table_names=lambda: ["t1"]))
    tool = fresh_tool(cache_path=str(tmp_path))
    tool.engine = SimpleNamespace(connect=lambda: contextlib.nullcontext())
    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(dump=lambda obj, file: None))
    (got,) = tool.prepare_data()
    assert got.name == "t1"


@dataclasses.dataclass(frozen=True)
class Frozen:
    pass


class Recording:
    def __init__(self):
        object.__setattr__(self, "assigned", [])

    def __setattr__(self, name, value):
        self.assigned.append((name, value))
        object.__setattr__(self, name, value)


class FrameSubclass(pd.DataFrame):
    pass


@pytest.mark.parametrize("make", [Frozen, Recording, lambda: FrameSubclass({"name": ["kept"]})],
                         ids=["frozen-dataclass", "own-setattr", "frame-subclass"])
def test_only_pandas_frames_bypass_their_own_setattr(tmp_path, caplog, monkeypatch, make):
    made = make()
    monkeypatch.setattr(tablora, "pd", SimpleNamespace(read_sql_table=lambda table, conn: made,
                                                       DataFrame=pd.DataFrame))
    monkeypatch.setattr(tablora, "inspect", lambda engine: SimpleNamespace(get_table_names=lambda: ["t1"]))
    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(dump=lambda obj, file: None))
    tool = fresh_tool(cache_path=str(tmp_path))
    tool.engine = SimpleNamespace(connect=contextlib.nullcontext)
    if make is Frozen:
        with pytest.raises(dataclasses.FrozenInstanceError) as info:
            tool.prepare_data()
        assert entries(info.value) == [("prepare_data", 57), ("prepare_data", 53), ("prepare_data", 66)]
        assert log(caplog) == [("ERROR", "Error fetching tables: " + str(info.value))] and "name" not in vars(made)
        return
    (got,) = tool.prepare_data()
    assert got is made
    if make is Recording:
        assert made.assigned == [("name", "t1")]
    else:
        assert made["name"].tolist() == ["kept"] and vars(made)["name"] == made.attrs["name"] == "t1"


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
def test_an_interrupt_while_restoring_names_is_not_lost(tmp_path, caplog, monkeypatch, exc_type):
    named = pd.DataFrame({"name": ["alice"]})
    named.attrs["name"] = "users"
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([named]))

    class Interrupting(type):
        def __instancecheck__(cls, obj):
            raise exc_type()

    monkeypatch.setattr(tablora, "pd", SimpleNamespace(DataFrame=Interrupting("DataFrame", (), {})))
    expected = ConnectionError if exc_type is MemoryError else exc_type
    with pytest.raises(expected) as info:
        fresh_tool(cache_path=str(tmp_path)).prepare_data()
    if exc_type is MemoryError:  # fails the load like pickle.load would: logged, then the database
        assert log(caplog) == [("ERROR", "Error loading cache: ")]
        assert entries(info.value) == [("prepare_data", 49)]
    else:
        assert entries(info.value) == [("prepare_data", 44), ("prepare_data", 43)]
        assert log(caplog) == []


class NamedClass:
    name = ["class attribute"]


@pytest.mark.parametrize("made", [NamedClass, int], ids=["class", "immutable-type"])
def test_a_type_object_is_named_by_ordinary_assignment(tmp_path, monkeypatch, made):
    assert made.__dict__.get("name") is getattr(made, "name", None)  # primes the attribute cache
    monkeypatch.setattr(tablora, "pd", SimpleNamespace(read_sql_table=lambda table, conn: made))
    monkeypatch.setattr(tablora, "inspect", lambda engine: SimpleNamespace(get_table_names=lambda: ["t1"]))
    monkeypatch.setattr(tablora, "pickle", SimpleNamespace(dump=lambda obj, file: None))
    tool = fresh_tool(cache_path=str(tmp_path))
    tool.engine = SimpleNamespace(connect=lambda: contextlib.nullcontext())
    if made is int:
        with pytest.raises(TypeError, match="immutable type") as info:
            tool.prepare_data()
        assert entries(info.value)[:1] == [("prepare_data", 57)] and "name" not in int.__dict__
    else:
        (got,) = tool.prepare_data()
        assert got.name is got.__dict__["name"] == "t1"
