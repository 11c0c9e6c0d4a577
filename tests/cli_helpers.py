"""Running the installed `quendsdk` command in a subprocess, on a pipe or a terminal."""

from __future__ import annotations

import fcntl
import os
import re
import select
import socket
import stat
import subprocess
import sys
import termios
import time
from collections.abc import Callable
from pathlib import Path

import pytest

from mariadb_server import MariaDB

QUENDSDK = str(Path(sys.executable).with_name("quendsdk"))
TIMING = r"\d+ frames? in \d+\.\d{3} s"


@pytest.fixture(autouse=True)
def private_home(tmp_path_factory: pytest.TempPathFactory,
                 monkeypatch: pytest.MonkeyPatch) -> Path:
    """HOME and XDG_CACHE_HOME of every command a test runs (imported into each command-line
    test module): never the real ones, so no ~/.my.cnf and no caches of the user's."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("XDG_CACHE_HOME", str(home / "xdg"))
    return home


def cli_env(**extra: str) -> dict[str, str]:
    """This process's environment without TABLORA_*, plus `extra`. HOME and
    XDG_CACHE_HOME are per test (an autouse fixture sets them)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TABLORA_")}
    env.update(extra)
    return env


def run_cli(*args: str, env: dict[str, str] | None = None, input: str | None = None,
            timeout: float = 120, **kwargs: object) -> subprocess.CompletedProcess[str]:
    # New session: no controlling terminal, so no password prompt can block.
    return subprocess.run(
        [QUENDSDK, *args], env=cli_env() if env is None else env,
        input=input, stdin=None if input is not None else subprocess.DEVNULL,
        capture_output=True, text=True, timeout=timeout, start_new_session=True, **kwargs)


def _take_terminal() -> None:
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def run_on_terminal(argv: list[str], env: dict[str, str], timeout: float = 120,
                    all_on_terminal: bool = False,
                    on_output: Callable[[bytes, subprocess.Popen[bytes], int], None] | None = None
                    ) -> tuple[int, str, str]:
    """argv with stderr on a pseudo-terminal (and stdin too, as its controlling
    terminal, when `all_on_terminal`): (exit status, stdout, what the terminal got).
    `on_output` sees the terminal's output so far after each chunk, with the
    process and the terminal's descriptor (to type at it)."""
    master, slave = os.openpty()
    try:
        proc = subprocess.Popen(argv, env=env,
                                stdin=slave if all_on_terminal else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=slave, start_new_session=True,
                                preexec_fn=_take_terminal if all_on_terminal else None)
    finally:
        os.close(slave)
    got = b""
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.2)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the child side is closed
                    break
                if not chunk:
                    break
                got += chunk
                if on_output is not None:
                    on_output(got, proc, master)
        out = proc.communicate(timeout=max(deadline - time.monotonic(), 1))[0]
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out.decode(), got.decode(errors="replace")


def plain(text: str) -> str:
    """Terminal output without its control sequences."""
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)


def error_lines(text: str) -> list[str]:
    return [line for line in plain(text).splitlines() if "error:" in line]


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def mode(path: Path) -> int:
    return stat.S_IMODE(path.lstat().st_mode)


def login(mariadb: MariaDB, database: str = "shop") -> list[str]:
    return ["--no-defaults", "-h", mariadb.host_text, "-u", mariadb.user, "-D", database]


def with_password(mariadb: MariaDB, **extra: str) -> dict[str, str]:
    return cli_env(TABLORA_PASSWORD=mariadb.password, **extra)
