"""A throwaway MariaDB server on this machine, for demos and tests.

    with LocalMariaDB() as server:
        server.create_user("me", "secret", databases=["shop"])
        url = server.url("me", "secret", "shop")

start() makes a fresh datadir under a new temp dir, runs mariadbd on a free
loopback port and a Unix socket in that dir; stop() ends the server and removes
the temp dir. Root has no password and is reached over the socket only.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from types import TracebackType
from typing import IO
from urllib.parse import quote

import pymysql

__all__ = ["LocalMariaDB", "MariaDBStartError", "find_binary"]

HOST = "127.0.0.1"
# Unix socket paths are limited to 108 bytes (sun_path).
_MAX_SOCKET_PATH = 100


class MariaDBStartError(RuntimeError):
    """The server could not be installed or started; `log` holds its output."""

    def __init__(self, message: str, log: str = "") -> None:
        super().__init__(message)
        self.log = log


def find_binary(name: str) -> str:
    """Path of a MariaDB program; the Debian package puts mariadbd in /usr/sbin."""
    found = shutil.which(name)
    if found:
        return found
    for d in ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"):
        p = Path(d, name)
        if p.is_file() and os.access(p, os.X_OK):
            return str(p)
    raise FileNotFoundError(
        f"{name} not found; install the mariadb-server package (scripts/bootstrap.sh does)")


def _socket_accepts(path: Path) -> bool:
    """Whether a server listens on the Unix socket. PyMySQL leaks its socket
    when the connect itself fails, so it is asked only once this says yes."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(str(path))
        except OSError:
            return False
        return True


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return int(s.getsockname()[1])


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
PR_GET_CHILD_SUBREAPER = 37


try:
    # Loaded here, not in a forked child.
    _libc: ctypes.CDLL | None = ctypes.CDLL("libc.so.6", use_errno=True)
except OSError:
    _libc = None


def _prctl(option: int, value: int) -> int | None:
    if _libc is None:
        return None
    if option == PR_GET_CHILD_SUBREAPER:
        out = ctypes.c_int(0)
        return out.value if _libc.prctl(option, ctypes.byref(out)) == 0 else None
    return int(_libc.prctl(option, value))


