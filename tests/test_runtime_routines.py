"""Runtime routines reached through the test-only probe built from the same sources."""

from __future__ import annotations

import sys
import types

import pytest

from runtime_probe import build_probe
from tablora_checks import module_entries


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    root = __import__("pathlib").Path(__file__).resolve().parent.parent
    return build_probe(root / "build" / "probe")


def entries(exc):
    return [tuple(entry) for entry in module_entries(exc)]


@pytest.fixture
def native_switch():
    runtime = sys.modules["compiled_runtime"]
    had = hasattr(runtime, "native_line_in_traceback")
    old = getattr(runtime, "native_line_in_traceback", None)
    yield runtime
    if had:
        runtime.native_line_in_traceback = old
    elif hasattr(runtime, "native_line_in_traceback"):
        del runtime.native_line_in_traceback


def test_same_line_of_two_functions_keeps_each_name(probe):
    first = probe.add_entry(ValueError("a"), "pkg.first", 5017)
    second = probe.add_entry(ValueError("b"), "pkg.second", 5017)
    assert entries(first) == [("pkg.first", 5017)]
    assert entries(second) == [("pkg.second", 5017)]
    # cached: the same names come back for the same keys
    assert entries(probe.add_entry(KeyError(), "pkg.first", 5017)) == [("pkg.first", 5017)]


def test_cache_grows_by_64_and_loses_nothing(probe):
    count, capacity = probe.cache_size()
    keys = [(f"grow.f{i % 3}", 7000 + (i * 37) % 101) for i in range(140)]
    distinct = list(dict.fromkeys(keys))
    for name, line in keys:
        probe.add_entry(RuntimeError(), name, line)
    new_count, new_capacity = probe.cache_size()
    assert new_count == count + len(distinct)
    assert new_capacity % 64 == 0 and new_capacity >= new_count
    for name, line in reversed(distinct):
        assert entries(probe.add_entry(RuntimeError(), name, line)) == [(name, line)]
    assert probe.cache_size() == (new_count, new_capacity)


def test_entries_pile_up_innermost_last(probe):
    exc = probe.add_entry(probe.add_entry(OSError(), "inner", 56), "outer", 66)
    assert entries(exc) == [("outer", 66), ("inner", 56)]


def test_native_position_switch(probe, native_switch):
    if hasattr(native_switch, "native_line_in_traceback"):
        del native_switch.native_line_in_traceback
    assert entries(probe.add_entry(ValueError(), "sw.plain", 41, 123)) == [("sw.plain", 41)]
    assert native_switch.native_line_in_traceback is False
    native_switch.native_line_in_traceback = True
    assert entries(probe.add_entry(ValueError(), "sw.plain", 41, 123)) == [("sw.plain (probe.cpp:123)", 41)]
    native_switch.native_line_in_traceback = False
    assert entries(probe.add_entry(ValueError(), "sw.plain", 41, 123)) == [("sw.plain", 41)]


@pytest.mark.parametrize("raised", [ZeroDivisionError, KeyboardInterrupt])
def test_switch_with_failing_truth_test_counts_as_false_unless_interrupted(probe, native_switch, raised):
    class Odd:
        def __bool__(self):
            raise raised

    native_switch.native_line_in_traceback = Odd()
    reported = KeyError("k")
    exc = probe.add_entry(reported, "sw.odd", 42, 77)
    if raised is KeyboardInterrupt:  # goes on, as in frame creation, and no entry is added
        assert type(exc) is KeyboardInterrupt and exc.__context__ is reported
        assert entries(exc) == entries(reported) == []
    else:
        assert exc is reported and entries(exc) == [("sw.odd", 42)]


def test_each_entry_gets_a_frame_of_its_own(probe):
    frame = probe.add_entry(ValueError(), "own.frame", 5021).__traceback__.tb_frame
    frame.f_locals["leaked"] = "1"
    frame.f_trace = print
    later = probe.add_entry(ValueError(), "own.frame", 5021).__traceback__.tb_frame
    assert later is not frame and later.f_code is frame.f_code  # the code object stays cached
    assert (later.f_locals, later.f_trace) == ({}, None)


class Base(Exception):
    pass


class Derived(Base):
    pass


