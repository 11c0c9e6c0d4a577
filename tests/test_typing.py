"""The installed stub quendsdk/tablora.pyi, as mypy sees it from user code."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

GOOD = """\
from typing import assert_type

import pandas
import sqlalchemy.engine

from quendsdk.tablora import MySQLDatabaseTablora


def use() -> list[pandas.DataFrame]:
    tool = MySQLDatabaseTablora("user", "pw", "127.0.0.1:3306", "shop")
    MySQLDatabaseTablora(username="u", password="p", host="h", database="d",
                         cache_path="/tmp", cache_file="c.pkl")
    MySQLDatabaseTablora("u", "p", "h", "d", "/tmp", "c.pkl")
    assert_type(tool.connection_string, str)
    assert_type(tool.engine, sqlalchemy.engine.Engine | None)
    assert_type(tool.cache_path, str)
    assert_type(tool.cache_file, str)
    tool.connect()
    tool.print_table_schemas()
    frames = tool.prepare_data()
    assert_type(frames, list[pandas.DataFrame])
    if tool.engine is not None:
        tool.engine.dispose()
    return frames
"""

PRELUDE = """\
from quendsdk.tablora import MySQLDatabaseTablora

tool = MySQLDatabaseTablora("u", "p", "h", "d")
"""

# One mistake per file, on the line after PRELUDE; the mypy error code it must raise.
BAD = {
    "connect_with_argument": ("tool.connect(1)", "call-arg"),
    "too_few_constructor_args": ('MySQLDatabaseTablora("u", "p")', "call-arg"),
    "too_many_constructor_args": ('MySQLDatabaseTablora("u", "p", "h", "d", ".", "f", "x")',
                                  "call-arg"),
    "unknown_keyword": ('MySQLDatabaseTablora("u", "p", "h", "d", cache_dir=".")', "call-arg"),
    "database_not_str": ('MySQLDatabaseTablora("u", "p", "h", 5)', "arg-type"),
    "cache_path_not_str": ('MySQLDatabaseTablora("u", "p", "h", "d", cache_path=None)',
                           "arg-type"),
    "prepare_data_with_argument": ("tool.prepare_data(True)", "call-arg"),
    "schemas_with_argument": ('tool.print_table_schemas("t")', "call-arg"),
    "engine_may_be_none": ("tool.engine.connect()", "union-attr"),
    "frames_are_a_list": ("n: int = tool.prepare_data()", "assignment"),
    "frame_items_are_frames": ("s: str = tool.prepare_data()[0]", "assignment"),
    "connection_string_is_str": ("k: int = tool.connection_string", "assignment"),
    "schemas_return_nothing": ("r = tool.print_table_schemas()", "func-returns-value"),
    "no_other_methods": ("tool.disconnect()", "attr-defined"),
}
BAD_LINE = PRELUDE.count("\n") + 1

MSG = re.compile(r"^(?P<file>[\w.]+):(?P<line>\d+): error: (?P<text>.*?)(?:  \[(?P<code>[\w-]+)\])?$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory: pytest.TempPathFactory) -> dict[str, list[tuple[int, str]]]:
    """One mypy run over all usage files: file name -> [(line, error code)]."""
    work = tmp_path_factory.mktemp("mypy")
    (work / "good_usage.py").write_text(GOOD)
    for name, (stmt, _) in BAD.items():
        (work / f"bad_{name}.py").write_text(PRELUDE + stmt + "\n")
    files = sorted(p.name for p in work.glob("*.py"))
    # cwd=work: no project config, and only the installed package is found. The cache
    # (pandas-stubs above all) persists per interpreter; mypy checks it against the files.
    cache = ROOT / "build" / f"mypy-cache-{sys.version_info[0]}.{sys.version_info[1]}"
    res = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
         "--no-color-output", "--no-pretty", "--cache-dir", str(cache), *files],
        cwd=work, capture_output=True, text=True, timeout=300)
    assert res.returncode in (0, 1), res.stdout + res.stderr
    errors: dict[str, list[tuple[int, str]]] = {f: [] for f in files}
    for line in res.stdout.splitlines():
        m = MSG.match(line)
        if m:
            errors[m["file"]].append((int(m["line"]), m["code"] or ""))
        else:
            assert ": note:" in line, f"unexpected mypy output: {line}\n{res.stdout}"
    return errors


def test_correct_usage_type_checks_clean(mypy_errors: dict[str, list[tuple[int, str]]]) -> None:
    assert mypy_errors["good_usage.py"] == []


@pytest.mark.parametrize("name", sorted(BAD))
def test_misuse_is_reported(mypy_errors: dict[str, list[tuple[int, str]]], name: str) -> None:
    _, code = BAD[name]
    assert mypy_errors[f"bad_{name}.py"] == [(BAD_LINE, code)]


def test_stub_matches_the_runtime_module(tmp_path: Path) -> None:
    # stubtest imports the real extension and compares names and signatures.
    allow = tmp_path / "allowlist.txt"
    # A module attribute for test collectors, not part of the API.
    allow.write_text("quendsdk.tablora.__test__\n")
    res = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quendsdk.tablora", "--allowlist", str(allow),
         "--ignore-unused-allowlist"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
