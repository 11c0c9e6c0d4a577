"""No reference or memory leaks on any path: 100,000 calls each (10,000 under the
sanitizer), after a warm-up of a tenth of that, grow the allocated block count by at most BLOCK_TOLERANCE and leave the reference
counts of the arguments, the module's constants, the cached builtins and the code
objects of traceback entries exactly unchanged. Fakes stand in for SQLAlchemy,
pandas, os.path and logging; the cache paths open real tiny files (or /dev/null).
Figures print with -s."""
from __future__ import annotations

import builtins
import functools
import gc
import os
import pickle
import sys
import types

import pytest
import sqlalchemy

import quendsdk.tablora as tablora
from tablora_checks import TB_FILE

C = tablora.MySQLDatabaseTablora
# Under the sanitizer runtime every allocation is slow, and a memory error shows on the
# first pass through a path: a tenth of the calls still shows a leak of one block per call.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
ITERATIONS = 10_000 if SANITIZED else 100_000
WARMUP = 1_000 if SANITIZED else 10_000
BLOCK_TOLERANCE = 100  # allocator caches wobble; a leak of one block per call shows as 100,000
IMMORTAL = 1 << 31  # 3.12 reports a constant huge count for immortal objects
# Built at run time: mortal, so their counts can move.
U, P, H, D, X, Y = ("".join([c, "x"]) for c in "uphdXY")


class FakeFrame:
    def __init__(self) -> None:
        self.attrs: dict = {}


class FakeConnection:
    def __init__(self, suppress: bool) -> None:
        self.suppress = suppress

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.suppress


class FakeEngine:
    def __init__(self, suppress: bool = False, fail: bool = False) -> None:
        self.suppress, self.fail = suppress, fail

    def connect(self):
        if self.fail:
            raise sqlalchemy.exc.OperationalError("SELECT 1", None, Exception("server gone"))
        return FakeConnection(self.suppress)


class FakeInspector:
    def __init__(self, columns) -> None:
        self.columns = columns

    def get_table_names(self):
        return ["customers", "orders"]

    def get_columns(self, table_name):
        return self.columns


def _raiser(factory):
    def fake(*args):
        raise factory()
    return fake


class Fakes(types.SimpleNamespace):
    def set(self, **changes):
        self.__dict__.update(changes)
        return self


@pytest.fixture
def fakes(monkeypatch, tmp_path):
    """Module globals that defer to the fields of one namespace; monkeypatch restores them."""
    frame = FakeFrame()
    frame.attrs["name"] = "customers"
    (tmp_path / "good.pkl").write_bytes(pickle.dumps([frame]))
    (tmp_path / "corrupt.pkl").write_bytes(b"\x80\x04not a pickle")
    ns = Fakes(engine=FakeEngine(), create_engine=None, inspect=None, read=lambda name, conn: FakeFrame(),
               inspector=FakeInspector([{"name": "id", "type": "INTEGER"}, {"name": "email", "type": "TEXT"}]),
               exists=False, path=os.devnull, dir=tmp_path)
    ns.create_engine = lambda url: ns.engine
    ns.inspect = lambda engine: ns.inspector
    monkeypatch.setattr(tablora, "create_engine", lambda url: ns.create_engine(url))
    monkeypatch.setattr(tablora, "inspect", lambda engine: ns.inspect(engine))
    monkeypatch.setattr(tablora, "pd", types.SimpleNamespace(read_sql_table=lambda *a: ns.read(*a),
                                                             DataFrame=FakeFrame))
    monkeypatch.setattr(tablora, "logging", types.SimpleNamespace(
        INFO=20, basicConfig=lambda **kw: None, info=lambda msg: None, error=lambda msg: None))
    monkeypatch.setattr(tablora, "os", types.SimpleNamespace(path=types.SimpleNamespace(
        join=lambda a, b: ns.path, exists=lambda p: ns.exists)))
    with open(os.devnull, "w") as devnull:
        monkeypatch.setattr(sys, "stdout", devnull)
        yield ns


def _tool(ns, engine=True):
    t = C(U, P, H, D, X, Y)
    t.engine = ns.engine if engine else None
    return t


def _db_error():
    return sqlalchemy.exc.OperationalError("SELECT", None, Exception("lost"))