@pytest.mark.parametrize(
    "raised, target, expected",
    [
        (Derived, Base, True),
        (Base, Derived, False),
        (Derived, (KeyError, Base), True),
        (Derived, ("not a class", 3, Derived), True),
        (Derived, (KeyError, "x"), False),
        (KeyError, LookupError, True),
        (KeyError, (), False),
    ],
)
def test_except_target_matching(probe, raised, target, expected):
    assert probe.exception_matches(raised, target) is expected
    assert probe.current_exception_matches(raised(), target) == (expected, True)


@pytest.mark.parametrize(
    "obj, kind, text",
    [
        (KeyError("k"), KeyError, "'k'"),
        (KeyError, KeyError, ""),
        (42, TypeError, "raise: exception class must be a subclass of BaseException"),
    ],
)
def test_raise_exception(probe, obj, kind, text):
    with pytest.raises(kind) as info:
        probe.raise_exception(obj)
    assert str(info.value) == text


def test_raise_class_whose_call_returns_something_else(probe):
    class Odd(Exception):
        def __new__(cls):
            return 5

    with pytest.raises(TypeError, match=r"should have returned an instance of BaseException, not <class 'int'>"):
        probe.raise_exception(Odd)


def test_recursion_through_call_object_stops_cleanly(probe):
    def again():
        return probe.call_object(again, ())

    # Each level enters the C depth guard twice: in call_object, and where the
    # interpreter loop starts again. Which of the two meets the limit depends on
    # the depth the test starts at, so it starts at two depths of either parity
    # (map adds one loop entry); the native guard must be met in one of them.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)  # the native call depth limit is reached first
    messages = set()
    try:
        for start in (again, lambda: list(map(lambda _: again(), [0]))):
            with pytest.raises(RecursionError) as caught:
                start()
            messages.add(str(caught.value))
    finally:
        sys.setrecursionlimit(limit)
    assert messages == {"maximum recursion depth exceeded while calling a Python object",
                        "maximum recursion depth exceeded"}
    assert probe.call_object(dict, (), {"a": 1}) == {"a": 1}


def test_fast_call_unpacks_bound_methods(probe):
    class Thing:
        def add(self, a, b):
            return (self, a + b)

    t = Thing()
    assert probe.fast_call(t.add, 1, 2) == (t, 3)
    assert probe.fast_call(len, [1, 2]) == 2
    assert probe.fast_call(dict) == {}


def test_handled_exception_seen_inside_and_restored_after(probe):
    caught = ValueError("caught")
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        inside, after = probe.handled(caught, lambda: sys.exc_info()[1])
        assert inside is caught and after is outer
    assert sys.exc_info() == (None, None, None)


def test_lookup_special_uses_the_type(probe):
    class Manager:
        def __exit__(self, *a):
            return "exit"

    m = Manager()
    m.__enter__ = lambda: "instance only"
    assert probe.lookup_special(m, "__exit__")() == "exit"
    with pytest.raises(AttributeError) as info:
        probe.lookup_special(m, "__enter__")
    assert info.value.args == ("__enter__",)


class MissingAttr(AttributeError):
    pass


@pytest.mark.parametrize("raised, outcome", [(MissingAttr, (False, None)), (KeyError, KeyError)])
def test_get_attr_no_error(probe, raised, outcome):
    class Odd:
        def __getattr__(self, name):
            raise raised(name)

    if isinstance(outcome, tuple):
        assert probe.get_attr_no_error(Odd(), "x") == outcome
    else:
        with pytest.raises(outcome):
            probe.get_attr_no_error(Odd(), "x")


def test_import_from_falls_back_to_registered_submodule(probe, monkeypatch):
    package = types.ModuleType("probe_pkg")
    sub = types.ModuleType("probe_pkg.sub")
    monkeypatch.setitem(sys.modules, "probe_pkg.sub", sub)
    assert probe.import_from(package, "sub") is sub
    with pytest.raises(ImportError, match=r"^cannot import name other$"):
        probe.import_from(package, "other")


def test_import_dotted_module_registered_and_blocked(probe, monkeypatch):
    bare = types.ModuleType("probe_bare")
    del bare.__spec__
    monkeypatch.setitem(sys.modules, "probe_bare", bare)
    assert probe.import_dotted_module("probe_bare") is bare
    assert probe.import_dotted_module("json") is sys.modules["json"]
    monkeypatch.setitem(sys.modules, "probe_blocked", None)
    with pytest.raises(ModuleNotFoundError):
        probe.import_dotted_module("probe_blocked")
