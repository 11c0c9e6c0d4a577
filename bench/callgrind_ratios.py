"""Instruction counts of the call-path cases under callgrind: a noise-free
companion to figure 1 (takes ~30 s per case and side; not part of run.py).

    python bench/callgrind_ratios.py [--so path/to/unstripped/tablora*.so] [--keep DIR] [CASE ...]

Prints instructions per call, native and plain, their ratio, and for the
native side the module's routines with the most inclusive instructions per
call. The installed module is stripped; pass --so with the one from the
build directory (build/<tag>/tablora*.so) to see routine names.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import callpath  # noqa: E402

TURNS = 1000


def run_case(case, side, outdir, pythonpath):
    out = os.path.join(outdir, re.sub(r"\W+", "_", case) + f"__{side}.out")
    env = dict(os.environ, PYTHONHASHSEED="0")
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [pythonpath, env.get("PYTHONPATH")]))
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=functools_reduce",
           f"--callgrind-out-file={out}", sys.executable, os.path.join(HERE, "profile_case.py"),
           case, side, str(TURNS)]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    return out


def total(out):
    with open(out) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def top_native(out, calls, count=6):
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", out],
                          capture_output=True, text=True).stdout
    rows = []
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\?\?\?:(.+?)\s+\[.*tablora", line)
        if m:
            name = re.sub(r"\(.*", "", m.group(2).replace("(anonymous namespace)::", ""))
            rows.append((int(m.group(1).replace(",", "")) / calls, name))
    return rows[:count]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--so", help="an unstripped tablora shared library to load instead of the installed one")
    ap.add_argument("--keep", help="directory to keep the callgrind files in")
    ap.add_argument("cases", nargs="*", help="case names (default: all)")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed")
    outdir = args.keep or tempfile.mkdtemp(prefix="tablora-callgrind-")
    os.makedirs(outdir, exist_ok=True)
    pythonpath = None
    if args.so:
        pythonpath = tempfile.mkdtemp(prefix="tablora-so-")
        pkg = os.path.join(pythonpath, "quendsdk")
        os.makedirs(pkg)
        open(os.path.join(pkg, "__init__.py"), "w").close()
        shutil.copy(args.so, pkg)
    cases = args.cases or [c[0] for c in callpath.CASES]
    calls = TURNS * callpath.UNROLL
    print(f"{'case':42} {'native Ir':>10} {'plain Ir':>10} {'ratio':>6}")
    for case in cases:
        files = {side: run_case(case, side, outdir, pythonpath) for side in ("native", "plain")}
        n, p = total(files["native"]) / calls, total(files["plain"]) / calls
        print(f"{case:42} {n:10.0f} {p:10.0f} {n / p:6.3f}", flush=True)
        for ir, name in top_native(files["native"], calls):
            print(f"    {ir:8.0f}  {name}")
    if not args.keep:
        shutil.rmtree(outdir, ignore_errors=True)
    if pythonpath:
        shutil.rmtree(pythonpath, ignore_errors=True)


if __name__ == "__main__":
    main()
