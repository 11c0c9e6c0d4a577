"""The `quendsdk` command: run and demo, their errors, stops and cleanup."""

from __future__ import annotations

import os
import pickle
import re
import shutil
import signal
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pandas
import pytest

from cli_helpers import (private_home,  # noqa: F401 (autouse)
                         QUENDSDK, TIMING, cli_env, closed_port, error_lines, login, mode,
                         run_cli, run_on_terminal, with_password)
from mariadb_server import MariaDB

GLOBAL_USER = "cli_global"
GLOBAL_PASSWORD = "cli_global_pw"
ODD_DATABASE = "cli_odd"
REPO = Path(__file__).resolve().parent.parent


@pytest.fixture
def private_cache_home(private_home: Path) -> Path:
    return private_home / "xdg"


@pytest.fixture(scope="module")
def global_user(mariadb: MariaDB) -> Iterator[str]:
    """A login with rights on every database, so a missing one reads as unknown."""
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("CREATE USER %s@'127.0.0.1' IDENTIFIED BY %s", (GLOBAL_USER, GLOBAL_PASSWORD))
        cur.execute("GRANT SELECT ON *.* TO %s@'127.0.0.1'", (GLOBAL_USER,))
    yield GLOBAL_USER
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("DROP USER %s@'127.0.0.1'", (GLOBAL_USER,))


@pytest.fixture(scope="module")
def odd_database(mariadb: MariaDB, global_user: str) -> Iterator[str]:
    """A table that makes SQLAlchemy and pandas warn: an unknown type and a zero date."""
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("SET SESSION sql_mode = ''")
        cur.execute(f"CREATE DATABASE {ODD_DATABASE}")
        cur.execute(f"CREATE TABLE {ODD_DATABASE}.geo (id INT PRIMARY KEY, shape GEOMETRY, "
                    "seen DATETIME)")
        cur.execute(f"INSERT INTO {ODD_DATABASE}.geo VALUES "
                    "(1, ST_GeomFromText('POINT(1 1)'), '0000-00-00 00:00:00'), "
                    "(2, NULL, '2024-01-01 10:00:00')")
    yield ODD_DATABASE
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute(f"DROP DATABASE {ODD_DATABASE}")


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ([], ["demo", "run", "export", "cache", "--version"]),
        (["demo"], ["--rows", "--quiet"]),
        (["run"], ["-h HOST", "--host", "-P PORT", "-u USER", "-p, --password", "-D NAME",
                   "-S PATH", "--defaults-file", "--no-defaults", "--cache-path", "--cache-file",
                   "--refresh", "--max-age", "--no-data", "--no-schemas", "--quiet",
                   "--verbose", "XDG_CACHE_HOME", "TABLORA_PASSWORD", "TABLORA_HOST"]),
        (["cache", "clear"], ["--all", "--host", "--cache-path"]),
    ],
    ids=["top", "demo", "run", "cache-clear"],
)
def test_help(args: list[str], expected: list[str]) -> None:
    res = run_cli(*args, "--help")
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith(f"usage: quendsdk {' '.join(args)}".rstrip())
    assert [word for word in expected if word not in res.stdout] == []
    assert res.stderr == ""


def test_version_from_the_installed_script_and_the_module() -> None:
    from importlib.metadata import version

    script = run_cli("--version")
    module = subprocess.run([sys.executable, "-m", "quendsdk", "--version"],
                            capture_output=True, text=True, timeout=60)
    expected = (0, f"quendsdk {version('quendsdk-tablora')}\n", "")
    assert (script.returncode, script.stdout, script.stderr) == expected
    assert (module.returncode, module.stdout, module.stderr) == expected


