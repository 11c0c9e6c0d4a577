"""Which driver reads the data: PyMySQL, as the tool's own engine has it, or mysqlclient,
a C driver, under an engine of the same connection values.

`auto` takes mysqlclient only when every column of the database has a type for which
both drivers are known to give the same frames (the test suite compares them);
for anything else the whole read goes through PyMySQL, so that installing a C
driver never changes the data.
"""

from __future__ import annotations

import argparse
import importlib
from typing import Any

from quendsdk.cli.errors import UserError
from quendsdk.cli.fidelity import SchemaFacts

CHOICES = ("auto", "pymysql", "mysqldb")
NAMES = {"pymysql": "PyMySQL", "mysqldb": "mysqlclient (MySQLdb)"}
# information_schema DATA_TYPE values both drivers read into the same frames.
SAME_FRAMES = frozenset({
    "tinyint", "smallint", "mediumint", "int", "bigint", "decimal", "float", "double",
    "char", "varchar", "tinytext", "text", "mediumtext", "longtext",
    "binary", "varbinary", "tinyblob", "blob", "mediumblob", "longblob",
    "date", "datetime", "timestamp", "time", "year", "bit", "enum", "set", "json",
})


def add_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--driver", choices=CHOICES, default="auto",
                        help="the driver that reads the data: mysqldb (mysqlclient, a C driver "
                             "about twice as fast, from the 'fast' extra), pymysql, or auto "
                             "(default): mysqldb when installed and every column type reads "
                             "the same through both")


def have_mysqlclient() -> bool:
    try:
        importlib.import_module("MySQLdb")
    except ImportError:
        return False
    return True


def check(choice: str) -> None:
    """Before anything is read: an explicit mysqldb needs mysqlclient."""
    if choice == "mysqldb" and not have_mysqlclient():
        raise UserError("--driver mysqldb needs mysqlclient, which is not installed: "
                        "pip install 'quendsdk-tablora[fast]'")


def choose(choice: str, facts: SchemaFacts | None) -> tuple[str, str]:
    """(driver, why) for a read from the database."""
    if choice != "auto":
        return choice, "as asked"
    if not have_mysqlclient():
        return "pymysql", "mysqlclient is not installed"
    if facts is None:
        return "pymysql", "the column types could not be read"
    odd = next((c for c in facts.columns if c.data_type not in SAME_FRAMES), None)
    if odd is not None:
        return "pymysql", (f"column {odd.table}.{odd.name} has type {odd.data_type.upper()}, "
                           "which the drivers may read differently")
    return "mysqldb", "every column type reads the same through both drivers"


def fast_engine(tool: Any) -> Any:
    """An engine like the tool's, on the mysqldb dialect, for the same URL and options."""
    from sqlalchemy import create_engine
    from sqlalchemy.engine import make_url

    return create_engine(make_url(tool.connection_string).set(drivername="mysql+mysqldb"))
