"""The sample database of `quendsdk demo`."""

from __future__ import annotations

import datetime as dt
import random
import secrets
from decimal import Decimal

from quendsdk._local_mariadb import LocalMariaDB

DATABASE = "demo_shop"
LOGIN_USER = "tablora_demo"

USERS = [
    (1, "Ada Lovelace", "ada@example.com"),
    (2, "Grace Hopper", "grace@example.com"),
    (3, "Linus Torvalds", "linus@example.com"),
    (4, "Margaret Hamilton", "margaret@example.com"),
    (5, "Jörg Müller", "joerg@example.com"),
    (6, "Zoë Ñúñez", "zoe@example.com"),
]

PRODUCTS = [
    (1, "Widget", Decimal("2.50"), 120, dt.datetime(2023, 3, 1, 8, 0), None),
    (2, "Gadget", Decimal("10.00"), 0, dt.datetime(2023, 6, 15, 12, 30), "out of stock"),
    (3, "Gizmo \"deluxe\"", Decimal("99.95"), 7, dt.datetime(2024, 1, 2, 9, 45), "fragile"),
    (4, "Sprocket", Decimal("0.75"), 5000, dt.datetime(2024, 2, 29, 23, 59, 59), None),
    (5, "Doohickey", Decimal("1234.56"), 1, dt.datetime(2024, 11, 11, 11, 11), ""),
]

_SCHEMA = [
    f"CREATE DATABASE {DATABASE} CHARACTER SET utf8mb4",
    f"""CREATE TABLE {DATABASE}.users (
        id INT PRIMARY KEY,
        name VARCHAR(80) NOT NULL,
        email VARCHAR(120) NOT NULL
    )""",
    f"""CREATE TABLE {DATABASE}.products (
        id INT PRIMARY KEY,
        title VARCHAR(100) NOT NULL,
        price DECIMAL(10,2) NOT NULL,
        in_stock INT NOT NULL,
        added DATETIME NOT NULL,
        notes TEXT NULL
    )""",
    f"""CREATE TABLE {DATABASE}.orders (
        id INT PRIMARY KEY,
        user_id INT NOT NULL,
        product_id INT NOT NULL,
        quantity SMALLINT NOT NULL,
        total DECIMAL(12,2) NOT NULL,
        ordered_at DATETIME NOT NULL,
        comment TEXT NULL
    )""",
]

_COMMENTS = [None, None, None, "", "leave at the door", "gift wrap, please", "express"]


def order_rows(count: int, seed: int = 42) -> list[tuple[object, ...]]:
    """Deterministic order rows, so a run can be compared with the next."""
    rng = random.Random(seed)
    start = dt.datetime(2024, 1, 1)
    prices = {p[0]: p[2] for p in PRODUCTS}
    rows: list[tuple[object, ...]] = []
    for i in range(1, count + 1):
        product = rng.randint(1, len(PRODUCTS))
        quantity = rng.randint(1, 12)
        when = start + dt.timedelta(seconds=rng.randint(0, 365 * 24 * 3600))
        rows.append((i, rng.randint(1, len(USERS)), product, quantity,
                     prices[product] * quantity, when, rng.choice(_COMMENTS)))
    return rows


def seed(server: LocalMariaDB, order_count: int) -> dict[str, int]:
    """Create the sample database; returns row counts per table."""
    orders = order_rows(order_count)
    with server.root_connect() as conn, conn.cursor() as cur:
        for stmt in _SCHEMA:
            cur.execute(stmt)
        cur.executemany(f"INSERT INTO {DATABASE}.users VALUES (%s, %s, %s)", USERS)
        cur.executemany(f"INSERT INTO {DATABASE}.products VALUES (%s, %s, %s, %s, %s, %s)",
                        PRODUCTS)
        cur.executemany(f"INSERT INTO {DATABASE}.orders VALUES (%s, %s, %s, %s, %s, %s, %s)",
                        orders)
    return {"orders": len(orders), "products": len(PRODUCTS), "users": len(USERS)}


def make_password() -> str:
    # '@', ':' and '/' on purpose: they must survive the trip through the URL.
    return f"demo@pw:{secrets.token_hex(4)}/x"
