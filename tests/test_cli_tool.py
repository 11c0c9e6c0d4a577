"""The command line as a database tool: client-style options and option files,
export, cache management, progress during a long table, data-fidelity warnings."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import pandas
import pytest

from cli_helpers import (private_home,  # noqa: F401 (autouse)
                         QUENDSDK, cli_env, error_lines, login, mode, plain, run_cli,
                         run_on_terminal, with_password)
from mariadb_server import MariaDB

NOPW_USER = "cli_nopw"
HAVE_PYARROW = importlib.util.find_spec("pyarrow") is not None


def root_sql(mariadb: MariaDB, *statements: str) -> None:
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        for statement in statements:
            cur.execute(statement)


def grant(database: str, user: str) -> list[str]:
    return [f"GRANT SELECT ON `{database}`.* TO '{user}'@'{host}'"
            for host in ("127.0.0.1", "localhost")]


@pytest.fixture(scope="module")
def nopw_user(mariadb: MariaDB) -> Iterator[str]:
    """An account without a password."""
    root_sql(mariadb, *[f"CREATE USER '{NOPW_USER}'@'{h}'" for h in ("127.0.0.1", "localhost")],
             *grant("shop", NOPW_USER))
    yield NOPW_USER
    root_sql(mariadb, *[f"DROP USER '{NOPW_USER}'@'{h}'" for h in ("127.0.0.1", "localhost")])


def option_file(path: Path, file_mode: int = 0o600, **values: str) -> Path:
    lines = ["# written by the test", "[mysqld]", "user = not-this-one", "[client]"]
    lines += [f"{k} = {v}" for k, v in values.items()]
    path.write_text("\n".join(lines) + "\n")
    path.chmod(file_mode)
    return path


OPTION_CASES = ["option-file", "precedence", "readable-password", "world-writable",
                "defaults-file", "no-defaults", "socket", "empty-password", "prompt-enter"]


@pytest.mark.parametrize("case", OPTION_CASES)
def test_connection_values_follow_the_client_conventions(mariadb: MariaDB, nopw_user: str,
                                                         private_home: Path, tmp_path: Path,
                                                         case: str) -> None:
    mycnf = private_home / ".my.cnf"
    full = {"host": mariadb.host, "port": str(mariadb.port), "user": mariadb.user,
            "password": f'"{mariadb.password}"', "database": "shop"}
    args = ["run", "--no-schemas", "--cache-path", str(tmp_path)]
    env = cli_env()
    expect, warning = 0, None
    if case == "option-file":
        option_file(mycnf, **full)
    elif case == "precedence":  # command line, then environment, then option file
        option_file(mycnf, **{**full, "user": "wrong", "database": "no_such_db", "port": "1"})
        env = cli_env(TABLORA_USER=mariadb.user, TABLORA_DATABASE="no_such_db_either")
        args += ["-D", "shop", "-P", str(mariadb.port)]
    elif case == "readable-password":
        option_file(mycnf, 0o644, **full)
        warning = f"warning: option file '{mycnf}' holds a password and other users can read it"
    elif case == "world-writable":  # ignored, as the clients do
        option_file(mycnf, 0o666, **full)
        warning = f"warning: option file '{mycnf}' can be written by anyone; it is ignored"
        expect = 2
    elif case == "defaults-file":
        option_file(mycnf, user="wrong")
        args += ["--defaults-file", str(option_file(tmp_path / "my.cnf", **full))]
    elif case == "no-defaults":
        option_file(mycnf, **full)
        args += ["--no-defaults"]
        expect = 2
    elif case == "socket":
        args += ["--no-defaults", "-S", mariadb.socket, "-u", mariadb.user, "-D", "shop"]
        env = with_password(mariadb)
    elif case == "empty-password":
        option_file(mycnf, **{**full, "user": nopw_user, "password": ""})
    res = (run_cli(*args, env=env) if case != "prompt-enter" else
           _typed_at_prompt([QUENDSDK, *args, *login(mariadb), "-u", nopw_user, "-p"], "\r"))
    assert res.returncode == expect, res.stdout + res.stderr
    if expect == 0:
        assert "3 frames in" in res.stdout and "from the database" in res.stdout
    about_files = [line for line in plain(res.stderr).splitlines() if "warning: option file" in line]
    assert len(about_files) == (warning is not None), res.stderr
    assert warning is None or about_files[0].startswith(warning)


def _typed_at_prompt(argv: list[str], typed: str) -> subprocess.CompletedProcess[str]:
    def answer(got: bytes, proc: subprocess.Popen[bytes], terminal: int) -> None:
        if got.endswith(b": ") and b"Password for" in got:
            os.write(terminal, typed.encode())

    code, out, err = run_on_terminal(argv, cli_env(), all_on_terminal=True, on_output=answer)
    return subprocess.CompletedProcess(argv, code, out, err)


NAMES = ["my table", "dots.in.name", "..", "Ünïcode", "Orders", "orders", "a/b"]


@pytest.fixture(scope="module")
def names_database(mariadb: MariaDB) -> Iterator[str]:
    """Tables whose names are no file names as they stand."""
    statements = ["CREATE DATABASE cli_names CHARACTER SET utf8mb4"]
    for i, name in enumerate(NAMES):
        statements += [f"CREATE TABLE cli_names.`{name}` (id INT, label VARCHAR(20), "
                       f"amount DOUBLE, seen DATETIME)",
                       f"INSERT INTO cli_names.`{name}` VALUES (1, 'x{i}', 1.5, '2024-01-02 03:04:05'), "
                       f"(2, NULL, NULL, NULL)"]
    root_sql(mariadb, *statements, *grant("cli_names", mariadb.user))
    yield "cli_names"
    root_sql(mariadb, "DROP DATABASE cli_names")


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_export_writes_one_file_per_table_that_reads_back(mariadb: MariaDB, names_database: str,
                                                          tmp_path: Path, fmt: str) -> None:
    out_dir = tmp_path / "out"
    res = run_cli("export", str(out_dir), "--format", fmt, *login(mariadb, names_database),
                  env=with_password(mariadb))
    if fmt == "parquet" and not HAVE_PYARROW:
        assert res.returncode == 1 and not out_dir.exists()
        assert error_lines(res.stderr) == ["error: --format parquet needs pyarrow, which is not "
                                           "installed: pip install 'quendsdk-tablora[parquet]'"]
        return
    assert res.returncode == 0, res.stderr
    listed = re.findall(rf"^    (\S+\.{fmt}): 2 rows \(", res.stdout, re.M)
    files = sorted(p.name for p in out_dir.iterdir())
    assert sorted(listed) == files and len(files) == len(NAMES)
    assert all(re.fullmatch(rf"[A-Za-z0-9_-]+\.{fmt}", f) for f in files)
    assert len({f.lower() for f in files}) == len(files)
    assert [mode(out_dir / f) for f in files] == [0o600] * len(files)
    frames = _frames_of(mariadb, names_database)
    by_label = {df["label"][0]: df for df in frames}
    for f in files:
        back = (pandas.read_csv(out_dir / f) if fmt == "csv" else
                pandas.read_parquet(out_dir / f))
        df = by_label[back["label"][0]]
        if fmt == "parquet":
            pandas.testing.assert_frame_equal(back, df)
        else:  # CSV keeps the numbers' dtypes; the rest comes back as text
            assert list(back.dtypes[["id", "amount"]]) == list(df.dtypes[["id", "amount"]])
            assert back.astype(str).where(back.notna(), "").values.tolist() == \
                df.astype(str).where(df.notna(), "").values.tolist()


def _frames_of(mariadb: MariaDB, database: str) -> list[pandas.DataFrame]:
    from quendsdk.tablora import MySQLDatabaseTablora

    tool = MySQLDatabaseTablora(mariadb.user, mariadb.password, mariadb.host_text, database,
                                "/nonexistent", "x.pkl")
    tool.connect()
    from sqlalchemy import inspect

    with tool.engine.connect() as conn:
        return [pandas.read_sql_table(t, conn) for t in inspect(tool.engine).get_table_names()]


# Runs export with the second file's write failing, or interrupted, half-way.
FAILING_EXPORT = textwrap.dedent("""
    import os, signal, sys, pandas
    from quendsdk.cli.main import main
    real, calls = pandas.DataFrame.to_csv, []
    def flaky(self, *args, **kwargs):
        calls.append(1)
        if len(calls) == 2:
            real(self, *args, **kwargs)
            if sys.argv[1] == "error":
                raise OSError(28, "No space left on device")
            os.kill(os.getpid(), signal.SIGINT)
        return real(self, *args, **kwargs)
    pandas.DataFrame.to_csv = flaky
    sys.exit(main(sys.argv[2:]))
