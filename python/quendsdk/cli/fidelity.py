"""Where the read path changes values: one warning per affected column, worked out
from information_schema before the read, and the views the read leaves out.

The tool reads with `pandas.read_sql_table` over SQLAlchemy and PyMySQL; what
those do to some types is documented in the README's data-type table. These
warnings say so for the columns of the database at hand.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

FLOAT64_DIGITS = 15

_TABLES = ("SELECT TABLE_NAME, TABLE_TYPE, TABLE_ROWS, DATA_LENGTH FROM information_schema.TABLES "
           "WHERE TABLE_SCHEMA = DATABASE()")
_COLUMNS = ("SELECT TABLE_NAME, COLUMN_NAME, DATA_TYPE, COLUMN_TYPE, NUMERIC_PRECISION "
            "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
            "ORDER BY TABLE_NAME, ORDINAL_POSITION")


@dataclass
class Column:
    table: str
    name: str
    data_type: str  # lower case, as information_schema has it: "decimal"
    column_type: str  # the full type: "decimal(20,4) unsigned"
    precision: int | None


@dataclass
class SchemaFacts:
    """What information_schema says of the database, before the read."""

    tables: dict[str, dict[str, int]] = field(default_factory=dict)  # base tables
    views: list[str] = field(default_factory=list)
    columns: list[Column] = field(default_factory=list)
    known_types: frozenset[str] = frozenset()


def fetch(engine: Any) -> SchemaFacts | None:
    """The facts over one connection of `engine`; None if they cannot be had."""
    from sqlalchemy import text

    try:
        with engine.connect() as conn:
            tables = conn.execute(text(_TABLES)).all()
            columns = conn.execute(text(_COLUMNS)).all()
        known = frozenset(str(n).lower() for n in engine.dialect.ischema_names)
    except Exception:  # the read goes on without them
        return None
    facts = SchemaFacts(known_types=known)
    for name, kind, rows, length in tables:
        if str(kind).upper() == "BASE TABLE":
            facts.tables[str(name)] = {"rows": int(rows or 0), "data_length": int(length or 0)}
        elif "VIEW" in str(kind).upper():
            facts.views.append(str(name))
    for table, name, data_type, column_type, precision in columns:
        if str(table) in facts.tables:
            facts.columns.append(Column(str(table), str(name), str(data_type).lower(),
                                        str(column_type).lower(),
                                        int(precision) if precision is not None else None))
    return facts


def warnings_for(facts: SchemaFacts, pandas_major: int) -> list[str]:
    """The warning lines (without "warning: "), in table and column order."""
    lines = []
    for c in facts.columns:
        where = f"{c.table}.{c.name}"
        t = c.data_type
        if t == "decimal" and (c.precision or 0) > FLOAT64_DIGITS:
            lines.append(f"{where}: {c.column_type.upper()} becomes float64, which keeps "
                         f"only {FLOAT64_DIGITS} significant digits")
        elif t == "bigint" and "unsigned" in c.column_type:
            lines.append(f"{where}: BIGINT UNSIGNED values above 2^63-1 wrap or become float")
        elif t == "time":
            lines.append(f"{where}: TIME values are taken modulo 24 hours (25:00:01 reads "
                         "as 01:00:01)")
        elif t in ("date", "datetime", "timestamp") and pandas_major < 3:
            lines.append(f"{where}: {t.upper()} values outside 1677-2262 become NaT "
                         "under pandas 2")
        elif t == "set" and pandas_major >= 3:
            lines.append(f"{where}: SET values become the text of a Python set under "
                         "pandas 3, members in no fixed order")
        elif t not in facts.known_types:
            lines.append(f"{where}: type {c.column_type.upper()} is not known to SQLAlchemy; "
                         "its values are read as the driver gives them")
    if facts.views:
        count = len(facts.views)
        names = ", ".join(facts.views[:5]) + (", ..." if count > 5 else "")
        lines.append(f"{count} view{'s' if count != 1 else ''} not read (only base tables "
                     f"are): {names}")
    return lines
