"""Throwaway MariaDB server for tests and local runs.

Usage:
    with MariaDBServer() as db:
        seed_shop(db)
        engine = sqlalchemy.create_engine(db.url())
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import subprocess
from decimal import Decimal

import pymysql

from quendsdk._local_mariadb import LocalMariaDB

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


@dataclasses.dataclass
class MariaDB:
    """Connection facts of a running server, with the login user of the tests."""

    server: LocalMariaDB = dataclasses.field(repr=False)
    user: str
    password: str
    database: str

    @property
    def host(self) -> str:
        return self.server.host

    @property
    def port(self) -> int:
        return self.server.port

    @property
    def host_text(self) -> str:
        return self.server.host_text

    @property
    def socket(self) -> str:
        return str(self.server.socket_path)

    @property
    def datadir(self) -> str:
        return str(self.server.datadir)

    def root_connect(self, database: str | None = None) -> pymysql.connections.Connection:
        return self.server.root_connect(database)

    def url(self, database: str | None = "shop", user: str | None = None,
            password: str | None = None) -> str:
        user = self.user if user is None else user
        password = self.password if password is None else password
        return self.server.url(user, password, database or "")


class MariaDBServer:
    """The package's throwaway server, started with the tests' login user."""

    def __init__(self, base_dir: str | None = None, port: int | None = None,
                 user: str = TOOL_USER, password: str = TOOL_PASSWORD,
                 database: str = SEED_DATABASE) -> None:
        self.server = LocalMariaDB(base_dir=base_dir, port=port)
        self.info = MariaDB(self.server, user, password, database)

    @property
    def proc(self) -> subprocess.Popen[bytes] | None:
        return self.server.proc

    def start(self) -> MariaDB:
        self.server.start()
        try:
            self.server.create_user(self.info.user, self.info.password)
        except BaseException:
            self.server.stop()
            raise
        return self.info

    def stop(self) -> None:
        self.server.stop()

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