""")


@pytest.mark.parametrize(("how", "code"), [("error", 1), ("SIGINT", 130)])
def test_a_failed_export_leaves_the_directory_as_it_was(mariadb: MariaDB, tmp_path: Path,
                                                        how: str, code: int) -> None:
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "orders.csv").write_text("from an earlier export\n")
    res = subprocess.run([sys.executable, "-c", FAILING_EXPORT, how, "export", str(out_dir),
                          *login(mariadb)], env=with_password(mariadb), capture_output=True,
                         text=True, timeout=120)
    assert res.returncode == code, res.stderr
    assert len(error_lines(res.stderr)) == 1
    assert [p.name for p in out_dir.iterdir()] == ["orders.csv"]
    assert (out_dir / "orders.csv").read_text() == "from an earlier export\n"


def test_cache_list_clear_and_max_age(mariadb: MariaDB, private_home: Path) -> None:
    env = with_password(mariadb)
    for database in ("shop", "empty_db"):
        assert run_cli("run", *login(mariadb, database), "--no-schemas", env=env).returncode == 0
    listing = run_cli("cache", "list")
    assert listing.returncode == 0, listing.stderr
    rows = [line.split() for line in listing.stdout.splitlines()[1:-1]]
    where = f"tool@{mariadb.host_text}"
    assert sorted((r[0], r[-1]) for r in rows) == [(f"{where}/empty_db", "0"), (f"{where}/shop", "3")]
    assert all(re.fullmatch(r"\d+ seconds? ago", " ".join(r[-4:-1])) for r in rows), rows
    assert listing.stdout.splitlines()[-1] == f"2 caches in {private_home / 'xdg' / 'quendsdk'}"

    time.sleep(2)
    young = run_cli("run", *login(mariadb), "--max-age", "30m", env=cli_env())
    assert "(from the cache " in young.stdout, young.stderr
    old = run_cli("run", *login(mariadb), "--max-age", "1s", "--no-schemas", env=env)
    assert "(from the database; cache written to" in old.stdout, old.stderr

    cleared = run_cli("cache", "clear", *login(mariadb))
    assert cleared.returncode == 0 and cleared.stdout.startswith("removed "), cleared.stderr
    again = run_cli("cache", "clear", *login(mariadb))
    assert again.stdout.startswith(f"no cache for {where}/shop")
    everything = run_cli("cache", "clear", "--all")
    assert everything.stdout.startswith("removed 1 cache from ")
    assert run_cli("cache", "list").stdout.startswith("no caches in ")


@pytest.fixture(scope="module")
def types_database(mariadb: MariaDB) -> Iterator[str]:
    root_sql(mariadb, "CREATE DATABASE cli_types",
             "CREATE TABLE cli_types.t (id INT, money DECIMAL(20,4), small DECIMAL(10,2), "
             "big BIGINT UNSIGNED, span TIME, seen DATETIME, tags SET('a','b'), spot POINT, addr INET6)",
             "INSERT INTO cli_types.t VALUES (1, 12345678901234.5678, 1.5, 18446744073709551615, "
             "'25:00:01', '9999-12-31 00:00:00', 'a,b', ST_GeomFromText('POINT(1 1)'), '::1')",
             "CREATE VIEW cli_types.v AS SELECT id FROM cli_types.t",
             *grant("cli_types", mariadb.user))
    yield "cli_types"
    root_sql(mariadb, "DROP DATABASE cli_types")


def test_run_warns_where_the_read_changes_values(mariadb: MariaDB, types_database: str) -> None:
    expected = [
        "warning: t.money: DECIMAL(20,4) becomes float64, which keeps only 15 significant digits",
        "warning: t.big: BIGINT UNSIGNED values above 2^63-1 wrap or become float",
        "warning: t.span: TIME values are taken modulo 24 hours (25:00:01 reads as 01:00:01)",
        *(["warning: t.seen: DATETIME values outside 1677-2262 become NaT under pandas 2"]
          if pandas.__version__.startswith("2.") else
          ["warning: t.tags: SET values become the text of a Python set under pandas 3, "
           "members in no fixed order"]),
        "warning: t.spot: type POINT is not known to SQLAlchemy; its values are read as the "
        "driver gives them",
        "warning: t.addr: type INET6 is not known to SQLAlchemy; its values are read as the "
        "driver gives them",
        "warning: 1 view not read (only base tables are): v",
    ]
    seen = []
    for args in ([], [], ["-q"]):  # the database, then the cache (from its record), quiet
        res = run_cli("run", *login(mariadb, types_database), "--no-schemas", *args,
                      env=with_password(mariadb))
        assert res.returncode == 0, res.stderr
        seen.append([line for line in res.stderr.splitlines()
                     if line.startswith("warning: t.") or "view" in line])
    assert seen == [expected, expected, []]


@pytest.fixture(scope="module")
def big_database(mariadb: MariaDB) -> Iterator[str]:
    """One table that takes several seconds to read."""
    root_sql(mariadb, "CREATE DATABASE cli_big",
             "CREATE TABLE cli_big.big (id INT PRIMARY KEY, pad VARCHAR(60))",
             "INSERT INTO cli_big.big SELECT seq, REPEAT('x', 50) FROM cli_big.seq_1_to_400000",
             "ANALYZE TABLE cli_big.big", *grant("cli_big", mariadb.user))
    yield "cli_big"
    root_sql(mariadb, "DROP DATABASE cli_big")


def test_progress_moves_during_a_long_table(mariadb: MariaDB, big_database: str,
                                            tmp_path: Path) -> None:
    moves: list[tuple[float, str]] = []

    def watch(got: bytes, proc: subprocess.Popen[bytes], terminal: int) -> None:
        found = re.findall(r"reading big: (\d+\.\d) MiB read", plain(got.decode(errors="replace")))
        if found and (not moves or moves[-1][1] != found[-1]):
            moves.append((time.monotonic(), found[-1]))

    # PyMySQL parses in Python, where the display's thread gets its turns; the C
    # driver converts the rows holding the interpreter lock.
    code, out, err = run_on_terminal([QUENDSDK, "run", *login(mariadb, big_database),
                                      "--no-schemas", "--driver", "pymysql",
                                      "--cache-path", str(tmp_path)],
                                     with_password(mariadb), on_output=watch)
    assert code == 0, err
    assert "    big: 400000 rows, 2 columns" in out.splitlines()
    values = [float(v) for _, v in moves]
    gaps = [b[0] - a[0] for a, b in zip(moves, moves[1:])]
    assert len(values) >= 3 and values == sorted(values), moves
    assert max(gaps) < 1.5, moves
