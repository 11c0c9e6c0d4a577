"""Binding fuzz: generated call shapes for every method, each checked against the
module's binding rules (exact bound values, exact message texts) and, where CPython
binds alike, against a plain Python def of the same signature (same bound values,
same exception type).

They bind alike unless a keyword name is a str subclass whose __eq__ disagrees with
its text, or two keys of one dict share a text: the module then asks __eq__ for a
required parameter, and a repeated text binds again where CPython refuses it.
Figures print with -s."""
from __future__ import annotations

import random
import sys
import types
from urllib.parse import quote

import pytest

import quendsdk.tablora as tablora

SEED = 20240611
SHAPES = 10_000
C = tablora.MySQLDatabaseTablora
CALL = type(C.connect).__call__
INIT_PARAMS = ("self", "username", "password", "host", "database", "cache_path", "cache_file")
UNKNOWN = ("port", "user", "selff", "Host", "usernamé", "x" * 40, "")
NON_STR_KEYS = (1, None, b"host", 2.5)
MISSING = object()
INST = "INST"  # stands for the instance serving as self
REQUIRED_TEXT = "All connection parameters must be provided and not None."
TAGS = (("positional argument", "arity"), ("multiple values", "multiple"), ("unexpected", "unexpected"),
        ("must be strings", "non-str"))


class Refused(Exception):
    pass


def _refuse(self, other):
    raise Refused("comparison refused")


def _int_eq(self, other):
    r = str.__eq__(self, other)
    return r if r is NotImplemented else int(r)


def _kind(name, **methods):
    if "__eq__" in methods:
        methods.setdefault("__hash__", str.__hash__)
    return type(name, (str,), methods)


# Kinds whose __eq__ follows the text, then the ones whose __eq__ does not.
AGREEING = {"interned": sys.intern, "runtime": lambda t: "".join(list(t)), "Sub": _kind("Sub"),
            "IntEq": _kind("IntEq", __eq__=_int_eq), "ConstHash": _kind("ConstHash", __hash__=lambda s: 7),
            "NotImpl": _kind("NotImpl", __eq__=lambda s, o: NotImplemented),
            "DupHash": _kind("DupHash", __hash__=lambda s: str.__hash__(s) ^ 1)}  # may sit beside its plain twin
ODD = {"AlwaysEq": _kind("AlwaysEq", __eq__=lambda s, o: True), "NeverEq": _kind("NeverEq", __eq__=lambda s, o: False),
       "RaisingEq": _kind("RaisingEq", __eq__=_refuse)}
KINDS = {**AGREEING, **ODD}
WEIGHTS = [40, 20, 6, 5, 5, 5, 5, 3, 3, 3]
AGREEING_TYPES = tuple({type(f("x")) for f in AGREEING.values()})


# --- the module's binding rules ---------------------------------------------------

def _arity(name, exact, bound, count, given):
    word = "exactly" if exact else bound
    raise TypeError(f"{name}() takes {word} {count} positional argument{'' if count == 1 else 's'} ({given} given)")


def _find(items, param):
    for k, v in items:
        if k is param:
            return v
    for k, v in items:
        if (k == param) if type(k) is str else bool(param == k):
            return v
    return MISSING


def _same_text(param, key) -> bool:
    return param is key or str.__eq__(param, key) is True


def model_bind(name, params, required, defaults, pos, items):
    """The slots the module binds, or the exception it raises."""
    P, R, n, exact = len(params), required, len(pos), required == len(params)
    slots = [MISSING] * R + list(defaults)
    if not items:
        if not R <= n <= P:
            _arity(name, exact, "at least" if n < R else "at most", R if n < R else P, n)
        slots[:n] = pos
        return slots
    if any(not isinstance(k, str) for k, _ in items):
        raise TypeError("keywords must be strings")  # refused by every call path before binding
    if n > P:
        _arity(name, exact, "at most", P, n)
    slots[:n] = pos
    remaining = len(items)
    for i in range(n, P):
        if i >= R and remaining <= 0:
            break
        v = _find(items, params[i])
        if v is MISSING and i < R:
            _arity(name, exact, "at least", R, i)
        if v is not MISSING:
            slots[i], remaining = v, remaining - 1
    for k, v in items if remaining > 0 else ():
        hit = next((i for i in range(n, P) if params[i] is k or _same_text(params[i], k)), None)
        if hit is None:
            what = "multiple values for" if any(_same_text(params[i], k) for i in range(n)) else "an unexpected"
            raise TypeError(f"{name}() got {what} keyword argument '{str.__str__(k)}'")
        slots[hit] = v
    return slots


