"""`run --driver`: mysqlclient under the tool's engine gives the frames PyMySQL gives."""

from __future__ import annotations

import importlib.util
from collections.abc import Iterator
from pathlib import Path

import pandas
import pytest

from cli_helpers import error_lines, login, private_home, run_cli, with_password  # noqa: F401
from mariadb_server import MariaDB

HAVE_MYSQLCLIENT = importlib.util.find_spec("MySQLdb") is not None
COLUMNS = """i INT, ti TINYINT, si SMALLINT, mi MEDIUMINT, bi BIGINT, ui INT UNSIGNED,
    ubi BIGINT UNSIGNED, d DECIMAL(10,2), dd DECIMAL(30,10), f FLOAT, db DOUBLE, c CHAR(5),
    v VARCHAR(40), tx TEXT, mt MEDIUMTEXT, bl BLOB, bn BINARY(4), vb VARBINARY(10),
    dt DATE, dtt DATETIME, ts TIMESTAMP NULL, tm TIME, tm6 TIME(6), dtt6 DATETIME(6),
    b1 BIT(1), b8 BIT(8), e ENUM('a','b'), st SET('x','y','z'), j JSON, yr YEAR"""
ROWS = {
    "full": """(1, -1, 300, -70000, 9007199254740993, 4000000000, 18446744073709551615, 1.25,
        12345678901234567890.0123456789, 1.5, 2.25, 'ab', 'héllo 😀', 'long 😀 text', 'm',
        x'00ff', x'01020304', x'0a', '2024-01-02', '2024-01-02 03:04:05',
        '2024-01-02 03:04:05', '25:00:01', '-01:02:03.5', '9999-12-31 23:59:59.999999',
        b'1', b'10101010', 'a', 'x,z', '{"k": [1, "😀"]}', 2024)""",
    "nulls": "(" + ", ".join(["NULL"] * 30) + ")",
    "zeros": """(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '', '', '', '', x'', x'00000000', x'',
        '0000-00-00', '0000-00-00 00:00:00', '0000-00-00 00:00:00', '838:59:59', '00:00:00',
        '0000-00-00 00:00:00', b'0', b'0', 'b', '', 'null', 0)""",
}
# Tables: every row kind alone (NULLs change dtypes), all of them, and none.
TABLES = {"full": ["full"], "zeros": ["zeros"], "mixed": ["full", "nulls", "zeros"], "empty": []}


@pytest.fixture(scope="module")
def types_database(mariadb: MariaDB) -> Iterator[str]:
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("SET SESSION sql_mode = ''")  # zero dates
        cur.execute("CREATE DATABASE cli_drivers CHARACTER SET utf8mb4")
        for table, rows in TABLES.items():
            cur.execute(f"CREATE TABLE cli_drivers.{table} ({COLUMNS})")
            if rows:
                cur.execute(f"INSERT INTO cli_drivers.{table} VALUES "
                            + ", ".join(ROWS[r] for r in rows))
        for host in ("127.0.0.1", "localhost"):
            cur.execute("GRANT SELECT ON cli_drivers.* TO %s@%s", (mariadb.user, host))
    yield "cli_drivers"
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("DROP DATABASE cli_drivers")


def served(mariadb: MariaDB, cache: Path) -> list[pandas.DataFrame]:
    """The frames of a cache as the Python API serves them."""
    from quendsdk.tablora import MySQLDatabaseTablora

    return MySQLDatabaseTablora("u", "p", "h", "d", str(cache.parent), cache.name).prepare_data()


@pytest.mark.skipif(not HAVE_MYSQLCLIENT, reason="mysqlclient is not installed")
def test_both_drivers_read_the_same_frames(mariadb: MariaDB, types_database: str,
                                           tmp_path: Path) -> None:
    frames = {}
    for driver in ("pymysql", "mysqldb"):
        directory = tmp_path / driver
        directory.mkdir()
        # pandas 3 turns a SET's Python set into its text, members in hash order.
        res = run_cli("run", *login(mariadb, types_database), "--no-schemas", "-v",
                      "--driver", driver, "--cache-path", str(directory),
                      env=with_password(mariadb, PYTHONHASHSEED="0"))
        assert res.returncode == 0, res.stderr
        assert {"pymysql": "driver: PyMySQL (as asked)", "mysqldb": "driver: mysqlclient "
                "(MySQLdb) (as asked)"}[driver] in res.stdout
        frames[driver] = served(mariadb, directory / "db_cache.pkl")
    assert [df.name for df in frames["pymysql"]] == sorted(TABLES)
    for a, b in zip(frames["pymysql"], frames["mysqldb"]):
        assert (a.name, a.attrs) == (b.name, b.attrs)
        pandas.testing.assert_frame_equal(a, b, check_exact=True)

    # auto takes the C driver here, and either cache serves the other driver's run.
    auto = run_cli("run", *login(mariadb, types_database), "--no-schemas", "-v", "--refresh",
                   "--cache-path", str(tmp_path / "pymysql"), env=with_password(mariadb))
    assert "driver: mysqlclient (MySQLdb) (every column type reads the same" in auto.stdout
    hit = run_cli("run", *login(mariadb, types_database), "--driver", "pymysql",
                  "--cache-path", str(tmp_path / "mysqldb"))
    assert hit.returncode == 0 and "(from the cache " in hit.stdout, hit.stderr


@pytest.fixture
def without_mysqlclient(tmp_path: Path) -> dict[str, str]:
    """An environment where `import MySQLdb` fails, as when mysqlclient is not installed."""
    shadow = tmp_path / "shadow" / "MySQLdb"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text("raise ImportError('not installed here')\n")
    import os

    path = os.pathsep.join(p for p in (str(shadow.parent), os.environ.get("PYTHONPATH")) if p)
    return {"PYTHONPATH": path}


@pytest.mark.parametrize("case", ["auto-falls-back", "mysqldb-refused", "unknown-type"])
def test_the_driver_choice(mariadb: MariaDB, tmp_path: Path, case: str,
                           without_mysqlclient: dict[str, str]) -> None:
    if case == "unknown-type":
        if not HAVE_MYSQLCLIENT:
            pytest.skip("mysqlclient is not installed")
        with mariadb.root_connect() as conn, conn.cursor() as cur:
            cur.execute("CREATE DATABASE IF NOT EXISTS cli_geo")
            cur.execute("CREATE TABLE IF NOT EXISTS cli_geo.g (id INT, spot POINT)")
            cur.execute("GRANT SELECT ON cli_geo.* TO %s@'127.0.0.1'", (mariadb.user,))
        args, env = [*login(mariadb, "cli_geo")], with_password(mariadb)
    else:
        args, env = [*login(mariadb)], with_password(mariadb, **without_mysqlclient)
    if case == "mysqldb-refused":
        args += ["--driver", "mysqldb"]
    cache = tmp_path / "cache"
    cache.mkdir()
    res = run_cli("run", *args, "--no-schemas", "-v", "--cache-path", str(cache), env=env)
    if case == "mysqldb-refused":
        assert res.returncode == 1 and list(cache.iterdir()) == []
        assert error_lines(res.stderr) == ["error: --driver mysqldb needs mysqlclient, which is "
                                           "not installed: pip install 'quendsdk-tablora[fast]'"]
        assert "==> connect()" not in res.stdout
        return
    assert res.returncode == 0, res.stderr
    why = ("mysqlclient is not installed" if case == "auto-falls-back" else
           "column g.spot has type POINT, which the drivers may read differently")
    assert f"driver: PyMySQL ({why})" in res.stdout
