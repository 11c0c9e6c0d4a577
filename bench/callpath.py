"""Figure 1: the cost of each method's own call path, native against plain
Python, with every dependency replaced by the fakes of fake_deps."""
import gc
import itertools
import os
import sys
import tempfile
import time
from contextlib import contextmanager

import fake_deps
from common import Figure, fmt_ns

UNROLL = 10  # calls per loop turn, so the loop itself weighs little

SUCCESS = "{call}"
ARG_ERROR = """try:
    {call}
except TypeError:
    pass"""

# (figure name, statement, template, which cache answer os.path.exists gives)
CASES = [
    ("constructor", "C('tool', 'toolpw', '127.0.0.1:3306', 'shop', cache_dir, cache_file)", SUCCESS, False),
    ("constructor, no arguments", "C()", ARG_ERROR, False),
    ("connect", "tool.connect()", SUCCESS, False),
    ("connect(1)", "tool.connect(1)", ARG_ERROR, False),
    ("prepare_data, database path", "tool.prepare_data()", SUCCESS, False),
    ("prepare_data, cache path", "tool.prepare_data()", SUCCESS, True),
    ("prepare_data(1)", "tool.prepare_data(1)", ARG_ERROR, False),
    ("print_table_schemas", "tool.print_table_schemas()", SUCCESS, False),
    ("print_table_schemas(1)", "tool.print_table_schemas(1)", ARG_ERROR, False),
]
SUCCESS_TARGET = 0.7
ARG_ERROR_TARGET = 0.5


def make_timer(statement, template, namespace):
    """A function timing `n` loop turns of UNROLL copies of the statement."""
    one = template.format(call=statement)
    body = "\n".join(one for _ in range(UNROLL))
    body = "\n".join("        " + line for line in body.splitlines())
    src = ("def timer(_n, _clock=_clock, _repeat=_repeat):\n"
           + "".join(f"    {name} = _ns[{name!r}]\n" for name in namespace)
           + "    _t0 = _clock()\n"
           + "    for _ in _repeat(None, _n):\n"
           + body + "\n"
           + "    return _clock() - _t0\n")
    scope = {"_clock": time.perf_counter_ns, "_repeat": itertools.repeat, "_ns": namespace}
    exec(compile(src, f"<timer {statement}>", "exec"), scope)
    return scope["timer"]


@contextmanager
def bound(module_dicts, names):
    """Put `names` into each module dict, restoring the old bindings after."""
    missing = object()
    saved = [{k: d.get(k, missing) for k in names} for d in module_dicts]
    try:
        for d in module_dicts:
            d.update(names)
        yield
    finally:
        for d, old in zip(module_dicts, saved):
            for k, v in old.items():
                if v is missing:
                    d.pop(k, None)
                else:
                    d[k] = v


@contextmanager
def quiet_stdout():
    old = sys.stdout
    sys.stdout = fake_deps.NullOut()
    try:
        yield
    finally:
        sys.stdout = old


def _tmpfs_dir():
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix="tablora-bench-", dir=base)


def _side(module, cache_dir, cache_file):
    C = module.MySQLDatabaseTablora
    tool = C("tool", "toolpw", "127.0.0.1:3306", "shop", cache_dir, cache_file)
    tool.engine = fake_deps.ENGINE
    return {"C": C, "tool": tool, "cache_dir": cache_dir, "cache_file": cache_file}


def _check(name, timer, ns, module_name, cache_present):
    # One turn outside the clock: fails loudly if a path does not do what its
    # name says (an unexpected exception, or a fake that was not picked up).
    timer(1)
    tool = ns["tool"]
    if tool.engine is not fake_deps.ENGINE:
        raise RuntimeError(f"{module_name}: {name}: the fake engine was not used")
    if name.startswith("prepare_data,"):
        got = tool.prepare_data()
        first = fake_deps.TABLES[0]
        from_db = got[0] is fake_deps.FRAMES[first]
        if from_db == cache_present or getattr(got[0], "name", None) != first:
            raise RuntimeError(f"{module_name}: {name}: took the wrong path")


def _calibrate(timer, seconds):
    n = 1
    while True:
        t = timer(n)
        if t >= seconds * 1e9 * 0.2 or n >= 1 << 24:
            return max(1, int(n * seconds * 1e9 / max(t, 1)))
        n *= 4


def run(native_module, plain_module, reps, seconds, log):
    figures = []
    tmp = _tmpfs_dir()
    native_ns = _side(native_module, tmp, "native.pkl")
    plain_ns = _side(plain_module, tmp, "plain.pkl")
    dicts = [vars(native_module), vars(plain_module)]
    try:
        for name, statement, template, cache_present in CASES:
            with quiet_stdout(), bound(dicts, fake_deps.bindings(cache_present)):
                # open(..., "rb") on the cache path needs the file that the database path writes.
                for ns in (native_ns, plain_ns):
                    ns["tool"].engine = fake_deps.ENGINE
                    if cache_present:
                        with bound(dicts, fake_deps.bindings(False)):
                            ns["tool"].prepare_data()
                timers = {}
                for side, ns in (("native", native_ns), ("plain", plain_ns)):
                    t = make_timer(statement, template, ns)
                    _check(name, t, ns, side, cache_present)
                    timers[side] = t
                n = _calibrate(timers["plain"], seconds)
                ratios, per_call = [], {"native": [], "plain": []}
                gc.collect()
                gc.disable()
                try:
                    for rep in range(reps):
                        order = ("native", "plain") if rep % 2 == 0 else ("plain", "native")
                        got = {side: timers[side](n) for side in order}
                        ratios.append(got["native"] / got["plain"])
                        for side in got:
                            per_call[side].append(got[side] / (n * UNROLL))
                finally:
                    gc.enable()
            target = ARG_ERROR_TARGET if template is ARG_ERROR else SUCCESS_TARGET
            fig = Figure(f"1 call path: {name}", target, ratios)
            pn = sorted(per_call["native"])[len(ratios) // 2]
            pp = sorted(per_call["plain"])[len(ratios) // 2]
            fig.note = f"native {fmt_ns(pn)}, plain {fmt_ns(pp)} per call"
            log(f"  {fig.name}: {fig.median:.3f} ({fig.note})")
            figures.append(fig)
    finally:
        for f in os.listdir(tmp):
            os.unlink(os.path.join(tmp, f))
        os.rmdir(tmp)
    return figures
