"""The command line against other local users, stops and odd names: what it loads,
what it leaves behind, and what it never changes."""

from __future__ import annotations

import json
import os
import pickle
import signal
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest

from cli_helpers import (private_home,  # noqa: F401 (autouse)
                         QUENDSDK, closed_port, error_lines, login, mode, plain, run_cli,
                         run_on_terminal, with_password)
from mariadb_server import MariaDB

NOBODY = 65534


class Marker:
    """Unpickles by creating `path`: proof that a file was loaded."""

    def __init__(self, path: Path) -> None:
        self.path = str(path)

    def __reduce__(self) -> tuple[object, ...]:
        return (open, (self.path, "w"))


def predictable_cache(port: int) -> Path:
    from quendsdk.cli.cache_store import default_directory, file_name

    key = {"user": "u", "host": "127.0.0.1", "port": port, "database": "d", "socket": ""}
    return Path(default_directory()) / file_name(key)


@pytest.mark.parametrize("case", ["other-owner", "group-writable", "symlink"])
def test_run_never_loads_a_cache_others_could_have_written(tmp_path: Path, case: str) -> None:
    port = closed_port()
    cache = predictable_cache(port)
    cache.parent.mkdir(parents=True)
    cache.parent.chmod(0o777)  # as once left behind
    loaded = tmp_path / "loaded"
    planted = cache if case != "symlink" else tmp_path / "elsewhere.pkl"
    planted.write_bytes(pickle.dumps(Marker(loaded)))
    planted.chmod(0o664 if case == "group-writable" else 0o600)
    if case == "other-owner":
        os.chown(planted, NOBODY, NOBODY)
    elif case == "symlink":
        cache.symlink_to(planted)
    res = run_cli("run", "--no-defaults", "-h", f"127.0.0.1:{port}", "-u", "u", "-D", "d")
    assert res.returncode == 1
    reason = {"other-owner": "belongs to another user", "group-writable":
              "can be written by other users (mode 0664)", "symlink": "is a symbolic link"}[case]
    assert error_lines(res.stderr) == [l for l in res.stderr.splitlines() if reason in l], res.stderr
    assert len(res.stderr.splitlines()) == 1
    assert not loaded.exists() and os.path.lexists(cache)  # refused, not deleted
    assert mode(cache.parent) == 0o700


def test_run_never_follows_a_link_in_place_of_the_cache_directory(tmp_path: Path,
                                                                  private_home: Path) -> None:
    target = tmp_path / "roots"
    target.mkdir()
    target.chmod(0o755)
    xdg = private_home / "xdg"
    xdg.mkdir()
    (xdg / "quendsdk").symlink_to(target)
    os.chown(xdg / "quendsdk", NOBODY, NOBODY, follow_symlinks=False)
    res = run_cli("run", "--no-defaults", "-h", f"127.0.0.1:{closed_port()}", "-u", "u", "-D", "d")
    assert res.returncode == 1
    assert error_lines(res.stderr) == [f"error: cache directory '{xdg / 'quendsdk'}' is a symbolic "
                                       "link, which is not followed; name the directory itself "
                                       "with --cache-path"]
    assert mode(target) == 0o755 and list(target.iterdir()) == []


def test_a_cache_serves_only_the_connection_it_came_from(mariadb: MariaDB,
                                                         tmp_path: Path) -> None:
    # 84 CJK characters: 252 bytes, the longest name that fits, temporary name included.
    name = "表" * 84
    cache = ["--cache-path", str(tmp_path), "--cache-file", name]
    first = run_cli("run", *login(mariadb), "--no-schemas", *cache, env=with_password(mariadb))
    assert first.returncode == 0, first.stderr
    assert [p.name for p in tmp_path.iterdir()] == [name]
    other = run_cli("run", *login(mariadb, "empty_db"), *cache, env=with_password(mariadb))
    assert other.returncode == 1
    assert error_lines(other.stderr) == [
        f"error: cache file '{tmp_path / name}' holds the tables of tool@{mariadb.host_text}/shop,"
        f" not of tool@{mariadb.host_text}/empty_db; choose another --cache-file, or run with "
        "--refresh to replace it"]
    replaced = run_cli("run", *login(mariadb, "empty_db"), "--refresh", *cache,
                       env=with_password(mariadb))
    assert replaced.returncode == 0, replaced.stderr
    assert pickle.loads((tmp_path / name).read_bytes()) == []


@pytest.fixture(scope="module")
def percent_databases(mariadb: MariaDB) -> Iterator[None]:
    """`p%41` and `pA`, with a table each: a URL that decodes %41 reads the wrong one."""
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        for database, table in (("p%41", "percent_table"), ("pA", "plain_table")):
            cur.execute(f"CREATE DATABASE `{database}`")
            cur.execute(f"CREATE TABLE `{database}`.{table} (id INT)")
            for host in ("127.0.0.1", "localhost"):
                # A grant's '%' is a wildcard: escaped for the server, doubled for PyMySQL.
                pattern = database.replace("%", "\\%").replace("%", "%%")
                cur.execute(f"GRANT SELECT ON `{pattern}`.* TO %s@%s", (mariadb.user, host))
    yield
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        for database in ("p%41", "pA"):
            cur.execute(f"DROP DATABASE `{database}`")


