"""Throwaway MariaDB server for tests and local runs.

Usage:
    with MariaDBServer() as db:
        seed_shop(db)
        engine = sqlalchemy.create_engine(db.url())
"""

from __future__ import annotations

import ctypes
import dataclasses
import datetime as dt
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from decimal import Decimal
from pathlib import Path
from urllib.parse import quote

import pymysql

TOOL_USER = "tool"
TOOL_PASSWORD = "toolpw"
SEED_DATABASE = "shop"
EMPTY_DATABASE = "empty_db"

# Seed rows, kept here so tests can compare against exactly what was written.
CUSTOMERS = [
    (1, "ada@example.com", dt.datetime(2024, 1, 5, 9, 30, 0)),
    (2, "grace@example.com", dt.datetime(2024, 2, 14, 18, 0, 5)),
    (3, "linus@example.com", None),
    (4, "mörk.ünïcode@example.com", dt.datetime(2024, 12, 31, 23, 59, 59)),
]
ORDERS = [
    (100, 1, Decimal("19.99"), "first order"),
    (101, 1, Decimal("5.00"), None),
    (102, 2, Decimal("1234.50"), "gift wrap, please"),
    (103, 4, Decimal("0.00"), ""),
    (104, None, Decimal("-3.25"), "refund without customer"),
]
PRODUCTS = [
    (1, "Widget", 2.5, 1),
    (2, "Gadget", 10.0, 0),
    (3, "Gizmo \"deluxe\"", 99.95, 1),
]
SEEDED_ROWS = {"customers": CUSTOMERS, "orders": ORDERS, "products": PRODUCTS}

_SCHEMA = [
    f"CREATE DATABASE {SEED_DATABASE} CHARACTER SET utf8mb4",
    f"CREATE DATABASE {EMPTY_DATABASE} CHARACTER SET utf8mb4",
    f"""CREATE TABLE {SEED_DATABASE}.customers (
        id INT PRIMARY KEY AUTO_INCREMENT,
        email VARCHAR(120) NOT NULL,
        created DATETIME
    )""",
    f"""CREATE TABLE {SEED_DATABASE}.orders (
        id INT PRIMARY KEY,
        customer_id INT,
        total DECIMAL(10,2),
        note TEXT NULL
    )""",
    f"""CREATE TABLE {SEED_DATABASE}.products (
        id INT PRIMARY KEY,
        title VARCHAR(80),
        price DOUBLE,
        in_stock TINYINT(1)
    )""",
]


def _find_binary(name: str) -> str:
    found = shutil.which(name)
    if found:
        return found
    for d in ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"):
        p = Path(d, name)
        if p.is_file() and os.access(p, os.X_OK):
            return str(p)
    raise FileNotFoundError(f"{name} not found; run scripts/bootstrap.sh (installs mariadb-server)")


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent() -> None:
    # A killed test run must not leave a server behind.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


@dataclasses.dataclass
class MariaDB:
    """Connection facts of a running server."""

    host: str
    port: int
    user: str
    password: str
    database: str
    socket: str
    datadir: str
    host_text: str = dataclasses.field(init=False)

    def __post_init__(self) -> None:
        self.host_text = f"{self.host}:{self.port}"

    def root_connect(self, database: str | None = None) -> pymysql.connections.Connection:
        return pymysql.connect(
            unix_socket=self.socket, user="root", password="", database=database,
            charset="utf8mb4", autocommit=True,
        )

    def url(self, database: str | None = "shop", user: str | None = None,
            password: str | None = None) -> str:
        user = self.user if user is None else user
        password = self.password if password is None else password
        db = f"/{quote(database, safe='')}" if database else "/"
        return (f"mysql+pymysql://{quote(user, safe='')}:{quote(password, safe='')}"
                f"@{self.host_text}{db}")