# id -> setup(fakes) -> (call, the exception every call raises, or None)
PATHS = {
    "init-positional": lambda ns: (lambda: C(U, P, H, D), None),
    "init-keywords": lambda ns: (lambda: C(username=U, password=P, host=H, database=D, cache_path=X,
                                           cache_file=Y), None),
    "init-again": lambda ns: (functools.partial(_tool(ns).__init__, U, P, H, D, X), None),
    "connect": lambda ns: (_tool(ns, False).connect, None),
    "prepare-database": lambda ns: (_tool(ns).prepare_data, None),
    "prepare-exit-suppresses": lambda ns: (_tool(ns.set(engine=FakeEngine(suppress=True),
                                                        read=_raiser(LookupError))).prepare_data, None),
    "prepare-cache-hit": lambda ns: (_tool(ns.set(exists=True, path=str(ns.dir / "good.pkl")), False).prepare_data,
                                     None),
    "print-schemas": lambda ns: (_tool(ns).print_table_schemas, None),
    "init-too-few": lambda ns: (lambda: C(U), TypeError),
    "init-too-many": lambda ns: (lambda: C(U, P, H, D, X, Y, 1), TypeError),
    "init-keyword-missing": lambda ns: (lambda: C(U, P, host=H), TypeError),
    "init-unexpected": lambda ns: (lambda: C(U, P, H, D, port=1), TypeError),
    "init-multiple": lambda ns: (lambda: C(U, P, H, D, username=U), TypeError),
    "connect-arity": lambda ns: (functools.partial(_tool(ns).connect, 1), TypeError),
    "prepare-multiple": lambda ns: (functools.partial(C.prepare_data, _tool(ns), self=1), TypeError),
    "print-unexpected": lambda ns: (functools.partial(_tool(ns).print_table_schemas, port=1), TypeError),
    "init-value-error": lambda ns: (lambda: C(U, "", H, D), ValueError),
    "connect-logged": lambda ns: (_tool(ns.set(create_engine=_raiser(lambda: sqlalchemy.exc.ArgumentError("url"))),
                                        False).connect, sqlalchemy.exc.ArgumentError),
    "connect-test-connection-fails": lambda ns: (_tool(ns.set(engine=FakeEngine(fail=True)), False).connect,
                                                 sqlalchemy.exc.OperationalError),
    "connect-unlogged": lambda ns: (_tool(ns.set(create_engine=_raiser(LookupError)), False).connect, LookupError),
    "prepare-no-engine": lambda ns: (_tool(ns, False).prepare_data, ConnectionError),
    "prepare-read-fails": lambda ns: (_tool(ns.set(read=_raiser(_db_error))).prepare_data,
                                      sqlalchemy.exc.OperationalError),
    "prepare-corrupt-cache": lambda ns: (_tool(ns.set(exists=True, path=str(ns.dir / "corrupt.pkl")),
                                               False).prepare_data, ConnectionError),
    "print-no-engine": lambda ns: (_tool(ns, False).print_table_schemas, ConnectionError),
    "print-inspect-fails": lambda ns: (_tool(ns.set(inspect=_raiser(_db_error))).print_table_schemas,
                                       sqlalchemy.exc.OperationalError),
    "print-missing-type": lambda ns: (_tool(ns.set(inspector=FakeInspector([{"name": "broken"}]))).print_table_schemas,
                                      KeyError),
}


def _watched(call, exc) -> list:
    """Arguments, module constants, cached builtins and what a failure reaches."""
    objs = [U, P, H, D, X, Y, builtins.all, ValueError, open, print, C, tablora.__dict__]
    for func in (C.__dict__[n] for n in ("__init__", "connect", "prepare_data", "print_table_schemas")):
        code = func.__code__
        objs += [func, func.__qualname__, code, code.co_filename, code.co_varnames, *code.co_varnames]
    objs += [C.__init__.__defaults__, *C.__init__.__defaults__]
    if exc is not None:
        try:
            call()
        except exc as caught:
            objs.append(caught.args)  # the module's constant argument tuples are shared
            tb = caught.__traceback__
            while tb is not None:  # code objects from the traceback cache
                if tb.tb_frame.f_code.co_filename == TB_FILE:
                    objs.append(tb.tb_frame.f_code)
                tb = tb.tb_next
    return [o for o in objs if sys.getrefcount(o) < IMMORTAL]


def _loop(call, exc, n: int) -> int:
    raised = 0
    for _ in range(n):
        try:
            call()
        except exc or ():
            raised += 1
    return raised


@pytest.mark.parametrize("path", PATHS)
def test_no_leaks(path: str, fakes) -> None:
    call, exc = PATHS[path](fakes)
    assert _loop(call, exc, WARMUP) == (WARMUP if exc else 0)
    watched = _watched(call, exc)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    raised = _loop(call, exc, ITERATIONS)
    gc.collect()
    blocks_delta = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(o) for o in watched]  # counted exactly as before
    moved = [(repr(o)[:60], b, a) for o, b, a in zip(watched, counts, after) if a != b]
    sys.__stdout__.write(f"\nfigure: leaks {path}: {ITERATIONS} calls, blocks delta {blocks_delta} "
                         f"(tolerance {BLOCK_TOLERANCE}), {len(watched)} mortal objects, {len(moved)} counts moved\n")
    assert raised == (ITERATIONS if exc else 0)
    assert moved == []
    assert blocks_delta <= BLOCK_TOLERANCE  # a shrinking count is no leak