# --- what a bound call shows -------------------------------------------------------

class Bound(Exception):
    """Raised by a probe's first attribute read: the body ran with that probe as self."""


class Probe:
    def __init__(self, index: int) -> None:
        self.index = index

    @property
    def connection_string(self):
        raise Bound(self.index)

    cache_path = engine = connection_string


class PlainTool:
    def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl"):
        if not all([username, password, host, database]):
            raise ValueError(REQUIRED_TEXT)
        self.connection_string = f"mysql+pymysql://{username}:{password}@{host}/{database}"
        self.engine, self.cache_path, self.cache_file = None, cache_path, cache_file


def _plain_single(self):
    raise Bound(self.index)


def _init_result(slots):
    """What the constructor leaves on self for these slots (text checked only for ValueError)."""
    if not all(slots[1:5]):
        raise ValueError(REQUIRED_TEXT)
    if not isinstance(slots[0], C):
        raise AttributeError  # setting an attribute on a str
    u, p, h, d = (f"{v}" for v in slots[1:5])
    return (f"mysql+pymysql://{quote(u, safe='')}:{quote(p, safe='')}@{h}/{d}", None, slots[5], slots[6])


def _outcome(run, inst=None):
    """("ok", payload) or ("exc", type, text); a constructed tool shows its four attributes."""
    try:
        result = run()
    except Bound as b:
        return ("ok", b.args[0])
    except Exception as e:
        return ("exc", type(e), str(e))
    tool = result if result is not None else inst
    d = tool.__dict__
    return ("ok", (d["connection_string"], d["engine"], d["cache_path"], d["cache_file"]))


# --- shapes --------------------------------------------------------------------------

def _gen_shape(rng, method, params):
    one = method != "__init__"  # few values for one-parameter methods, or nearly all fail
    form = rng.choice(("function", "bound", "call-slot") + (() if one else ("class",)))
    tags = iter(range(1, 10_000))
    value = lambda: (-next(tags) if not one and rng.random() < 0.03 else next(tags))  # negative: falsy
    n = rng.choice((0, 0, 1, 1, 1, 1, 2, 3, 5, 9) if one else (0, 1, 2, 3, 3, 4, 4, 4, 5, 5, 6, 7, 8, 9))
    pos = [value() for _ in range(n)]
    if form in ("function", "call-slot") and pos and rng.random() < 0.7:
        pos[0] = INST
    keys = []
    for _ in range(rng.choice((0, 0, 0, 1, 1, 2, 3) if one else (0, 0, 1, 1, 2, 3, 4, 5, 6, 8))):
        if rng.random() < 0.03:
            keys.append(rng.choice(NON_STR_KEYS))
        else:
            text = rng.choice(params) if rng.random() < 0.9 else rng.choice(UNKNOWN)
            keys.append(KINDS[rng.choices(list(KINDS), weights=WEIGHTS)[0]](text))
    texts = [k for k in keys if isinstance(k, str)]
    if texts and rng.random() < 0.15:  # the same text again, perhaps as another kind
        keys.insert(rng.randrange(len(keys) + 1), rng.choice(list(KINDS.values()))(str.__str__(rng.choice(texts))))
    kw = [(k, INST if not one and isinstance(k, str) and str.__str__(k) == "self" else value()) for k in keys]
    split = rng.randrange(1, len(kw)) if len(kw) >= 2 and rng.random() < 0.25 else len(kw)
    return form, pos, kw, split


def _materialize(method, pos, kw, split, inst):
    def val(tag):
        if tag == INST:
            return inst
        return (f"v{tag}" if tag > 0 else "") if method == "__init__" else Probe(tag)

    dicts = [{}, {}]
    for i, (k, v) in enumerate(kw):
        dicts[i >= split][k] = val(v)  # a RaisingEq colliding in the dict raises Refused here
    return [val(p) for p in pos], dicts


