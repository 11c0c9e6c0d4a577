"""`python -m quendsdk`: the run and demo commands, their errors and cleanup."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from mariadb_server import MariaDB

GLOBAL_USER = "cli_global"
GLOBAL_PASSWORD = "cli_global_pw"
TIMING = r"\d+ frames in \d+\.\d{3} s"


def cli_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("TABLORA_")}
    env.update(extra)
    return env


def run_cli(*args: str, env: dict[str, str] | None = None, input: str | None = None,
            timeout: float = 120) -> subprocess.CompletedProcess[str]:
    # New session: no controlling terminal, so no password prompt can block.
    return subprocess.run(
        [sys.executable, "-m", "quendsdk", *args], env=cli_env() if env is None else env,
        input=input, stdin=None if input is not None else subprocess.DEVNULL,
        capture_output=True, text=True, timeout=timeout, start_new_session=True)


def error_lines(text: str) -> list[str]:
    return [line for line in text.splitlines() if "error:" in line]


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.fixture(scope="module")
def global_user(mariadb: MariaDB) -> Iterator[str]:
    """A login with rights on every database, so a missing one reads as unknown."""
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("CREATE USER %s@'127.0.0.1' IDENTIFIED BY %s", (GLOBAL_USER, GLOBAL_PASSWORD))
        cur.execute("GRANT SELECT ON *.* TO %s@'127.0.0.1'", (GLOBAL_USER,))
    yield GLOBAL_USER
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("DROP USER %s@'127.0.0.1'", (GLOBAL_USER,))


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ([], ["demo", "run"]),
        (["demo"], ["--rows"]),
        (["run"], ["--host", "--user", "--database", "--cache-path", "--cache-file",
                   "--no-schemas", "TABLORA_PASSWORD", "TABLORA_HOST"]),
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


def test_run_reads_the_database_then_the_cache(mariadb: MariaDB, tmp_path: Path) -> None:
    first = run_cli("run", "--host", mariadb.host_text, "--user", mariadb.user,
                    "--database", "shop", "--cache-path", str(tmp_path),
                    env=cli_env(TABLORA_PASSWORD=mariadb.password))
    assert first.returncode == 0, first.stderr
    out = first.stdout.splitlines()
    # Schema lines come from the tool itself, in table order.
    assert out.index("Table: customers") < out.index("Table: orders") < out.index("Table: products")
    assert "  email: VARCHAR(120)" in out
    assert "  total: DECIMAL(10, 2)" in out
    for summary in ("customers: 4 rows, 3 columns", "orders: 5 rows, 4 columns",
                    "products: 3 rows, 4 columns"):
        assert f"    {summary}" in out
    cache = tmp_path / "db_cache.pkl"
    assert re.search(TIMING + rf" \(from the database; cache written to {re.escape(str(cache))}\)",
                     first.stdout)
    assert "Successfully connected to the database." in first.stderr
    assert error_lines(first.stderr) == [] and mariadb.password not in first.stdout
    assert cache.stat().st_size > 0

    # Connection values from the environment; the cache answers this time.
    second = run_cli("run", "--no-schemas", "--cache-path", str(tmp_path),
                     env=cli_env(TABLORA_PASSWORD=mariadb.password,
                                 TABLORA_HOST=mariadb.host_text, TABLORA_USER=mariadb.user,
                                 TABLORA_DATABASE="shop"))
    assert second.returncode == 0, second.stderr
    assert "Table:" not in second.stdout
    assert "    customers: 4 rows, 3 columns" in second.stdout.splitlines()
    assert re.search(TIMING + rf" \(from the cache {re.escape(str(cache))}\)", second.stdout)


def test_run_takes_the_password_from_stdin_without_a_terminal(mariadb: MariaDB,
                                                              tmp_path: Path) -> None:
    res = run_cli("run", "--host", mariadb.host_text, "--user", mariadb.user,
                  "--database", "empty_db", "--no-schemas", "--cache-path", str(tmp_path),
                  input=mariadb.password + "\n")
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
    "no-password": (r"no password given: set TABLORA_PASSWORD", False),
    "missing-cache-dir": (r"cache directory '.*/absent' does not exist", False),
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_run_reports_one_clear_error(mariadb: MariaDB, global_user: str, tmp_path: Path,
                                     case: str) -> None:
    pattern, logged = ERROR_CASES[case]
    host, user, password, database = mariadb.host_text, mariadb.user, mariadb.password, "shop"
    cache_path = str(tmp_path)
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
        cache_path = str(tmp_path / "absent")
    env = cli_env() if env_password is None else cli_env(TABLORA_PASSWORD=env_password)
    res = run_cli("run", "--host", host, "--user", user, "--database", database,
                  "--cache-path", cache_path, env=env)
    assert res.returncode == 1
    errors = error_lines(res.stderr)
    assert len(errors) == 1, res.stderr
    assert re.fullmatch("error: " + pattern + ".*", errors[0]), errors[0]
    assert "Traceback" not in res.stderr + res.stdout
    # The library's own record stays visible next to ours.
    assert ("ERROR - Error connecting to the database: " in res.stderr) == logged
    assert not (tmp_path / "db_cache.pkl").exists()


@pytest.mark.parametrize(
    ("args", "pattern"),
    [
        ([], r"the following arguments are required: COMMAND"),
        (["run", "--user", "u", "--database", "d"], r"--host is required \(or set TABLORA_HOST\)"),
        (["run", "--host", "h", "--database", "d"], r"--user is required \(or set TABLORA_USER\)"),
        (["run", "--host", "h", "--user", "u"],
         r"--database is required \(or set TABLORA_DATABASE\)"),
        (["run", "--host", "h:port", "--user", "u", "--database", "d"], r"--host 'h:port'"),
        (["run", "--password", "x"], r"unrecognized arguments: --password x"),
        (["demo", "--rows", "-1"], r"--rows must not be negative"),
    ],
    ids=["no-command", "no-host", "no-user", "no-database", "bad-port", "password-option",
         "negative-rows"],
)
def test_usage_errors(args: list[str], pattern: str) -> None:
    res = run_cli(*args, env=cli_env(TABLORA_PASSWORD="x"))
    assert res.returncode == 2
    errors = error_lines(res.stderr)
    assert len(errors) == 1 and re.search(pattern, errors[0]), res.stderr
    assert "Traceback" not in res.stderr


def _processes_mentioning(text: str) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                cmdline = (entry / "cmdline").read_bytes()
            except OSError:
                continue
            if text.encode() in cmdline:
                found.append(int(entry.name))
    return found


def _assert_no_server_left(pid: int, tmpdir: Path) -> None:
    try:
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        cmdline = b""
    assert b"mariadbd" not in cmdline
    assert _processes_mentioning(str(tmpdir)) == []
    assert list(tmpdir.iterdir()) == []


@pytest.mark.slow
def test_demo_runs_end_to_end_and_cleans_up(tmp_path: Path) -> None:
    tmpdir = tmp_path / "tmp"
    tmpdir.mkdir()
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


@pytest.mark.slow
@pytest.mark.parametrize(("signum", "code", "message"),
                         [(signal.SIGTERM, 143, "error: terminated (SIGTERM)"),
                          (signal.SIGINT, 130, "error: interrupted")],
                         ids=["SIGTERM", "SIGINT"])
def test_demo_cleans_up_when_stopped(tmp_path: Path, signum: int, code: int,
                                     message: str) -> None:
    tmpdir = tmp_path / "tmp"
    tmpdir.mkdir()
    proc = subprocess.Popen([sys.executable, "-m", "quendsdk", "demo", "--rows", "200000"],
                            env=cli_env(TMPDIR=str(tmpdir)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        assert proc.stdout is not None
        pid = None
        deadline = time.monotonic() + 120
        while pid is None and time.monotonic() < deadline:
            line = proc.stdout.readline()
            assert line, "demo ended before its server was up"
            if m := re.search(r"mariadbd pid (\d+)", line):
                pid = int(m[1])
        assert pid is not None
        # The big seeding step is still running when the signal lands.
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == code, err
    assert error_lines(err) == [message]
    assert "Traceback" not in err
    assert out.splitlines()[-1] == "==> server stopped, temporary files removed"
    _assert_no_server_left(pid, tmpdir)


@pytest.mark.parametrize("module", ["quendsdk", "quendsdk.cli", "quendsdk._local_mariadb"])
def test_importing_the_package_leaves_the_extension_unimported(module: str) -> None:
    code = f"import sys, {module}; print(sorted(m for m in sys.modules if m.startswith('quendsdk')))"
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    assert "quendsdk.tablora" not in res.stdout and module in res.stdout


def test_cli_leaves_the_extension_namespace_unchanged(mariadb: MariaDB, tmp_path: Path) -> None:
    script = textwrap.dedent(f"""
        import sys
        import quendsdk.tablora as tablora
        before = dict(vars(tablora))
        cls_before = dict(vars(tablora.MySQLDatabaseTablora))
        import quendsdk.cli as cli
        rc = cli.main(["run", "--host", {mariadb.host_text!r}, "--user", {mariadb.user!r},
                       "--database", "shop", "--cache-path", {str(tmp_path)!r}])
        assert rc == 0, rc
        after = vars(tablora)
        assert after.keys() == before.keys(), set(after) ^ set(before)
        assert all(after[k] is v for k, v in before.items())
        cls_after = vars(tablora.MySQLDatabaseTablora)
        assert cls_after.keys() == cls_before.keys()
        assert all(cls_after[k] is v for k, v in cls_before.items())
        print("unchanged")
    """)
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=cli_env(TABLORA_PASSWORD=mariadb.password), timeout=120,
                         stdin=subprocess.DEVNULL)
    assert res.returncode == 0, res.stdout + res.stderr
    assert res.stdout.splitlines()[-1] == "unchanged"