class MariaDBServer:
    """Starts mariadbd on a fresh datadir in a temp dir; stop() removes it all."""

    START_TIMEOUT = 60.0
    STOP_TIMEOUT = 30.0

    def __init__(self, base_dir: str | None = None, port: int | None = None,
                 user: str = TOOL_USER, password: str = TOOL_PASSWORD,
                 database: str = SEED_DATABASE) -> None:
        self._base_dir_arg = base_dir
        self._port_arg = port
        self.user = user
        self.password = password
        self.database = database
        self.tmp: Path | None = None
        self.proc: subprocess.Popen[bytes] | None = None
        self.info: MariaDB | None = None

    # -- paths
    @property
    def datadir(self) -> Path:
        assert self.tmp is not None
        return self.tmp / "data"

    @property
    def socket_path(self) -> Path:
        assert self.tmp is not None
        return self.tmp / "mysqld.sock"

    @property
    def err_log(self) -> Path:
        assert self.tmp is not None
        return self.tmp / "err.log"

    def _make_tmp(self) -> Path:
        tmp = Path(tempfile.mkdtemp(prefix="tablora-mariadb-", dir=self._base_dir_arg))
        # Unix socket paths are limited to 108 bytes.
        if len(str(tmp / "mysqld.sock")) > 100:
            shutil.rmtree(tmp)
            tmp = Path(tempfile.mkdtemp(prefix="tablora-mariadb-", dir="/tmp"))
        return tmp

    def err_log_text(self) -> str:
        try:
            return self.err_log.read_text(errors="replace")
        except (OSError, AssertionError):
            return "(no error log)"

    # -- lifecycle
    def start(self) -> MariaDB:
        self.tmp = self._make_tmp()
        try:
            self._install_db()
            attempts = 1 if self._port_arg else 3
            for attempt in range(attempts):
                port = self._port_arg or _free_port()
                if self._launch(port):
                    break
                if attempt == attempts - 1 or "Address already in use" not in self.err_log_text():
                    raise RuntimeError(f"mariadbd failed to start:\n{self.err_log_text()}")
            self._create_user()
        except BaseException:
            self.stop()
            raise
        return self.info  # type: ignore[return-value]

    def _install_db(self) -> None:
        cmd = [
            _find_binary("mariadb-install-db"), "--no-defaults",
            f"--datadir={self.datadir}",
            "--auth-root-authentication-method=normal",
            "--skip-test-db", "--skip-name-resolve",
            "--innodb-log-file-size=16M",
        ]
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if res.returncode != 0:
            raise RuntimeError(
                f"mariadb-install-db failed ({res.returncode}):\n"
                + res.stdout.decode(errors="replace"))

    def _launch(self, port: int) -> bool:
        """Start mariadbd and wait for it; False if it exited during startup."""
        assert self.tmp is not None
        if self.err_log.exists():
            self.err_log.unlink()
        cmd = [
            _find_binary("mariadbd"), "--no-defaults",
            f"--datadir={self.datadir}",
            f"--socket={self.socket_path}",
            f"--pid-file={self.tmp / 'mysqld.pid'}",
            f"--log-error={self.err_log}",
            f"--tmpdir={self.tmp}",
            "--bind-address=127.0.0.1", f"--port={port}",
            "--user=root",  # mariadbd refuses to run as root without it
            "--skip-name-resolve", "--skip-log-bin",
            "--innodb-buffer-pool-size=32M", "--innodb-log-file-size=16M",
            # Throwaway data: durability is not worth the fsyncs.
            "--innodb-flush-log-at-trx-commit=2",
            # --no-defaults would otherwise leave latin1 and the host's zone.
            "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci",
            "--default-time-zone=+00:00",
        ]
        out = open(self.tmp / "mariadbd.out", "wb")
        try:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT,
                                         preexec_fn=_die_with_parent)
        finally:
            out.close()
        self.info = MariaDB(host="127.0.0.1", port=port, user=self.user,
                            password=self.password, database=self.database,
                            socket=str(self.socket_path), datadir=str(self.datadir))
        deadline = time.monotonic() + self.START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self.proc = None
                return False
            try:
                self.info.root_connect().close()
                return True
            except pymysql.err.OperationalError:
                time.sleep(0.1)
        raise RuntimeError(
            f"mariadbd not accepting connections after {self.START_TIMEOUT:.0f}s:\n"
            + self.err_log_text())

    def _create_user(self) -> None:
        assert self.info is not None
        with self.info.root_connect() as conn, conn.cursor() as cur:
            for host in ("127.0.0.1", "localhost"):
                cur.execute("CREATE USER %s@%s IDENTIFIED BY %s",
                            (self.user, host, self.password))

    def stop(self) -> None:
        proc, self.proc = self.proc, None
        if proc is not None and proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=self.STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if self.tmp is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None

    def __enter__(self) -> MariaDB:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def seed_shop(db: MariaDB) -> None:
    """Create shop (with rows) and empty_db, both granted to the login user."""
    with db.root_connect() as conn, conn.cursor() as cur:
        for stmt in _SCHEMA:
            cur.execute(stmt)
        cur.executemany(
            f"INSERT INTO {SEED_DATABASE}.customers (id, email, created) VALUES (%s, %s, %s)",
            CUSTOMERS)
        cur.executemany(
            f"INSERT INTO {SEED_DATABASE}.orders (id, customer_id, total, note)"
            " VALUES (%s, %s, %s, %s)", ORDERS)
        cur.executemany(
            f"INSERT INTO {SEED_DATABASE}.products (id, title, price, in_stock)"
            " VALUES (%s, %s, %s, %s)", PRODUCTS)
        for database in (SEED_DATABASE, EMPTY_DATABASE):
            for host in ("127.0.0.1", "localhost"):
                cur.execute(f"GRANT ALL ON `{database}`.* TO %s@%s", (db.user, host))