def _call(target, form, pos, dicts, inst):
    a, b = dicts
    func = target.__init__ if isinstance(target, type) else target
    if form == "class":
        return lambda: target(*pos, **a, **b)
    if form == "function":
        return lambda: func(*pos, **a, **b)
    if form == "bound":
        return lambda: types.MethodType(func, inst)(*pos, **a, **b)
    caller = CALL if type(func) is type(C.connect) else types.FunctionType.__call__
    return lambda: caller(func, *pos, **a, **b)


def _expected(method, params, form, pos, dicts, inst):
    merged = dict(dicts[0])
    try:
        if any(k in merged for k in dicts[1]):
            return ("exc", TypeError, None)  # the interpreter's own refusal and text
    except Refused as e:
        return ("exc", Refused, str(e))
    merged.update(dicts[1])
    required, defaults = (5, (".", "db_cache.pkl")) if method == "__init__" else (1, ())
    try:
        slots = model_bind(method, params, required, defaults,
                           ([inst] if form in ("class", "bound") else []) + pos, list(merged.items()))
    except (TypeError, Refused) as e:
        return ("exc", type(e), str(e))
    if method != "__init__":
        return ("ok", slots[0].index)
    try:
        return ("ok", _init_result(slots))
    except ValueError as e:
        return ("exc", ValueError, str(e))
    except AttributeError:
        return ("exc", AttributeError, None)


def _same(got, want, texts=True) -> bool:
    if got[0] == "ok" or want[0] == "ok":
        return got[:2] == want[:2]
    return got[1] is want[1] and (not texts or want[2] is None or got[2] == want[2])


@pytest.mark.parametrize("method", ["__init__", "connect", "prepare_data", "print_table_schemas"])
def test_binding_fuzz(method: str) -> None:
    rng = random.Random(f"{SEED}-{method}")
    params = INIT_PARAMS if method == "__init__" else ("self",)
    targets = {"module": C if method == "__init__" else C.__dict__[method],
               "plain": PlainTool if method == "__init__" else _plain_single}
    tally: dict = {}
    shapes = compared = 0
    while shapes < SHAPES:
        form, pos, kw, split = _gen_shape(rng, method, params)
        insts = {"module": C.__new__(C), "plain": PlainTool.__new__(PlainTool)} if method == "__init__" else \
            {"module": Probe(0), "plain": Probe(0)}
        try:
            made = {side: _materialize(method, pos, kw, split, insts[side]) for side in insts}
        except Refused:
            continue  # the test's own dict refused the key
        where = f"seed {SEED}, method {method}, shape {shapes}: {form} pos={pos} kw={kw!r} split={split}"
        shapes += 1
        args = {side: (form, *made[side], insts[side]) for side in insts}
        got = _outcome(_call(targets["module"], *args["module"]), insts["module"])
        want = _expected(method, params, *args["module"])
        assert _same(got, want), f"{where}\n  module: {got}\n  rules:  {want}"
        label = "bound" if got[0] == "ok" else got[1].__name__
        if label == "TypeError":
            label = next((tag for frag, tag in TAGS if frag in got[2]), label)
        tally[label] = tally.get(label, 0) + 1
        keys = [k for d in made["module"][1] for k in d if isinstance(k, str)]
        if all(type(k) in AGREEING_TYPES for k in keys) and len(set(map(str.__str__, keys))) == len(keys):
            compared += 1
            plain = _outcome(_call(targets["plain"], *args["plain"]), insts["plain"])
            assert _same(plain, got, texts=False), f"{where}\n  module: {got}\n  plain def: {plain}"
    print(f"\nfigure: fuzz {method}: {shapes} shapes (seed {SEED}), {compared} also against a plain def, "
          f"outcomes {dict(sorted(tally.items()))}")
    assert compared > SHAPES // 2 and tally["bound"] > SHAPES // 20
    assert all(tally.get(tag, 0) > 10 for tag in ("arity", "multiple", "unexpected", "non-str", "Refused"))