def test_a_percent_in_the_database_name_means_itself(mariadb: MariaDB, percent_databases: None,
                                                     private_home: Path) -> None:
    seen = {}
    for database in ("p%41", "pA"):
        res = run_cli("run", *login(mariadb, database), env=with_password(mariadb))
        assert res.returncode == 0, res.stderr
        seen[database] = [line for line in res.stdout.splitlines() if line.startswith("Table:")]
    assert seen == {"p%41": ["Table: percent_table"], "pA": ["Table: plain_table"]}
    assert len(list((private_home / "xdg" / "quendsdk").iterdir())) == 2


@pytest.fixture(scope="module")
def markup_database(mariadb: MariaDB) -> Iterator[str]:
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("CREATE DATABASE cli_markup")
        cur.execute("CREATE TABLE cli_markup.`x[/y]` (id INT, `[bold]` TEXT)")
        cur.execute("INSERT INTO cli_markup.`x[/y]` VALUES (1, '[red]')")
        for host in ("127.0.0.1", "localhost"):
            cur.execute("GRANT SELECT ON cli_markup.* TO %s@%s", (mariadb.user, host))
    yield "cli_markup"
    with mariadb.root_connect() as conn, conn.cursor() as cur:
        cur.execute("DROP DATABASE cli_markup")


def test_the_progress_display_never_changes_the_outcome(mariadb: MariaDB, markup_database: str,
                                                        tmp_path: Path) -> None:
    outcomes = []
    for where in ("terminal", "pipe"):
        cache_dir = tmp_path / where
        cache_dir.mkdir()
        argv = [QUENDSDK, "run", *login(mariadb, markup_database), "--cache-path", str(cache_dir)]
        if where == "terminal":
            code, out, err = run_on_terminal(argv, with_password(mariadb))
            assert "reading x[/y]" in plain(err)  # shown as it stands
        else:
            res = subprocess.run(argv, env=with_password(mariadb), capture_output=True, text=True,
                                 stdin=subprocess.DEVNULL, timeout=120)
            code, out = res.returncode, res.stdout
        frames = pickle.loads((cache_dir / "db_cache.pkl").read_bytes())
        outcomes.append((code, [line for line in out.splitlines() if "frame" not in line],
                         [(df.attrs["name"], df.to_dict("list")) for df in frames]))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == 0 and outcomes[0][2] == [("x[/y]", {"id": [1], "[bold]": ["[red]"]})]


# Two runs in threads of one process, while a third thread warns; afterwards
# nothing process-wide may differ from before.
TWO_RUNS = textwrap.dedent("""
    import json, os, sys, threading, time, warnings
    import quendsdk.tablora as tablora
    from quendsdk.cli.main import main

    os.umask(0o022)
    seen = []
    def show(message, *args, **kwargs):
        seen.append(str(message))
    warnings.showwarning = show
    before = (tablora.pd, tablora.inspect, warnings.showwarning, list(warnings.filters))
    def warn_meanwhile():
        for i in range(40):
            warnings.warn(f"other thread {i}")
            time.sleep(0.01)
    codes = []
    runs = [threading.Thread(target=lambda d=d: codes.append(main(["run", *sys.argv[1:-2], "--cache-path", d])))
            for d in sys.argv[-2:]]
    other = threading.Thread(target=warn_meanwhile)
    for t in [*runs, other]:
        t.start()
    for t in [*runs, other]:
        t.join()
    after = (tablora.pd, tablora.inspect, warnings.showwarning, list(warnings.filters))
    umask = os.umask(0)
    print(json.dumps([codes, [a is b for a, b in zip(before[:3], after[:3])], before[3] == after[3],
                      oct(umask), len([s for s in seen if s.startswith("other thread")])]))
""")


def test_runs_in_threads_leave_nothing_process_wide_changed(mariadb: MariaDB,
                                                            tmp_path: Path) -> None:
    dirs = [tmp_path / "a", tmp_path / "b"]
    for d in dirs:
        d.mkdir()
    res = subprocess.run([sys.executable, "-c", TWO_RUNS, *login(mariadb), "--no-schemas", "-q",
                          *map(str, dirs)],
                         env=with_password(mariadb), capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    last = res.stdout.strip().splitlines()[-1]
    assert json.loads(last) == [[0, 0], [True, True, True], True, "0o22", 40], res.stderr
    assert [mode(d / "db_cache.pkl") for d in dirs] == [0o600, 0o600]


def test_sigterm_at_the_password_prompt_ends_the_prompt_line(mariadb: MariaDB) -> None:
    def stop_at_prompt(got: bytes, proc: subprocess.Popen[bytes], terminal: int) -> None:
        if got.endswith(b": ") and b"Password for" in got:
            proc.send_signal(signal.SIGTERM)

    code, out, err = run_on_terminal([QUENDSDK, "run", *login(mariadb), "-p"], with_password(mariadb),
                                     all_on_terminal=True, on_output=stop_at_prompt)
    assert code == 143
    prompt, _, rest = plain(err).partition(f"Password for tool at {mariadb.host_text}: ")
    assert rest.lstrip(" ").startswith(("\r\n", "\n")) and "error: terminated (SIGTERM)" in rest
