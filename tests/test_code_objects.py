from __future__ import annotations

import sys

import pytest

import quendsdk.tablora as tablora
from tablora_checks import CODE_FILE

C = tablora.MySQLDatabaseTablora


@pytest.mark.parametrize(
    ("method", "argcount", "firstline", "varnames"),
    [
        ("__init__", 7, 17, ("self", "username", "password", "host", "database", "cache_path", "cache_file")),
        ("connect", 1, 27, ("self", "conn", "e")),
        (
            "prepare_data",
            1,
            39,
            ("self", "cache_full_path", "file", "e", "dataframes", "connection", "inspector", "table_name", "df"),
        ),
        ("print_table_schemas", 1, 69, ("self", "inspector", "table_name", "column", "e")),
    ],
)
def test_code_object_describes_the_method(method: str, argcount: int, firstline: int, varnames: tuple) -> None:
    code = C.__dict__[method].__code__
    assert code.co_name == method
    assert code.co_qualname is code.co_name
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_nlocals == len(varnames)
    assert code.co_varnames == varnames
    assert code.co_firstlineno == firstline
    assert code.co_flags == 3
    assert code.co_filename == CODE_FILE and len(code.co_filename) == 19
    assert code.co_code == b""
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((), (), (), ())
    assert C.__dict__[method].func_code is code


def _fresh(text: str) -> str:
    """An equal str that is certainly a different object."""
    copy = "".join(list(text))
    assert copy is not text or len(text) <= 1
    return copy


def _params_message() -> str:
    try:
        C(None, "p", "h", "d")
    except ValueError as exc:
        return exc.args[0]
    raise AssertionError("constructor accepted None")


# Reachable module strings: names are interned, message texts and literals are not.
@pytest.mark.parametrize(
    ("reach", "interned"),
    [
        pytest.param(lambda: C.__init__.__code__.co_varnames, True, id="varnames-init"),
        pytest.param(lambda: C.prepare_data.__code__.co_varnames, True, id="varnames-prepare_data"),
        pytest.param(lambda: (C.connect.__code__.co_name, C.connect.__name__), True, id="plain-names"),
        pytest.param(lambda: (C.connect.__qualname__, C.print_table_schemas.__qualname__), True, id="qualnames"),
        pytest.param(lambda: (C.connect.__module__, C.__module__), True, id="module-name"),
        pytest.param(lambda: tuple(C.__dict__), True, id="class-keys"),
        pytest.param(lambda: (C.__init__.__defaults__[1],), False, id="default-cache-file"),
        # 3.13 interns every code object's file name itself.
        pytest.param(lambda: (C.connect.__code__.co_filename,), sys.version_info >= (3, 13), id="code-filename"),
        pytest.param(lambda: (_params_message(),), False, id="message"),
    ],
)
def test_names_are_interned_and_texts_are_not(reach, interned: bool) -> None:
    for text in reach():
        assert (sys.intern(_fresh(text)) is text) is interned, text
