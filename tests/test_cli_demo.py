"""`quendsdk demo`: end to end, and its cleanup however it is stopped."""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from cli_helpers import QUENDSDK, cli_env, error_lines, private_home, run_cli  # noqa: F401


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
    # The steps are shown, the login password is not.
    assert re.search(r"connection_string: mysql\+pymysql://tablora_demo:\*\*\*"
                     r"@127\.0\.0\.1:\d+/demo_shop$", res.stdout, re.M)
    assert "demo@pw" not in res.stdout + res.stderr and "demo%40pw" not in res.stdout
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
# "repeated": one signal after another from the seeding on, until the demo has ended.
STOP_MOMENTS = {"install": b"mariadb-install-db", "bootstrap": b"--bootstrap",
                "server-start": b"--port=", "seeding": "mariadbd pid", "repeated": "mariadbd pid"}


@pytest.mark.slow
@pytest.mark.parametrize("moment", list(STOP_MOMENTS))
@pytest.mark.parametrize(("signum", "code", "message"),
                         [(signal.SIGTERM, 143, "error: terminated (SIGTERM)"),
                          (signal.SIGINT, 130, "error: interrupted")],
                         ids=["SIGTERM", "SIGINT"])
def test_demo_cleans_up_when_stopped(tmpdir_short: Path, signum: int, code: int, message: str,
                                     moment: str) -> None:
    tmpdir = tmpdir_short
    proc = subprocess.Popen([QUENDSDK, "demo", "--rows", "200000"],
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
        while moment == "repeated" and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signum)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    # One that lands after the command has ended and put the old handlers back
    # meets the default action, which a shell reports as the same status.
    assert proc.returncode in ((code, -signum) if moment == "repeated" else (code,)), err
    assert error_lines(err) == [message]
    assert "Traceback" not in err
    assert out.splitlines()[-1] == "==> server stopped, temporary files removed"
    assert _processes_mentioning(str(tmpdir)) == {}
    assert list(tmpdir.iterdir()) == []
