from __future__ import annotations

import gc

import pymysql
import pytest
import sqlalchemy

from mariadb_server import CUSTOMERS, SEEDED_ROWS, MariaDB, MariaDBServer


def test_tool_user_reaches_seeded_shop_over_tcp(mariadb: MariaDB) -> None:
    url = f"mysql+pymysql://{mariadb.user}:{mariadb.password}@{mariadb.host_text}/shop"
    assert url == mariadb.url()
    engine = sqlalchemy.create_engine(url)
    try:
        with engine.connect() as conn:
            count = conn.execute(sqlalchemy.text("SELECT COUNT(*) FROM customers")).scalar_one()
            who = conn.execute(sqlalchemy.text("SELECT CURRENT_USER()")).scalar_one()
        assert count == len(CUSTOMERS)
        # Matched the TCP account, so the login really went through grant tables.
        assert who == "tool@127.0.0.1"
        assert sqlalchemy.inspect(engine).get_table_names() == sorted(SEEDED_ROWS)
    finally:
        engine.dispose()


@pytest.mark.parametrize(
    ("user", "password", "database", "errno"),
    [
        # 1045: access denied for user; 1044: access denied to database.
        pytest.param("tool", "wrong", "shop", 1045, id="wrong-password"),
        pytest.param("nobody", "toolpw", "shop", 1045, id="unknown-user"),
        pytest.param("tool", "toolpw", "mysql", 1044, id="database-not-granted"),
    ],
)
def test_logins_are_enforced(
    mariadb: MariaDB, user: str, password: str, database: str, errno: int
) -> None:
    engine = sqlalchemy.create_engine(mariadb.url(database=database, user=user, password=password))
    try:
        with pytest.raises(sqlalchemy.exc.OperationalError) as info:
            engine.connect().close()
        assert isinstance(info.value.orig, pymysql.err.OperationalError)
        assert info.value.orig.args[0] == errno
    finally:
        engine.dispose()


@pytest.mark.slow
def test_a_server_start_and_stop_leave_no_socket_open(recwarn) -> None:
    gc.collect()
    with MariaDBServer():
        pass
    gc.collect()  # a socket left open dies in a reference cycle
    assert [str(w.message) for w in recwarn if issubclass(w.category, ResourceWarning)] == []
