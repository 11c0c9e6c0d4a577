"""Runs one call-path case in a loop, for a profiler to look at.

    python bench/profile_case.py connect native 20000
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=functools_reduce \
        python bench/profile_case.py connect native 2000

The timed turns run inside functools.reduce, so that callgrind can collect
them alone (--toggle-collect above); instructions / (turns * 10) is the cost
of one call. The case is matched against the call-path figure names.
"""
import functools
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import callpath  # noqa: E402
import fake_deps  # noqa: E402


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    case, side, turns = sys.argv[1], sys.argv[2], int(sys.argv[3])
    matches = [c for c in callpath.CASES if c[0] == case] or [c for c in callpath.CASES if case in c[0]]
    if not matches:
        raise SystemExit(f"no case {case!r}; cases: {[c[0] for c in callpath.CASES]}")
    name, statement, template, cache_present = matches[0]
    if side == "native":
        import quendsdk.tablora as module
    else:
        import plain_tablora as module
    tmp = callpath._tmpfs_dir()
    ns = callpath._side(module, tmp, "profile.pkl")
    try:
        with callpath.quiet_stdout(), callpath.bound([vars(module)], fake_deps.bindings(False)):
            ns["tool"].prepare_data()
        with callpath.quiet_stdout(), callpath.bound([vars(module)], fake_deps.bindings(cache_present)):
            timer = callpath.make_timer(statement, template, ns)
            timer(10)
            # reduce() is only a native frame to switch the profiler on around.
            functools.reduce(lambda _a, _b: timer(turns), (0, 0))
    finally:
        for f in os.listdir(tmp):
            os.unlink(os.path.join(tmp, f))
        os.rmdir(tmp)
    print(f"{name} / {side}: {turns} turns of {callpath.UNROLL} calls", file=sys.stderr)


if __name__ == "__main__":
    main()
