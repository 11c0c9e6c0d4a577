"""Instruction counts of one whole database read under callgrind, native
prepare_data() against the bare loop: the load-independent view of figure 5's
time ratio. Only the read itself is counted (collection is switched on inside
functools.reduce, which the child calls once around the read), after a warm-up
read on a one-table database.

    python bench/callgrind_read.py [TABLESxROWS ...] [--keep DIR]

About 2 minutes per side at 10^5 rows. run.py does not run it.
"""
import argparse
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import scalebench  # noqa: E402

CHILD = """
import functools, json, logging, sys
sys.path.insert(0, {here!r})
logging.disable(logging.INFO)
import scalebench
read, count = scalebench.prepared_read(json.loads(sys.argv[1]))
result = functools.reduce(lambda _, fn: fn(), [read], None)
print(json.dumps({{"rows": count(result)}}))
"""


def total(out):
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def inclusive(out, pattern):
    """Inclusive Ir of the first function matching `pattern` in callgrind_annotate."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", out],
                          capture_output=True, text=True).stdout
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.+)", line)
        if m and re.search(pattern, m.group(2)):
            return int(m.group(1).replace(",", ""))
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("shapes", nargs="*", default=["1x100000"], metavar="TABLESxROWS")
    ap.add_argument("--keep", help="directory for the callgrind outputs (default: temp, removed)")
    args = ap.parse_args()
    for tables, rows, cfg, outdir in scalebench.each_shape(args.shapes, "tablora-cg", args.keep):
        database = cfg["database"]
        counts = {}
        for side in ("native", "bare"):
            out = os.path.join(outdir, f"{database}-{side}.out")
            cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                   "--toggle-collect=functools_reduce", f"--callgrind-out-file={out}",
                   sys.executable, "-c", CHILD.format(here=HERE), json.dumps(dict(cfg, side=side))]
            env = dict(os.environ, PYTHONHASHSEED="0")
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            counts[side] = (total(out), inclusive(out, r"gcmodule\.c:gc_collect_main "))
        n, b = counts["native"], counts["bare"]
        print(f"{scalebench.shape_name(tables, rows)}: native {n[0]:,} Ir, bare {b[0]:,} Ir,"
              f" ratio {n[0] / b[0]:.4f}; {n[0] / (tables * rows):,.0f} Ir per row")
        for label, i in (("cyclic GC (gc_collect_main, inclusive)", 1),):
            if n[i] is not None and b[i] is not None:
                print(f"  {label}: native {n[i]:,}, bare {b[i]:,}, difference {n[i] - b[i]:+,}"
                      f" ({(n[i] - b[i]) / b[0] * 100:+.2f} % of the bare read)")


if __name__ == "__main__":
    main()