def _child_preexec() -> None:
    # Own session and process group: a Ctrl-C in the terminal goes to us alone,
    # and we stop the whole group in order. The mask held while spawning is not
    # the child's. Death signal: if we are killed outright, the child goes too.
    os.setsid()
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOP_SIGNALS)
    _prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """SIGINT/SIGTERM wait until the block has put its child or directory on record."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _spawn(cmd: list[str], out: IO[bytes]) -> subprocess.Popen[bytes]:
    return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, preexec_fn=_child_preexec)


def _group_left(pgid: int) -> bool:
    """Reap what of the group is ours; True once no member is left."""
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-pgid, os.WNOHANG)[0] > 0:
            pass
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


def _end_group(proc: subprocess.Popen[bytes], timeout: float,
               signals: tuple[int, ...] = (signal.SIGTERM, signal.SIGKILL)) -> None:
    """Signal the process group `proc` leads, the next signal after `timeout` each;
    return once every member is gone.

    mariadb-install-db's `mariadbd --bootstrap` outlives the script when only
    the script is stopped, and writes into the datadir after it is removed.
    """
    pgid = proc.pid
    for sig in signals:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(pgid, sig)
        deadline = time.monotonic() + timeout
        while True:
            proc.poll()
            if _group_left(pgid):
                return
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)
    raise RuntimeError(f"process group {pgid} still running after SIGKILL")


class LocalMariaDB:
    """One mariadbd process on a fresh datadir in a temp dir of its own."""

    host = HOST

    def __init__(self, base_dir: str | None = None, port: int | None = None,
                 start_timeout: float = 60.0, stop_timeout: float = 30.0) -> None:
        self._base_dir = base_dir
        self._port_arg = port
        self.start_timeout = start_timeout
        self.stop_timeout = stop_timeout
        self.port: int | None = None
        self.tmp_dir: Path | None = None
        self.proc: subprocess.Popen[bytes] | None = None
        self._install_proc: subprocess.Popen[bytes] | None = None
        self._ready = False  # the server has accepted a connection
        self._subreaper_before: int | None = None

    # -- facts of the running server
    @property
    def host_text(self) -> str:
        """host:port, as the tool's `host` argument takes it."""
        if self.port is None:
            raise RuntimeError("server not started")
        return f"{self.host}:{self.port}"

    @property
    def socket_path(self) -> Path:
        return self._dir() / "mysqld.sock"

    @property
    def datadir(self) -> Path:
        return self._dir() / "data"

    @property
    def pid(self) -> int | None:
        return self.proc.pid if self.proc is not None else None

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def _dir(self) -> Path:
        if self.tmp_dir is None:
            raise RuntimeError("server not started")
        return self.tmp_dir

    def error_log(self) -> str:
        try:
            return (self._dir() / "err.log").read_text(errors="replace")
        except (OSError, RuntimeError):
            return "(no error log)"

    def root_connect(self, database: str | None = None) -> pymysql.connections.Connection:
        """A root connection over the socket, autocommit on."""
        return pymysql.connect(unix_socket=str(self.socket_path), user="root", password="",
                               database=database, charset="utf8mb4", autocommit=True)

    def url(self, user: str, password: str, database: str = "") -> str:
        """SQLAlchemy URL for a login user over TCP, credentials percent-encoded."""
        return (f"mysql+pymysql://{quote(user, safe='')}:{quote(password, safe='')}"
                f"@{self.host_text}/{quote(database, safe='')}")

    def create_user(self, user: str, password: str, databases: Iterable[str] = (),
                    privileges: str = "ALL") -> None:
        """A login user for both 127.0.0.1 (TCP) and localhost (socket)."""
        hosts = ("127.0.0.1", "localhost")
        with self.root_connect() as conn, conn.cursor() as cur:
            for h in hosts:
                cur.execute("CREATE USER %s@%s IDENTIFIED BY %s", (user, h, password))
            for db in databases:
                quoted = db.replace("`", "``")
                for h in hosts:
                    cur.execute(f"GRANT {privileges} ON `{quoted}`.* TO %s@%s", (user, h))

    # -- lifecycle
    def start(self) -> LocalMariaDB:
        if self.tmp_dir is not None:
            raise RuntimeError("server already started")
        with _signals_deferred():
            self.tmp_dir = self._make_tmp()
        try:
            self._install_db()
            attempts = 1 if self._port_arg else 3
            for attempt in range(attempts):
                port = self._port_arg or _free_port()
                if self._launch(port):
                    return self
                # Another process may take the free port before mariadbd binds it.
                if attempt == attempts - 1 or "already in use" not in self.error_log():
                    raise MariaDBStartError(f"mariadbd failed to start on port {port}",
                                            self.error_log())
        except BaseException:
            self.stop()
            raise
        raise AssertionError("unreachable")

    def _make_tmp(self) -> Path:
        tmp = Path(tempfile.mkdtemp(prefix="tablora-mariadb-", dir=self._base_dir))
        if len(str(tmp / "mysqld.sock")) > _MAX_SOCKET_PATH:
            shutil.rmtree(tmp)
            tmp = Path(tempfile.mkdtemp(prefix="tablora-mariadb-", dir="/tmp"))
        return tmp

    def _install_db(self) -> None:
        cmd = [
            find_binary("mariadb-install-db"), "--no-defaults",
            f"--datadir={self.datadir}",
            "--auth-root-authentication-method=normal",
            "--skip-test-db", "--skip-name-resolve",
            "--innodb-log-file-size=16M",
            # A server clears what it takes for stale temporary tables from its
            # tmpdir: a shared /tmp would lose another install's tables.
            f"--tmpdir={self._dir()}",
        ]
        # Orphans of the script come to us while it runs, so that we can reap them.
        self._subreaper_before = _prctl(PR_GET_CHILD_SUBREAPER, 0)
        _prctl(PR_SET_CHILD_SUBREAPER, 1)
        log = self._dir() / "install.log"
        with open(log, "wb") as out, _signals_deferred():
            self._install_proc = _spawn(cmd, out)
        code = self._install_proc.wait()
        self._end_install()
        if code != 0:
            raise MariaDBStartError(f"mariadb-install-db failed (exit {code})",
                                    log.read_text(errors="replace"))

    def _end_install(self) -> None:
        if self._install_proc is not None:
            _end_group(self._install_proc, self.stop_timeout)
            # Cleared only now, so that an interrupted stop() can be retried.
            self._install_proc = None
        if self._subreaper_before is not None:
            _prctl(PR_SET_CHILD_SUBREAPER, self._subreaper_before)
            self._subreaper_before = None

    def _launch(self, port: int) -> bool:
        """Run mariadbd and wait until root can log in; False if it exited early."""
        tmp = self._dir()
        err_log = tmp / "err.log"
        err_log.unlink(missing_ok=True)
        cmd = [
            find_binary("mariadbd"), "--no-defaults",
            f"--datadir={self.datadir}",
            f"--socket={self.socket_path}",
            f"--pid-file={tmp / 'mysqld.pid'}",
            f"--log-error={err_log}",
            f"--tmpdir={tmp}",
            f"--bind-address={self.host}", f"--port={port}",
            "--user=root",  # mariadbd refuses to run as root without it
            "--skip-name-resolve", "--skip-log-bin",
            "--innodb-buffer-pool-size=32M", "--innodb-log-file-size=16M",
            # Throwaway data: durability is not worth the fsyncs.
            "--innodb-flush-log-at-trx-commit=2",
            # --no-defaults would otherwise leave latin1 and the host's zone.
            "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci",
            "--default-time-zone=+00:00",
        ]
        with open(tmp / "mariadbd.out", "wb") as out, _signals_deferred():
            self.proc = _spawn(cmd, out)
        self.port = port
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self.proc = None
                self.port = None
                return False
            try:
                if _socket_accepts(self.socket_path):
                    self.root_connect().close()
                    self._ready = True
                    return True
            except pymysql.err.OperationalError:
                pass
            time.sleep(0.1)
        raise MariaDBStartError(
            f"mariadbd not accepting connections after {self.start_timeout:.0f} s",
            self.error_log())

    def stop(self) -> None:
        """End the server and any install step, whole process groups (SIGTERM, then
        SIGKILL), then remove the temp dir. Idempotent, and can be retried."""
        self._end_install()
        if self.proc is not None:
            # A SIGTERM that lands before mariadbd accepts connections can leave it
            # running for good; a server that never came up holds nothing to keep.
            signals = (signal.SIGTERM, signal.SIGKILL) if self._ready else (signal.SIGKILL,)
            _end_group(self.proc, self.stop_timeout, signals)
            self.proc = None
            self._ready = False
        self.port = None
        if self.tmp_dir is not None:
            shutil.rmtree(self.tmp_dir, ignore_errors=True)
            self.tmp_dir = None

    def __enter__(self) -> LocalMariaDB:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()
