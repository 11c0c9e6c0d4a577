"""Figure 4: importing quendsdk.tablora against importing its dependencies
alone, each import timed inside a fresh interpreter."""
import subprocess
import sys

from common import Figure, median

DEPENDENCIES = "sqlalchemy, pandas, os, pickle, logging, datetime, sqlalchemy.exc"
# Only the import itself is timed: interpreter start-up is the same for both
# and would water the ratio down.
CHILD = ("import time\n"
         "t0 = time.perf_counter_ns()\n"
         "import {what}\n"
         "print(time.perf_counter_ns() - t0)\n")
SIDES = {"native": "quendsdk.tablora", "deps": DEPENDENCIES}


def _once(side):
    # -P: the working directory must not shadow an installed package.
    out = subprocess.run([sys.executable, "-P", "-c", CHILD.format(what=SIDES[side])],
                         check=True, capture_output=True, text=True)
    return int(out.stdout.strip().splitlines()[-1])


def run(reps, log):
    for side in SIDES:  # warm the file cache and the .pyc files
        _once(side)
    fig = Figure("4 import quendsdk.tablora", 1.05)
    times = {side: [] for side in SIDES}
    for rep in range(reps):
        for side in (("native", "deps") if rep % 2 == 0 else ("deps", "native")):
            times[side].append(_once(side))
        fig.ratios.append(times["native"][-1] / times["deps"][-1])
    fig.note = (f"native {median(times['native']) / 1e6:.0f} ms,"
                f" dependencies alone {median(times['deps']) / 1e6:.0f} ms")
    log(f"  {fig.name}: {fig.median:.3f} ({fig.note})")
    return [fig]
