"""Traceback entries while Python code runs inside their making, with native
positions shown, and across failed imports. Each case runs in a fresh
interpreter, so that it starts with an empty code-object cache."""

from __future__ import annotations

import pytest

from tablora_checks import run_python

# Arms one of three ways for Python code to run while an entry's frame is made:
# a globals key whose hash is that of "__builtins__" (its __eq__ runs in the
# builtins lookup), a function watcher, and a watcher that lets another thread
# run. `arm(globals_dict, nested)` makes the next frame creation call nested().
TRIGGERS = r"""
import threading, _testcapi

class Trigger:
    nested = None

    def fire(self):
        nested, Trigger.nested = Trigger.nested, None
        if nested is not None:
            nested()

class CollidingKey(Trigger):
    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        self.fire()
        return False

def arm_globals_key(globals_dict, nested):
    builtins = globals_dict.pop("__builtins__", None)
    globals_dict[CollidingKey()] = None  # probed before __builtins__
    if builtins is not None:
        globals_dict["__builtins__"] = builtins
    Trigger.nested = nested

def arm_watcher(globals_dict, nested):
    def watcher(event, func, new_value):
        if func.__code__.co_filename == "quendsdk\\\\tablora.py":  # an entry's frame
            Trigger().fire()
    _testcapi.add_func_watcher(watcher)
    Trigger.nested = nested

def arm_thread(globals_dict, nested):
    def in_other_thread():
        worker = threading.Thread(target=nested)
        worker.start()
        worker.join()  # releases the lock while the frame is half made
    arm_watcher(globals_dict, in_other_thread)

arm = {"globals-key": arm_globals_key, "watcher": arm_watcher, "thread": arm_thread}[TRIGGER]
"""

ENTRIES = r"""
def entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "quendsdk\\\\tablora.py":
            found.append([code.co_name.removeprefix("quendsdk.tablora.MySQLDatabaseTablora."), tb.tb_lineno])
        tb = tb.tb_next
    return found

def failure(call):
    try:
        call()
    except BaseException as exc:
        return exc
    raise AssertionError("no failure")
"""

TRIGGER_IDS = ["globals-key", "watcher", "thread"]


@pytest.mark.parametrize("trigger", TRIGGER_IDS)
def test_entry_made_while_python_code_adds_entries_keeps_its_own_frame(trigger):
    got = run_python(f"TRIGGER = {trigger!r}\n" + TRIGGERS + ENTRIES + r"""
import json, quendsdk.tablora as tablora
C = tablora.MySQLDatabaseTablora
nested = []
arm(tablora.__dict__, lambda: nested.append(entries(failure(C))))
outer = entries(failure(C.print_table_schemas))
later = [entries(failure(call)) for call in (C, C.print_table_schemas, C.connect)]
print(json.dumps([outer, nested, later]))
""")
    assert got == [
        [["print_table_schemas", 69]],
        [[["__init__", 17]]],
        [[["__init__", 17]], [["print_table_schemas", 69]], [["connect", 27]]],
    ]


@pytest.mark.parametrize(("raised", "expected"), [("KeyboardInterrupt", "KeyboardInterrupt"),
                                                   ("ValueError", "TypeError")])
def test_an_interrupt_while_the_frame_is_made_is_not_lost(raised, expected):
    # An ordinary failure only costs the entry; an interrupt goes on.
    got = run_python("TRIGGER = 'globals-key'\n" + TRIGGERS + ENTRIES + f"""
import json, quendsdk.tablora as tablora
def interrupt():
    raise {raised}()
arm(tablora.__dict__, interrupt)
exc = failure(tablora.MySQLDatabaseTablora)
print(json.dumps([type(exc).__name__, type(exc.__context__).__name__, entries(exc)]))
""")
    context = "TypeError" if expected == "KeyboardInterrupt" else "NoneType"
    assert got == [expected, context, []]


