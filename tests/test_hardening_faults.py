"""Faults against real MariaDB servers: one stopped in the middle of prepare_data,
one killed between calls, one never listening; a cache on /dev/full, a directory in
the cache file's place, damaged cache files; a column without a type."""
from __future__ import annotations

import errno
import logging
import pickle
import socket
import types

import pandas as pd
import pytest
import sqlalchemy

import quendsdk.tablora as tablora
from mariadb_server import SEEDED_ROWS, MariaDBServer, seed_shop
from tablora_checks import module_entries, qualified

C = tablora.MySQLDatabaseTablora
TABLES = sorted(SEEDED_ROWS)


def _tool(db, cache_dir, cache_file="db_cache.pkl"):
    return C(db.user, db.password, db.host_text, "shop", str(cache_dir), cache_file)


def _errors(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == "root" and r.levelno == logging.ERROR]


def _load_error(path) -> str:
    try:
        with open(path, "rb") as f:
            pickle.load(f)
    except Exception as e:
        return f"Error loading cache: {e}"
    raise AssertionError("the cache loads")


@pytest.fixture
def own_server():
    """A server of this test's own, free to be stopped or killed."""
    server = MariaDBServer()
    db = server.start()
    seed_shop(db)
    yield server, db
    server.stop()


def test_server_stopped_mid_prepare_data(own_server, tmp_path, monkeypatch, caplog) -> None:
    server, db = own_server
    tool = _tool(db, tmp_path)
    tool.connect()
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(b"not a pickle")  # exists but fails to load, so the database is read
    load_error = _load_error(cache)
    seen: list = []

    def read_then_stop(table_name, connection):
        if not seen:
            seen.append(table_name)
            frame = pd.read_sql_table(table_name, connection)
            server.stop()
            return frame
        try:
            return pd.read_sql_table(table_name, connection)
        except Exception as e:
            seen.append(e)
            raise

    monkeypatch.setattr(tablora, "pd", types.SimpleNamespace(read_sql_table=read_then_stop, DataFrame=pd.DataFrame))
    with pytest.raises(sqlalchemy.exc.SQLAlchemyError) as info:
        tool.prepare_data()
    assert seen[0] == TABLES[0] and info.value is seen[-1]
    assert module_entries(info.value) == [[qualified("prepare_data"), line] for line in (66, 53, 56)]
    assert _errors(caplog) == [load_error, f"Error fetching tables: {info.value}"]
    assert cache.read_bytes() == b"not a pickle"  # failed before the write: untouched


def test_server_killed_between_calls(own_server, tmp_path, capsys, caplog) -> None:
    server, db = own_server
    tool = _tool(db, tmp_path)
    tool.connect()
    engine = tool.engine
    server.proc.kill()
    server.proc.wait()
    with pytest.raises(sqlalchemy.exc.OperationalError) as info:
        tool.print_table_schemas()
    assert capsys.readouterr().out == ""
    with pytest.raises(sqlalchemy.exc.OperationalError) as again:
        tool.prepare_data()
    assert _errors(caplog) == [f"Error fetching table schemas: {info.value}", f"Error fetching tables: {again.value}"]
    assert tool.engine is engine
    assert not (tmp_path / "db_cache.pkl").exists()


def test_connect_to_a_closed_port(tmp_path, capsys, caplog) -> None:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # nothing listens there once closed
    tool = C("tool", "toolpw", f"127.0.0.1:{port}", "shop", str(tmp_path))
    with pytest.raises(sqlalchemy.exc.OperationalError) as info:
        tool.connect()
    assert isinstance(tool.engine, sqlalchemy.engine.Engine) and tool.engine.url.port == port
    assert _errors(caplog) == [f"Error connecting to the database: {info.value}"]
    with pytest.raises(sqlalchemy.exc.OperationalError) as later:
        tool.print_table_schemas()  # the untested engine is truthy: the inspection fails
    assert capsys.readouterr().out == ""
    assert _errors(caplog)[1:] == [f"Error fetching table schemas: {later.value}"]


def test_cache_on_dev_full(mariadb, caplog) -> None:
    tool = _tool(mariadb, "/dev", "full")
    tool.connect()
    with pytest.raises(OSError) as info:
        tool.prepare_data()
    assert info.value.errno == errno.ENOSPC
    assert _errors(caplog) == [_load_error("/dev/full"), f"Error fetching tables: {info.value}"]


def test_directory_in_place_of_the_cache(mariadb, tmp_path, caplog) -> None:
    (tmp_path / "db_cache.pkl").mkdir()
    tool = _tool(mariadb, tmp_path)
    tool.connect()
    with pytest.raises(IsADirectoryError) as info:
        tool.prepare_data()
    assert _errors(caplog) == [_load_error(tmp_path / "db_cache.pkl"), f"Error fetching tables: {info.value}"]
    assert (tmp_path / "db_cache.pkl").is_dir()


_VALID = pickle.dumps([pd.DataFrame({"a": [1, 2, 3]})])


@pytest.mark.parametrize("damaged", [_VALID[: len(_VALID) // 2], _VALID[:-1], b"\x80\x04garbage", b""],
                         ids=["half", "last-byte-cut", "garbage", "empty"])
def test_damaged_cache_is_replaced(mariadb, tmp_path, caplog, damaged: bytes) -> None:
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(damaged)
    load_error = _load_error(cache)
    tool = _tool(mariadb, tmp_path)
    tool.connect()
    frames = tool.prepare_data()
    assert [f.name for f in frames] == TABLES
    assert _errors(caplog) == [load_error]
    tool.engine = None  # the next answer can only come from the cache
    again = tool.prepare_data()
    assert [f.name for f in again] == TABLES
    for old, new in zip(frames, again):
        pd.testing.assert_frame_equal(old, new)
    assert [len(f) for f in again] == [len(SEEDED_ROWS[t]) for t in TABLES]


def test_column_without_type(mariadb, tmp_path, monkeypatch, capsys, caplog) -> None:
    tool = _tool(mariadb, tmp_path)
    tool.connect()
    real = sqlalchemy.inspect(tool.engine)
    expected = []
    for table in TABLES[:2]:
        expected.append(f"Table: {table}")
        expected += [f"  {c['name']}: {c['type']}" for c in real.get_columns(table)]
    del expected[-len(real.get_columns(TABLES[1])) + 1:]  # the second table's second column breaks

    class Dropping:
        def __init__(self, engine):
            self.inner = sqlalchemy.inspect(engine)

        def get_table_names(self):
            return self.inner.get_table_names()

        def get_columns(self, table):
            columns = self.inner.get_columns(table)
            if table == TABLES[1]:
                del columns[1]["type"]
            return columns

    monkeypatch.setattr(tablora, "inspect", Dropping)
    with pytest.raises(KeyError) as info:
        tool.print_table_schemas()
    assert info.value.args == ("type",)
    assert capsys.readouterr().out.splitlines() == expected
    assert _errors(caplog) == ["Error fetching table schemas: 'type'"]
