"""`python -m quendsdk`: the run and demo commands, their errors and cleanup."""

from __future__ import annotations

import os
import pickle
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import pandas
import pytest

from mariadb_server import MariaDB

GLOBAL_USER = "cli_global"
GLOBAL_PASSWORD = "cli_global_pw"
ODD_DATABASE = "cli_odd"
TIMING = r"\d+ frames? in \d+\.\d{3} s"
REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(autouse=True)
def private_cache_home(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The default cache directory of every command run here: never the real ~/.cache."""
    home = tmp_path / "xdg"
    monkeypatch.setenv("XDG_CACHE_HOME", str(home))
    return home


def cli_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("TABLORA_")}
    env.update(extra)
    return env


def run_cli(*args: str, env: dict[str, str] | None = None, input: str | None = None,
            timeout: float = 120, **kwargs: object) -> subprocess.CompletedProcess[str]:
    # New session: no controlling terminal, so no password prompt can block.
    return subprocess.run(
        [sys.executable, "-m", "quendsdk", *args], env=cli_env() if env is None else env,
        input=input, stdin=None if input is not None else subprocess.DEVNULL,
        capture_output=True, text=True, timeout=timeout, start_new_session=True, **kwargs)


def run_on_terminal(argv: list[str], env: dict[str, str],
                    timeout: float = 120) -> tuple[int, str, str]:
    """argv with stderr on a pseudo-terminal: (exit status, stdout, what the terminal got)."""
    master, slave = os.openpty()
    try:
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=slave, start_new_session=True)
    finally:
        os.close(slave)
    got = b""
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the child side is closed
                    break
                if not chunk:
                    break
                got += chunk
        out = proc.communicate(timeout=max(deadline - time.monotonic(), 1))[0]
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out.decode(), got.decode(errors="replace")


def error_lines(text: str) -> list[str]:
    # Terminal control sequences (the progress display clearing its line) left out.
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    return [line for line in plain.splitlines() if "error:" in line]


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def mode(path: Path) -> int:
    return stat.S_IMODE(path.stat().st_mode)


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


def login(mariadb: MariaDB, database: str = "shop") -> list[str]:
    return ["--host", mariadb.host_text, "--user", mariadb.user, "--database", database]


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ([], ["demo", "run", "--version"]),
        (["demo"], ["--rows", "--quiet"]),
        (["run"], ["--host", "--user", "--database", "--cache-path", "--cache-file",
                   "--refresh", "--no-data", "--no-schemas", "--quiet", "XDG_CACHE_HOME",
                   "TABLORA_PASSWORD", "TABLORA_HOST"]),
    ],
    ids=["top", "demo", "run"],
)
def test_help(args: list[str], expected: list[str]) -> None:
    res = run_cli(*args, "--help")
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith("usage: python -m quendsdk")
    for word in expected:
        assert word in res.stdout
    assert res.stderr == ""


def test_version() -> None:
    res = run_cli("--version")
    assert (res.returncode, res.stdout, res.stderr) == (0, "python -m quendsdk 0.1.0\n", "")


def test_run_keeps_one_cache_per_connection(mariadb: MariaDB, private_cache_home: Path,
                                            tmp_path: Path) -> None:
    with_password = cli_env(TABLORA_PASSWORD=mariadb.password)
    first = run_cli("run", *login(mariadb), env=with_password)
    assert first.returncode == 0, first.stderr
    out = first.stdout.splitlines()
    # Schema lines come from the tool itself, in table order.
    assert out.index("Table: customers") < out.index("Table: orders") < out.index("Table: products")
    assert "  email: VARCHAR(120)" in out and "  total: DECIMAL(10, 2)" in out
    for summary in ("customers: 4 rows, 3 columns", "orders: 5 rows, 4 columns",
                    "products: 3 rows, 4 columns"):
        assert f"    {summary}" in out
    assert "users frame" not in first.stdout
    directory = private_cache_home / "quendsdk"
    (shop_cache,) = directory.iterdir()
    assert re.search(TIMING + rf" \(from the database; cache written to "
                     rf"{re.escape(str(shop_cache))}\)", first.stdout)
    assert "Successfully connected to the database." in first.stderr
    assert error_lines(first.stderr) == [] and mariadb.password not in first.stdout
    # A cache holds a whole database: for the user's eyes only.
    assert (mode(directory), mode(shop_cache)) == (0o700, 0o600)

    # Another database of the same server gets a file of its own.
    empty = run_cli("run", *login(mariadb, "empty_db"), env=with_password)
    assert empty.returncode == 0, empty.stderr
    assert re.search(r"0 frames in \d+\.\d{3} s \(from the database", empty.stdout)
    assert len(list(directory.iterdir())) == 2

    # A cache hit needs neither the server nor a password.
    offline = run_cli("run", *login(mariadb), env=cli_env())
    assert offline.returncode == 0, offline.stderr
    assert "    customers: 4 rows, 3 columns" in offline.stdout.splitlines()
    assert re.search(TIMING + rf" \(from the cache {re.escape(str(shop_cache))}\)", offline.stdout)
    assert "Successfully connected" not in offline.stderr and "Table:" not in offline.stdout

    before = shop_cache.stat().st_ino
    refreshed = run_cli("run", *login(mariadb), "--refresh", "--no-schemas", env=with_password)
    assert refreshed.returncode == 0, refreshed.stderr
    assert "(from the database; cache written to" in refreshed.stdout
    assert "Table:" not in refreshed.stdout
    assert shop_cache.stat().st_ino != before and mode(shop_cache) == 0o600

    schemas_only = run_cli("run", *login(mariadb), "--no-data",
                           env=cli_env(TABLORA_PASSWORD=mariadb.password,
                                       XDG_CACHE_HOME=str(tmp_path / "unused")))
    assert schemas_only.returncode == 0, schemas_only.stderr
    assert "Table: orders" in schemas_only.stdout and "rows," not in schemas_only.stdout
    assert not (tmp_path / "unused").exists()

    # Either option places the cache as the tool itself would.
    own = tmp_path / "own"
    own.mkdir()
    placed = run_cli("run", *login(mariadb), "--no-schemas", "--cache-path", str(own),
                     env=with_password)
    assert placed.returncode == 0, placed.stderr
    assert [p.name for p in own.iterdir()] == ["db_cache.pkl"]


def test_run_takes_the_password_from_stdin_without_a_terminal(mariadb: MariaDB,
                                                              tmp_path: Path) -> None:
    res = run_cli("run", *login(mariadb, "empty_db"), "--no-schemas", "--cache-path",
                  str(tmp_path), input=mariadb.password + "\n")
    assert res.returncode == 0, res.stderr
    assert re.search(r"0 frames in \d+\.\d{3} s \(from the database", res.stdout)


ERROR_CASES = {
    # case: (pattern of the error line after "error: ", library logged its own record)
    "wrong-password": (r"access denied for user 'tool' at 127\.0\.0\.1:\d+: wrong user name"
                       r" or password \(Access denied", True),
    "database-not-granted": (r"access denied: user 'tool' may not use database 'mysql'", True),
    "unknown-database": (r"unknown database 'no_such_db' on 127\.0\.0\.1:\d+", True),
    "unreachable": (r"cannot reach a MySQL server at 127\.0\.0\.1:\d+; is it running", True),
    "empty-password": (r"the password is empty", False),
    # Nothing to type a password at: the message does not offer a prompt.
    "no-password": (r"no password given: set TABLORA_PASSWORD or pass it on standard input$",
                    False),
    "missing-cache-dir": (r"cache directory '.*/absent' does not exist", False),
    "cache-path-is-a-file": (r"cache directory '.*/file' is a regular file; --cache-path takes"
                             r" a directory$", False),
    # Found before the read, not after it as "Error fetching tables".
    "cache-dir-not-writable": (r"cache directory '/proc' is not writable", False),
    "cache-file-is-a-directory": (r"cache file '.*/sub' exists and is not a regular file",
                                  False),
    # Its owner could plant a pickle there.
    "foreign-default-cache-dir": (r"cache directory '.*/quendsdk' belongs to another user",
                                  False),
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_run_reports_one_clear_error(mariadb: MariaDB, global_user: str, tmp_path: Path,
                                     private_cache_home: Path, case: str) -> None:
    pattern, logged = ERROR_CASES[case]
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
    elif case == "empty-password":
        env_password = ""
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
    res = run_cli("run", "--host", host, "--user", user, "--database", database, *cache,
                  env=env)
    assert res.returncode == 1
    errors = error_lines(res.stderr)
    assert len(errors) == 1, res.stderr
    assert re.fullmatch("error: " + pattern + ".*", errors[0]), errors[0]
    assert "Traceback" not in res.stderr + res.stdout
    # The library's own record stays visible next to ours.
    assert ("ERROR - Error connecting to the database: " in res.stderr) == logged
    assert "Error fetching tables" not in res.stderr
    assert list(tmp_path.rglob("*.pkl*")) == []


@pytest.mark.parametrize(
    ("args", "pattern"),
    [
        ([], r"the following arguments are required: COMMAND"),
        (["run", "--user", "u", "--database", "d"], r"--host is required \(or set TABLORA_HOST\)"),
        (["run", "--host", "h", "--database", "d"], r"--user is required \(or set TABLORA_USER\)"),
        (["run", "--host", "h", "--user", "u"],
         r"--database is required \(or set TABLORA_DATABASE\)"),
        (["run", "--host", "h:port", "--user", "u", "--database", "d"], r"--host 'h:port'"),
        (["run", "--host", "h:12:34", "--user", "u", "--database", "d"], r"--host 'h:12:34'"),
        (["run", "--host", "h:65536", "--user", "u", "--database", "d"], r"--host 'h:65536'"),
        (["run", "--host", "h/x@y", "--user", "u", "--database", "d"], r"--host 'h/x@y'"),
        (["run", "--host", "h", "--user", "u", "--database", "d?unix_socket=/tmp/s"],
         r"--database 'd\?unix_socket=/tmp/s': a '\?' would start driver options"),
        (["run", "--password", "x"], r"unrecognized arguments: --password x"),
        (["demo", "--rows", "-1"], r"--rows must not be negative"),
    ],
    ids=["no-command", "no-host", "no-user", "no-database", "bad-port", "two-ports",
         "port-range", "url-syntax-in-host", "options-in-database", "password-option",
         "negative-rows"],
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
    # Served offline: no password, and nothing listens on the port.
    res = run_cli("run", "--host", f"127.0.0.1:{closed_port()}", "--user", "u", "--database",
                  "d", "--cache-path", str(tmp_path))
    assert "Traceback" not in res.stderr
    if pattern is None:
        assert res.returncode == 0, res.stderr
        assert "    one: 1 row, 1 column" in res.stdout.splitlines()
        assert re.search(r" 1 frame in \d+\.\d{3} s \(from the cache", res.stdout)
    else:
        assert res.returncode == 1, res.stdout + res.stderr
        errors = error_lines(res.stderr)
        assert len(errors) == 1 and re.search(pattern, errors[0]), res.stderr


def test_run_reports_library_warnings_once_with_their_table(mariadb: MariaDB,
                                                            odd_database: str) -> None:
    res = run_cli("run", "--host", mariadb.host_text, "--user", GLOBAL_USER, "--database",
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
    argv = [sys.executable, "-m", "quendsdk", "run", *login(mariadb), "--no-schemas",
            "--cache-path", str(tmp_path), *args]
    env = cli_env(TABLORA_PASSWORD=mariadb.password)
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


# Sends itself a signal while pandas reads the orders table, inside SQLAlchemy's
# execution, as a Ctrl-C would land; then checks the extension's namespace.
SIGNAL_DURING_READ = textwrap.dedent("""
    import os, sys
    from sqlalchemy import event
    from sqlalchemy.engine import Engine
    import quendsdk.tablora as tablora
    import quendsdk.cli as cli

    signum = int(sys.argv[1])
    def stop(conn, cursor, statement, *args):
        if signum and statement.lstrip().upper().startswith("SELECT") and "orders" in statement:
            os.kill(os.getpid(), signum)
    event.listen(Engine, "after_cursor_execute", stop)
    before = dict(vars(tablora))
    cls_before = dict(vars(tablora.MySQLDatabaseTablora))
    code = cli.main(sys.argv[2:])
    after = vars(tablora)
    assert after.keys() == before.keys(), set(after) ^ set(before)
    assert all(after[k] is v for k, v in before.items())
    cls_after = vars(tablora.MySQLDatabaseTablora)
    assert cls_after.keys() == cls_before.keys()
    assert all(cls_after[k] is v for k, v in cls_before.items())
    print("unchanged")
    sys.exit(code)
""")


@pytest.mark.parametrize(("signum", "code", "message"),
                         [(0, 0, None), (signal.SIGINT, 130, "error: interrupted"),
                          (signal.SIGTERM, 143, "error: terminated (SIGTERM)")],
                         ids=["none", "SIGINT", "SIGTERM"])
def test_run_read_stopped_by_a_signal(mariadb: MariaDB, tmp_path: Path, signum: int,
                                      code: int, message: str | None) -> None:
    old_cache = tmp_path / "db_cache.pkl"
    old_cache.write_bytes(pickle.dumps([one_frame()]))
    # stderr on a terminal, so that the progress display watches the read.
    got, out, err = run_on_terminal(
        [sys.executable, "-c", SIGNAL_DURING_READ, str(int(signum)), "run", *login(mariadb),
         "--refresh", "--no-schemas", "--cache-path", str(tmp_path)],
        cli_env(TABLORA_PASSWORD=mariadb.password))
    assert got == code, out + err
    assert out.splitlines()[-1] == "unchanged"
    assert "Traceback" not in err
    assert error_lines(err) == ([message] if message else [])
    if message:
        # The tool's record of the error the stop caused would only mislead.
        assert "Error fetching tables" not in err and "PendingRollbackError" not in err
        assert pickle.loads(old_cache.read_bytes())[0].attrs["name"] == "one"
        assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]
    else:
        assert len(pickle.loads(old_cache.read_bytes())) == 3


@pytest.mark.parametrize("stdout", ["reader-gone", "closed"])
def test_run_with_stdout_unusable(mariadb: MariaDB, tmp_path: Path, stdout: str) -> None:
    argv = [sys.executable, "-m", "quendsdk", "run", *login(mariadb), "--cache-path",
            str(tmp_path)]
    env = cli_env(TABLORA_PASSWORD=mariadb.password)
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
    # The script as shipped, next to a bootstrap that does nothing and a .venv python
    # that is this one.
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(REPO / "scripts" / "main_job.sh", repo / "scripts")
    (repo / "scripts" / "bootstrap.sh").write_text("exit 0\n")
    python = repo / ".venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(f'#!/bin/sh\nexec {sys.executable} "$@"\n')
    python.chmod(0o755)
    work = tmp_path / "work"
    (work / "cache").mkdir(parents=True)
    # A package of the same name where the caller stands must not be run instead.
    (work / "quendsdk").mkdir()
    (work / "quendsdk" / "__init__.py").write_text("")
    (work / "quendsdk" / "__main__.py").write_text("raise SystemExit('shadowed')\n")
    res = subprocess.run(["bash", str(repo / "scripts" / "main_job.sh"), "run", *login(mariadb),
                          "--no-schemas", "--cache-path", "cache"],
                         cwd=work, env=cli_env(TABLORA_PASSWORD=mariadb.password),
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    assert [p.name for p in (work / "cache").iterdir()] == ["db_cache.pkl"]
    assert not (repo / "cache").exists()


def _processes_mentioning(text: str) -> dict[int, tuple[bytes, int]]:
    """pid: (command line, process group) of every process whose command line has `text`."""
    found = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                cmdline = (entry / "cmdline").read_bytes()
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if text.encode() in cmdline:
                found[int(entry.name)] = (cmdline, int(fields[2]))
    return found


@pytest.fixture
def tmpdir_short() -> Iterator[Path]:
    """TMPDIR for a demo: short enough for the server's socket path to stay inside it."""
    path = Path(tempfile.mkdtemp(prefix="qd-", dir="/tmp"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


def _assert_no_server_left(pid: int, tmpdir: Path) -> None:
    try:
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        cmdline = b""
    assert b"mariadbd" not in cmdline
    assert _processes_mentioning(str(tmpdir)) == {}
    assert list(tmpdir.iterdir()) == []


@pytest.mark.slow
def test_demo_runs_end_to_end_and_cleans_up(tmpdir_short: Path) -> None:
    tmpdir = tmpdir_short
    res = run_cli("demo", env=cli_env(TMPDIR=str(tmpdir)), timeout=180)
    assert res.returncode == 0, res.stdout + res.stderr
    out = res.stdout.splitlines()
    assert "    seeded database demo_shop: orders (5000 rows), products (5 rows), users (6 rows)" in out
    assert out.index("Table: orders") < out.index("Table: products") < out.index("Table: users")
    assert "  name: VARCHAR(80)" in out and "  price: DECIMAL(10, 2)" in out
    # The password holds '@', ':' and '/'; the URL carries them percent-encoded.
    assert re.search(r"connection_string: mysql\+pymysql://tablora_demo:demo%40pw%3A[0-9a-f]{8}%2Fx"
                     r"@127\.0\.0\.1:\d+/demo_shop$", res.stdout, re.M)
    for summary in ("orders: 5000 rows, 7 columns", "products: 5 rows, 6 columns",
                    "users: 6 rows, 3 columns"):
        assert out.count(f"    {summary}") == 2
    assert re.search(r"users frame: \.name = 'users', attrs\['name'\] = 'users', column 'name' "
                     r"starts \['Ada Lovelace', 'Grace Hopper'\]", res.stdout)
    database_run = re.search(r"3 frames in \d+\.\d{3} s \(from the database", res.stdout)
    cache_run = re.search(r"3 frames in \d+\.\d{3} s \(from the cache", res.stdout)
    assert database_run and cache_run and database_run.start() < cache_run.start()
    assert out[-1] == "==> server stopped, temporary files removed"
    assert res.stderr.count("Successfully connected to the database.") == 1
    assert error_lines(res.stderr) == []
    pid = int(re.search(r"mariadbd pid (\d+)", res.stdout)[1])  # type: ignore[index]
    _assert_no_server_left(pid, tmpdir)


# Moments of the demo: a process seen with this in its command line, or a line printed.
STOP_MOMENTS = {"install": b"mariadb-install-db", "bootstrap": b"--bootstrap",
                "server-start": b"--port=", "seeding": "mariadbd pid"}


@pytest.mark.slow
@pytest.mark.parametrize("moment", list(STOP_MOMENTS))
@pytest.mark.parametrize(("signum", "code", "message"),
                         [(signal.SIGTERM, 143, "error: terminated (SIGTERM)"),
                          (signal.SIGINT, 130, "error: interrupted")],
                         ids=["SIGTERM", "SIGINT"])
def test_demo_cleans_up_when_stopped(tmpdir_short: Path, signum: int, code: int, message: str,
                                     moment: str) -> None:
    tmpdir = tmpdir_short
    proc = subprocess.Popen([sys.executable, "-m", "quendsdk", "demo", "--rows", "200000"],
                            env=cli_env(TMPDIR=str(tmpdir)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    marker = STOP_MOMENTS[moment]
    try:
        assert proc.stdout is not None
        deadline = time.monotonic() + 120
        if isinstance(marker, str):  # the big seeding step runs when the signal lands
            while marker not in proc.stdout.readline():
                assert proc.poll() is None and time.monotonic() < deadline
        else:
            seen: list[int] = []
            while not seen:
                assert proc.poll() is None and time.monotonic() < deadline
                seen = [group for cmdline, group in _processes_mentioning(str(tmpdir)).values()
                        if marker in cmdline]
            # Out of the demo's group, so a terminal's Ctrl-C reaches the demo alone.
            assert seen[0] != proc.pid
        # To the whole group, as Ctrl-C on a terminal does.
        os.killpg(proc.pid, signum)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == code, err
    assert error_lines(err) == [message]
    assert "Traceback" not in err
    assert out.splitlines()[-1] == "==> server stopped, temporary files removed"
    assert _processes_mentioning(str(tmpdir)) == {}
    assert list(tmpdir.iterdir()) == []


@pytest.mark.parametrize("module", ["quendsdk", "quendsdk.cli", "quendsdk._local_mariadb"])
def test_importing_the_package_leaves_the_extension_unimported(module: str) -> None:
    code = f"import sys, {module}; print(sorted(m for m in sys.modules if m.startswith('quendsdk')))"
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    assert "quendsdk.tablora" not in res.stdout and module in res.stdout