@pytest.mark.parametrize("nested_count", [64, 128], ids=["past-64", "past-128"])
@pytest.mark.parametrize("trigger", TRIGGER_IDS)
def test_cache_growth_during_frame_creation_loses_no_entry(trigger, nested_count):
    # The probe shares the runtime sources and lets the test choose every key;
    # the nested keys all sort before the outer one and grow the array.
    got = run_python(f"TRIGGER = {trigger!r}\nCOUNT = {nested_count}\n" + TRIGGERS + ENTRIES + r"""
import json, pathlib
from runtime_probe import ROOT, build_probe
probe = build_probe(ROOT / "build" / "probe")

def add(name, line):
    return entries(probe.add_entry(RuntimeError(), name, line))

nested = []
arm(vars(probe), lambda: nested.extend(add(f"f{line}", line) for line in range(1, COUNT + 1)))
outer = add("outer", 5000)
again = [add(f"f{line}", line) for line in range(1, COUNT + 1)] + [add("outer", 5000)]
print(json.dumps([outer, nested, again, probe.cache_size()]))
""")
    expected_nested = [[[f"f{line}", line]] for line in range(1, nested_count + 1)]
    outer, nested, again, (count, capacity) = got
    assert outer == [["outer", 5000]]
    assert nested == expected_nested
    assert again == expected_nested + [[["outer", 5000]]]
    assert count == nested_count + 1 and capacity == 64 * (nested_count // 64 + 1)


def test_native_positions_keep_each_source_line_and_function():
    got = run_python(ENTRIES + r"""
import json, os, pickle, sys, tempfile, contextlib
from types import SimpleNamespace

def import_failures():
    # one native failure point serves the plain imports of lines 1 and 3
    found = []
    for blocked in ("sqlalchemy", "pandas"):
        sys.modules[blocked] = None
        found.append(entries(failure(lambda: __import__("quendsdk.tablora"))))
        del sys.modules[blocked]
    return found

def cache_failures():
    # the with statements of lines 43 and 60 share one failure point
    import quendsdk.tablora as tablora
    here = tempfile.mkdtemp()
    os.mkdir(os.path.join(here, "cache"))
    tool = tablora.MySQLDatabaseTablora("u", "p", "h", "d", here, "cache")
    tool.engine = SimpleNamespace(connect=contextlib.nullcontext)
    tablora.inspect = lambda engine: SimpleNamespace(get_table_names=lambda: [])
    caught = []
    real_logging, tablora.logging = tablora.logging, SimpleNamespace(
        error=lambda text: caught.append(sys.exc_info()[1]))
    raised = failure(tool.prepare_data)
    tablora.logging = real_logging
    assert raised is caught[-1]
    return [entries(exc) for exc in caught]

runtime = sys.modules.setdefault("compiled_runtime", type(sys)("compiled_runtime"))
runs = []
for shown in (False, True):
    runtime.native_line_in_traceback = shown
    runs.append(import_failures())
for shown in (False, True):
    runtime.native_line_in_traceback = shown
    runs.append(cache_failures())
print(json.dumps(runs))
""")
    plain = got[0] + got[2]
    native = got[1] + got[3]
    assert [[[name.split(" (")[0], line] for name, line in exc] for exc in native] == plain
    assert all(" (" in name and name.endswith(")") for exc in native for name, _ in exc)
    assert [[line for _, line in exc] for exc in plain] == [[1], [3], [43], [66, 60]]


def test_frames_of_a_failed_import_belong_to_it_and_do_not_keep_it_alive():
    got = run_python(ENTRIES + r"""
import gc, json, sys, types, weakref

class Marker:
    pass

import datetime as real_datetime, pandas  # pandas needs the real datetime
import sqlalchemy.exc
error_class = sqlalchemy.exc.SQLAlchemyError
del sqlalchemy.exc.SQLAlchemyError  # line 9 fails
markers, seen = [], []
for attempt in range(2):
    marker = Marker()
    markers.append(weakref.ref(marker))
    fake = types.ModuleType("datetime")
    fake.datetime, fake.timedelta = marker, None  # bound by line 7
    sys.modules["datetime"] = fake
    exc = failure(lambda: __import__("quendsdk.tablora"))
    tb = exc.__traceback__
    while tb.tb_frame.f_code.co_filename != "quendsdk\\\\tablora.py":
        tb = tb.tb_next
    seen.append([entries(exc), tb.tb_frame.f_globals["datetime"] is marker])
    del marker, fake, exc, tb
sys.modules["datetime"] = real_datetime
sqlalchemy.exc.SQLAlchemyError = error_class
import quendsdk.tablora
gc.collect()
print(json.dumps([seen, [ref() is None for ref in markers]]))
""")
    seen, collected = got
    assert seen == [[[["init quendsdk.tablora", 9]], True]] * 2
    assert collected == [True, True]