def test_run_keeps_one_cache_per_connection(mariadb: MariaDB, private_cache_home: Path,
                                            tmp_path: Path) -> None:
    env = with_password(mariadb)
    first = run_cli("run", *login(mariadb), env=env)
    assert first.returncode == 0, first.stderr
    out = first.stdout.splitlines()
    # Schema lines come from the tool itself, in table order; nothing else but the summary.
    assert out.index("Table: customers") < out.index("Table: orders") < out.index("Table: products")
    assert "  email: VARCHAR(120)" in out and "  total: DECIMAL(10, 2)" in out
    summaries = ["    customers: 4 rows, 3 columns", "    orders: 5 rows, 4 columns",
                 "    products: 3 rows, 4 columns"]
    assert out[-4:-1] == summaries
    directory = private_cache_home / "quendsdk"
    (shop_cache,) = directory.iterdir()
    assert re.fullmatch(TIMING + rf" \(from the database; cache written to "
                        rf"{re.escape(str(shop_cache))} \(\d\.\d KiB\)\)", out[-1].strip())
    # The tool's own records, the steps and the URL only with -v.
    assert "==>" not in first.stdout and "connection_string" not in first.stdout
    assert "Successfully connected" not in first.stderr and error_lines(first.stderr) == []
    # A cache holds a whole database: for the user's eyes only.
    assert (mode(directory), mode(shop_cache)) == (0o700, 0o600)

    verbose = run_cli("run", *login(mariadb, "empty_db"), "-v", env=env)
    assert verbose.returncode == 0, verbose.stderr
    assert "==> connect()" in verbose.stdout and "Successfully connected" in verbose.stderr
    assert "connection_string: mysql+pymysql://tool:***@" in verbose.stdout
    assert mariadb.password not in verbose.stdout + verbose.stderr
    # Another database of the same server gets a file of its own.
    assert re.search(r"0 frames in \d+\.\d{3} s \(from the database", verbose.stdout)
    assert len(list(directory.iterdir())) == 2

    # A cache hit needs neither the server nor a password, and says how old it is.
    offline = run_cli("run", *login(mariadb), env=cli_env())
    assert offline.returncode == 0, offline.stderr
    assert offline.stdout.splitlines()[1:4] == summaries
    assert re.search(TIMING + rf" \(from the cache {re.escape(str(shop_cache))}, written "
                     r"\d+ seconds? ago\)", offline.stdout)
    assert "Table:" not in offline.stdout

    before = shop_cache.stat().st_ino
    refreshed = run_cli("run", *login(mariadb), "--refresh", "--no-schemas", env=env)
    assert refreshed.returncode == 0, refreshed.stderr
    assert "(from the database; cache written to" in refreshed.stdout
    assert "Table:" not in refreshed.stdout
    assert shop_cache.stat().st_ino != before and mode(shop_cache) == 0o600

    schemas_only = run_cli("run", *login(mariadb), "--no-data",
                           env=with_password(mariadb, XDG_CACHE_HOME=str(tmp_path / "unused")))
    assert schemas_only.returncode == 0, schemas_only.stderr
    assert "Table: orders" in schemas_only.stdout and "rows," not in schemas_only.stdout
    assert not (tmp_path / "unused").exists()

    # Either option places the cache as the tool itself would.
    own = tmp_path / "own"
    own.mkdir()
    placed = run_cli("run", *login(mariadb), "--no-schemas", "--cache-path", str(own), env=env)
    assert placed.returncode == 0, placed.stderr
    assert [p.name for p in own.iterdir()] == ["db_cache.pkl"]
    assert len(pickle.loads((own / "db_cache.pkl").read_bytes())) == 3


def test_run_takes_the_password_from_stdin_without_a_terminal(mariadb: MariaDB,
                                                              tmp_path: Path) -> None:
    res = run_cli("run", *login(mariadb, "empty_db"), "--no-schemas", "--cache-path",
                  str(tmp_path), input=mariadb.password + "\n")
    assert res.returncode == 0, res.stderr
    assert re.search(r"0 frames in \d+\.\d{3} s \(from the database", res.stdout)


