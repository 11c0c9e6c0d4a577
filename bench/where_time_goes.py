"""Where the time of one database read goes, by library: py-spy samples one
read of each side in a fresh process (attached after the warm-up read, so that
imports and first-use set-up are left out) and books every sample to the
innermost frame that belongs to a known library.

    python bench/where_time_goes.py [TABLESxROWS ...] [--rate 250] [--keep DIR]

Needs py-spy (bench/setup_env.sh installs it) and permission to ptrace the
child (root, or kernel.yama.ptrace_scope = 0). run.py does not run it.
"""
import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import scalebench  # noqa: E402

# py-spy names a frame "function (package/file.py:line)" or "symbol (lib.so)".
# The innermost frame of a known library owns the sample; frames of the
# interpreter and the C library (malloc, recv) belong to whoever called them.
GROUPS = [
    ("PyMySQL", ("(pymysql/",)),
    ("mysqlclient (MySQLdb and libmariadb)", ("(MySQLdb/", "(_mysql.", "(libmariadb")),
    ("SQLAlchemy", ("(sqlalchemy/",)),
    ("pandas", ("(pandas/",)),
    ("NumPy", ("(numpy/",)),
    ("pickle.dump", ("(_pickle.", "(pickle.py")),
    ("quendsdk.tablora itself", ("(quendsdk/tablora",)),
]
GC = "cyclic garbage collector (any caller)"
CHILD = """
import json, logging, sys, time
sys.path.insert(0, {here!r})
logging.disable(logging.INFO)
import scalebench
read, count = scalebench.prepared_read(json.loads(sys.argv[1]))
print("ready", flush=True)
sys.stdin.readline()
t0 = time.perf_counter()
result = read()
print(json.dumps({{"wall": time.perf_counter() - t0, "rows": count(result)}}), flush=True)
"""


def group_of(frame):
    for name, needles in GROUPS:
        if any(n in frame for n in needles):
            return name
    return None


def book(raw_path):
    """{group: samples}, {leaf frame: samples} from py-spy's raw output."""
    groups, leaves = collections.Counter(), collections.Counter()
    with open(raw_path) as f:
        for line in f:
            stack, _, count = line.rstrip("\n").rpartition(" ")
            if not stack:
                continue
            frames = stack.split(";")
            n = int(count)
            # The warm-up and the wait before the read are not what we want;
            # only stacks under the timed read() count.
            if not any("read (" in fr and "scalebench.py" in fr for fr in frames):
                continue
            if any("gc_collect" in fr for fr in frames):
                owner = GC
            else:
                owner = next((g for g in map(group_of, reversed(frames)) if g), "other (interpreter, C library)")
            groups[owner] += n
            leaves[frames[-1]] += n
    return groups, leaves


def profile_side(cfg, rate, outdir, native_frames):
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(here=HERE), json.dumps(cfg)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    raw = os.path.join(outdir, f"{cfg['database']}-{cfg['side']}.txt")
    spy_cmd = [shutil.which("py-spy") or os.path.join(os.path.dirname(sys.executable), "py-spy"),
               "record", "--pid", str(child.pid), "--rate", str(rate), "--format", "raw",
               "--output", raw]
    # Native frames need the child stopped for each sample.
    spy_cmd.append("--native" if native_frames else "--nonblocking")
    spy = subprocess.Popen(spy_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    spy_err = spy.stderr
    time.sleep(1.0)  # py-spy attaches
    child.stdin.write("go\n")
    child.stdin.flush()
    result = json.loads(child.stdout.readline())
    child.stdin.close()
    child.wait()
    err = spy_err.read()
    if spy.wait() != 0 or not os.path.exists(raw):
        raise RuntimeError(f"py-spy failed: {err.strip()[-300:]}")
    return result, raw


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("shapes", nargs="*", default=["1x1000000"], metavar="TABLESxROWS")
    ap.add_argument("--rate", type=int, default=100, help="samples per second")
    ap.add_argument("--keep", help="directory for py-spy's raw outputs (default: a temp dir, removed)")
    ap.add_argument("--python-only", action="store_true", help="leave out native frames (--native)")
    ap.add_argument("--sides", default="native,bare")
    ap.add_argument("--top", type=int, default=12, help="leaf frames to list per side")
    args = ap.parse_args()
    for tables, rows, cfg, outdir in scalebench.each_shape(args.shapes, "tablora-spy", args.keep):
        print(f"{scalebench.shape_name(tables, rows)} ({tables * rows:,} rows)")
        for side in args.sides.split(","):
            result, raw = profile_side(dict(cfg, side=side), args.rate, outdir, not args.python_only)
            groups, leaves = book(raw)
            total = sum(groups.values()) or 1
            # Stopping the child for each native stack slows it down several
            # times; the shares hold, the time under the profiler does not.
            print(f"  {side}: {result['wall']:.2f} s under py-spy for {result['rows']:,} rows;"
                  f" {total} samples")
            for name, n in groups.most_common():
                print(f"    {name:<40} {100 * n / total:5.1f} %")
            print("    top leaf frames:")
            for frame, n in leaves.most_common(args.top):
                print(f"      {100 * n / total:5.1f} %  {frame[:110]}")


if __name__ == "__main__":
    main()
