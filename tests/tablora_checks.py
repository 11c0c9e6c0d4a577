"""Helpers shared by the tablora tests; imports nothing of the module itself."""
from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

# Traceback entries use two backslash characters; the methods' own code objects one.
TB_FILE = "quendsdk\\\\tablora.py"
CODE_FILE = "quendsdk\\tablora.py"
INIT_ENTRY = "init quendsdk.tablora"
DEF_LINES = {"__init__": 17, "connect": 27, "prepare_data": 39, "print_table_schemas": 69}


def qualified(method: str) -> str:
    return f"quendsdk.tablora.MySQLDatabaseTablora.{method}"


def module_entries(exc: BaseException) -> list[list]:
    """(function name, line) of every traceback entry the module added, outermost first."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == TB_FILE:
            found.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return found


def run_python(code: str):
    """Runs code in a fresh interpreter and returns the JSON value on its last stdout line."""
    here = os.path.dirname(os.path.abspath(__file__))
    source = f"import sys; sys.path.insert(0, {here!r})\n" + textwrap.dedent(code)
    proc = subprocess.run(
        [sys.executable, "-c", source],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])