ERROR_CASES = {
    # case: pattern of the error line after "error: "
    "wrong-password": (r"access denied for user 'tool' at 127\.0\.0\.1:\d+: wrong user name"
                       r" or password \(Access denied"),
    "database-not-granted": r"access denied: user 'tool' may not use database 'mysql'",
    "unknown-database": r"unknown database 'no_such_db' on 127\.0\.0\.1:\d+",
    "unreachable": r"cannot reach a MySQL server at 127\.0\.0\.1:\d+; is it running",
    # Nothing to type a password at: the message does not offer a prompt.
    "no-password": (r"no password given: set TABLORA_PASSWORD, put password= in an option "
                    r"file, or pass it on standard input$"),
    "missing-cache-dir": r"cache directory '.*/absent' does not exist",
    "cache-path-is-a-file": (r"cache directory '.*/file' is a regular file; --cache-path takes"
                             r" a directory$"),
    # Found before the read, not after it as "Error fetching tables".
    "cache-dir-not-writable": r"cache directory '/proc' is not writable",
    "cache-file-is-a-directory": r"cache file '.*/sub' is a directory",
    # Its owner could plant a pickle there.
    "foreign-default-cache-dir": r"cache directory '.*/quendsdk' belongs to another user",
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_run_reports_one_clear_error(mariadb: MariaDB, global_user: str, tmp_path: Path,
                                     private_cache_home: Path, case: str) -> None:
    pattern = ERROR_CASES[case]
    host, user, password, database = mariadb.host_text, mariadb.user, mariadb.password, "shop"
    cache = ["--cache-path", str(tmp_path)]
    env_password: str | None = password
    if case == "wrong-password":
        password = env_password = "wrong"
    elif case == "database-not-granted":
        database = "mysql"
    elif case == "unknown-database":
        user, env_password, database = global_user, GLOBAL_PASSWORD, "no_such_db"
    elif case == "unreachable":
        host = f"127.0.0.1:{closed_port()}"
    elif case == "no-password":
        env_password = None
    elif case == "missing-cache-dir":
        cache = ["--cache-path", str(tmp_path / "absent")]
    elif case == "cache-path-is-a-file":
        (tmp_path / "file").write_text("")
        cache = ["--cache-path", str(tmp_path / "file")]
    elif case == "cache-dir-not-writable":
        cache = ["--cache-path", "/proc"]
    elif case == "cache-file-is-a-directory":
        (tmp_path / "sub").mkdir()
        cache += ["--cache-file", "sub"]
    elif case == "foreign-default-cache-dir":
        foreign = private_cache_home / "quendsdk"
        foreign.mkdir(parents=True)
        os.chown(foreign, 65534, 65534)
        cache = []
    env = cli_env() if env_password is None else cli_env(TABLORA_PASSWORD=env_password)
    res = run_cli("run", "--no-defaults", "--host", host, "--user", user, "--database",
                  database, *cache, env=env)
    assert res.returncode == 1
    # One line for one error: not the tool's record, not SQLAlchemy's "Background" link.
    assert len(res.stderr.splitlines()) == 1, res.stderr
    assert re.fullmatch("error: " + pattern + ".*", res.stderr.strip()), res.stderr
    assert list(tmp_path.rglob("*.pkl*")) == []
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize(
    ("args", "pattern"),
    [
        ([], r"the following arguments are required: COMMAND"),
        (["run", "-u", "u", "-D", "d"],
         r"--host is required \(or set TABLORA_HOST, or host= in the \[client\] group"),
        (["run", "-h", "h", "-D", "d"], r"--user is required \(or set TABLORA_USER"),
        (["run", "-h", "h", "-u", "u"], r"--database is required \(or set TABLORA_DATABASE"),
        (["run", "-h", "h:port", "-u", "u", "-D", "d"], r"--host 'h:port'"),
        (["run", "-h", "h:12:34", "-u", "u", "-D", "d"], r"--host 'h:12:34'"),
        (["run", "-h", "h:65536", "-u", "u", "-D", "d"], r"--host 'h:65536'"),
        (["run", "-h", "h/x@y", "-u", "u", "-D", "d"], r"--host 'h/x@y'"),
        (["run", "-h", "h:1", "-P", "2", "-u", "u", "-D", "d"], r"name different ports"),
        (["run", "-h", "h", "-P", "0", "-u", "u", "-D", "d"], r"expected a port from 1"),
        (["run", "-h", "h", "-u", "u", "-D", "d?unix_socket=/tmp/s"],
         r"--database 'd\?unix_socket=/tmp/s': a '\?' would start driver options"),
        (["run", "-S", "/tmp/a b", "-u", "u", "-D", "d"], r"socket path '/tmp/a b'"),
        (["run", "-pSECRET", "-h", "h"], r"a password is never taken from the command line"),
        (["run", "--password=SECRET"], r"a password is never taken from the command line"),
        (["run", "--max-age", "3w", "-h", "h", "-u", "u", "-D", "d"],
         r"argument --max-age: invalid duration value: '3w'"),
        (["demo", "--rows", "-1"], r"--rows must not be negative"),
    ],
    ids=["no-command", "no-host", "no-user", "no-database", "bad-port", "two-ports",
         "port-range", "url-syntax-in-host", "different-ports", "port-zero",
         "options-in-database", "odd-socket", "password-attached", "password-value",
         "bad-duration", "negative-rows"],
)
def test_usage_errors(args: list[str], pattern: str) -> None:
    res = run_cli(*args, env=cli_env(TABLORA_PASSWORD="x"))
    assert res.returncode == 2
    errors = error_lines(res.stderr)
    assert len(errors) == 1 and re.search(pattern, errors[0]), res.stderr
    assert "Traceback" not in res.stderr


class Raising:
    """Unpickles by raising `name`, as a hostile cache file could."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __reduce__(self) -> tuple[object, ...]:
        return (exec, (f"raise {self.name}",))


def one_frame() -> pandas.DataFrame:
    df = pandas.DataFrame({"id": [7]})
    df.attrs["name"] = "one"
    return df


CACHE_CONTENTS = {
    # case: (content, pattern of the only error line after "error: ", or None)
    "one-frame": (lambda: [one_frame()], None),
    "dict": (lambda: {"orders": []}, r"does not hold a list of data frames \(it holds an object "
                                     r"of type dict\)"),
    "list-of-ints": (lambda: [1, 2], r"does not hold a list of data frames \(it holds a list "
                                     r"with an item of type int\)"),
    "frame-and-text": (lambda: [one_frame(), "x"], r"does not hold a list of data frames"),
    "none": (lambda: None, r"\(it holds an object of type NoneType\); delete it or run with "
                           r"--refresh$"),
    "list-of-none": (lambda: [None], r"\(it holds a list with an item of type NoneType\)"),
    "frame-and-none": (lambda: [one_frame(), None], r"with an item of type NoneType"),
    "raises-system-exit": (lambda: Raising("SystemExit(0)"),
                           r"could not be loaded: it raised SystemExit"),
    "raises-keyboard-interrupt": (lambda: Raising("KeyboardInterrupt"),
                                  r"could not be loaded: it raised KeyboardInterrupt"),
}


@pytest.mark.parametrize("case", list(CACHE_CONTENTS))
def test_run_judges_a_cache_by_its_content(tmp_path: Path, case: str) -> None:
    make, pattern = CACHE_CONTENTS[case]
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(pickle.dumps(make()))
    # Served offline: no password, and nothing listens on the port. Named with
    # --cache-file, a cache that run did not write is served, with a note.
    res = run_cli("run", "--no-defaults", "-h", f"127.0.0.1:{closed_port()}", "-u", "u", "-D",
                  "d", "--cache-path", str(tmp_path), "--cache-file", "db_cache.pkl")
    assert "Traceback" not in res.stderr
    if pattern is None:
        assert res.returncode == 0, res.stderr
        assert "    one: 1 row, 1 column" in res.stdout.splitlines()
        assert re.search(r" 1 frame in \d+\.\d{3} s \(from the cache", res.stdout)
        assert res.stderr.startswith("note: cache file ") and "has no record" in res.stderr
    else:
        assert res.returncode == 1, res.stdout + res.stderr
        errors = error_lines(res.stderr)
        assert len(errors) == 1 and re.search(pattern, errors[0]), res.stderr
    assert cache.exists()


def test_run_reports_library_warnings_once_with_their_table(mariadb: MariaDB,
                                                            odd_database: str) -> None:
    res = run_cli("run", "--no-defaults", "-h", mariadb.host_text, "-u", GLOBAL_USER, "-D",
                  odd_database, env=cli_env(TABLORA_PASSWORD=GLOBAL_PASSWORD))
    assert res.returncode == 0, res.stderr
    assert "    geo: 2 rows, 3 columns" in res.stdout.splitlines()
    assert re.search(r" 1 frame in ", res.stdout)
    # Reflection warns in print_table_schemas and again in the read: shown once.
    assert [line for line in res.stderr.splitlines() if "Warning" in line] == [
        "warning: geo: Did not recognize type 'geometry' of column 'shape' (SAWarning)",
        "warning: geo: Could not infer format, so each element will be parsed individually, "
        "falling back to `dateutil` (UserWarning)",
    ]


@pytest.mark.parametrize(("stderr", "args", "progress"),
                         [("terminal", [], True), ("terminal", ["--quiet"], False),
                          ("pipe", [], False)],
                         ids=["terminal", "terminal-quiet", "pipe"])
def test_run_shows_progress_only_on_a_terminal(mariadb: MariaDB, tmp_path: Path, stderr: str,
                                               args: list[str], progress: bool) -> None:
    argv = [QUENDSDK, "run", *login(mariadb), "--no-schemas", "--cache-path", str(tmp_path),
            *args]
    env = with_password(mariadb)
    if stderr == "terminal":
        code, out, err = run_on_terminal(argv, env)
    else:
        res = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=120, start_new_session=True)
        code, out, err = res.returncode, res.stdout, res.stderr
    assert code == 0, err
    assert "    orders: 5 rows, 4 columns" in out.splitlines()
    shown = ["reading orders (~", "3/3 tables, 12 of ~", "\x1b["]
    assert [text in err for text in shown] == [progress] * len(shown), err


# Sends itself a signal while pandas reads a table, inside SQLAlchemy's execution,
# as a Ctrl-C would land; a library may swallow what the handler raises (as
# importlib's lock callback or an extension's start-up did). Then checks the
# extension's namespace.
SIGNAL_DURING_READ = textwrap.dedent("""
    import os, re, sys
    from sqlalchemy import event
    from sqlalchemy.engine import Engine
    import quendsdk.tablora as tablora
    from quendsdk.cli.main import main

    plan = dict(step.split(":") for step in sys.argv[1].split(",") if step)
    def stop(conn, cursor, statement, *args):
        for table, how in plan.items():
            if re.match(rf"SELECT .* FROM `?{table}`?$", " ".join(statement.split())):
                signum, swallow = int(how.rstrip("s")), how.endswith("s")
                try:
                    os.kill(os.getpid(), signum)
                except BaseException:
                    if not swallow:
                        raise
    event.listen(Engine, "after_cursor_execute", stop)
    before = dict(vars(tablora))
    cls_before = dict(vars(tablora.MySQLDatabaseTablora))
    code = main(sys.argv[2:])
    after = vars(tablora)
    assert after.keys() == before.keys(), set(after) ^ set(before)
    assert all(after[k] is v for k, v in before.items())
    cls_after = vars(tablora.MySQLDatabaseTablora)
    assert cls_after.keys() == cls_before.keys()
    assert all(cls_after[k] is v for k, v in cls_before.items())
    print("unchanged")
    sys.exit(code)
""")
INT, TERM = int(signal.SIGINT), int(signal.SIGTERM)


@pytest.mark.parametrize(("plan", "code", "message"),
                         [("", 0, None), (f"orders:{INT}", 130, "error: interrupted"),
                          (f"orders:{TERM}", 143, "error: terminated (SIGTERM)"),
                          (f"orders:{INT}s", 130, "error: interrupted"),
                          (f"orders:{TERM}s,products:{TERM}", 143, "error: terminated (SIGTERM)")],
                         ids=["none", "SIGINT", "SIGTERM", "SIGINT-swallowed",
                              "SIGTERM-swallowed-then-again"])
def test_run_read_stopped_by_a_signal(mariadb: MariaDB, tmp_path: Path, plan: str,
                                      code: int, message: str | None) -> None:
    old_cache = tmp_path / "db_cache.pkl"
    old_cache.write_bytes(pickle.dumps([one_frame()]))
    # stderr on a terminal, so that the progress display watches the read.
    got, out, err = run_on_terminal(
        [sys.executable, "-c", SIGNAL_DURING_READ, plan, "run", *login(mariadb),
         "--refresh", "--no-schemas", "--cache-path", str(tmp_path)], with_password(mariadb))
    assert got == code, out + err
    assert out.splitlines()[-1] == "unchanged"
    assert "Traceback" not in err
    assert error_lines(err) == ([message] if message else [])
    if message:
        # A stop, even one a library swallowed, puts no cache in place.
        assert pickle.loads(old_cache.read_bytes())[0].attrs["name"] == "one"
        assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]
        # The tool's record of the error the stop caused would only mislead.
        assert "Error fetching tables" not in err and "PendingRollbackError" not in err
    else:
        assert len(pickle.loads(old_cache.read_bytes())) == 3


@pytest.mark.parametrize("stdout", ["reader-gone", "closed"])
def test_run_with_stdout_unusable(mariadb: MariaDB, tmp_path: Path, stdout: str) -> None:
    argv = [QUENDSDK, "run", *login(mariadb), "--cache-path", str(tmp_path)]
    env = with_password(mariadb)
    if stdout == "reader-gone":  # as in `... | head -1` once head has exited
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            res = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=write_end,
                                 stderr=subprocess.PIPE, text=True, timeout=120)
        finally:
            os.close(write_end)
        assert (res.returncode, res.stderr) == (141, "")
    else:
        res = subprocess.run(["bash", "-c", 'exec "$@" >&-', "bash", *argv], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=120)
        assert res.returncode == 1
        assert error_lines(res.stderr) == ["error: standard output is closed; redirect it to "
                                           "a file or /dev/null instead"]


def test_main_job_runs_in_the_callers_directory(mariadb: MariaDB, tmp_path: Path) -> None:
    # The script as shipped, next to a bootstrap that does nothing and a .venv whose
    # command is this one.
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(REPO / "scripts" / "main_job.sh", repo / "scripts")
    (repo / "scripts" / "bootstrap.sh").write_text("exit 0\n")
    command = repo / ".venv" / "bin" / "quendsdk"
    command.parent.mkdir(parents=True)
    command.write_text(f'#!/bin/sh\nexec {QUENDSDK} "$@"\n')
    command.chmod(0o755)
    work = tmp_path / "work"
    (work / "cache").mkdir(parents=True)
    # A package of the same name where the caller stands must not be run instead.
    (work / "quendsdk").mkdir()
    (work / "quendsdk" / "__init__.py").write_text("")
    (work / "quendsdk" / "__main__.py").write_text("raise SystemExit('shadowed')\n")
    res = subprocess.run(["bash", str(repo / "scripts" / "main_job.sh"), "run", *login(mariadb),
                          "--no-schemas", "--cache-path", "cache"],
                         cwd=work, env=with_password(mariadb), stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert [p.name for p in (work / "cache").iterdir()] == ["db_cache.pkl"]
    assert not (repo / "cache").exists()


@pytest.mark.parametrize("module", ["quendsdk", "quendsdk.cli.main", "quendsdk._local_mariadb"])
def test_importing_the_package_leaves_the_extension_unimported(module: str) -> None:
    code = f"import sys, {module}; print(sorted(m for m in sys.modules if m.startswith('quendsdk')))"
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    assert "quendsdk.tablora" not in res.stdout and module in res.stdout
