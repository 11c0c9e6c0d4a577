"""Benchmarks of quendsdk.tablora; prints one table of ratios.

    python bench/run.py           # the full run (a few minutes on 2 cores)
    python bench/run.py --quick   # a fast smoke run; its figures are not for quoting
    python bench/run.py --only scale   # some of callpath, database, import, scale

Every figure is native time (or memory) over a baseline measured in the same
run, as the median over repetitions, with the min-max of the ratio.
"""
import argparse
import os
import platform
import shutil
import subprocess
import sys
import time
from importlib import metadata

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from common import Figure  # noqa: E402

FULL = dict(call_reps=7, call_seconds=0.2, db_reps=5, mem_reps=5, tables=20, rows=20000, import_reps=11,
            scale_reps=3, scale_cache_reps=5)
QUICK = dict(call_reps=3, call_seconds=0.02, db_reps=2, mem_reps=1, tables=4, rows=2000, import_reps=3,
             scale_reps=2, scale_cache_reps=2)
PARTS = ("callpath", "database", "import", "scale")


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def version(dist):
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "absent"


def mariadb_binary_version():
    exe = shutil.which("mariadbd") or ("/usr/sbin/mariadbd" if os.path.exists("/usr/sbin/mariadbd") else None)
    if not exe:
        return "not installed"
    out = subprocess.run([exe, "--version"], capture_output=True, text=True).stdout
    words = out.split()
    return words[words.index("Ver") + 1] if "Ver" in words else out.strip()


def machine_line(mariadb):
    cores = os.cpu_count()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else cores
    return (f"machine: {cpu_model()}, {usable} of {cores} cores usable; "
            f"Python {platform.python_version()} ({sys.executable}); "
            f"SQLAlchemy {version('SQLAlchemy')}, pandas {version('pandas')}, "
            f"PyMySQL {version('PyMySQL')}, MariaDB {mariadb}")


def table(figures):
    head = ("figure", "ratio (median)", "spread (min-max)", "n", "target", "result", "measured")
    rows = [head]
    for f in figures:
        if not f.ratios:
            rows.append((f.name, "-", "-", "0", f"<= {f.target}", "skipped", f.note))
            continue
        lo, hi = f.spread
        rows.append((f.name, f"{f.median:.3f}", f"{lo:.3f}-{hi:.3f}", str(len(f.ratios)),
                     f"<= {f.target}", f.verdict, f.note))
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    lines = []
    for i, r in enumerate(rows):
        lines.append("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
        if i == 0:
            lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="few, short repetitions on a small database")
    ap.add_argument("--only", default=",".join(PARTS),
                    help=f"comma-separated parts to run, of {', '.join(PARTS)} (default: all)")
    args = ap.parse_args()
    parts = [p.strip() for p in args.only.split(",") if p.strip()]
    for p in parts:
        if p not in PARTS:
            ap.error(f"unknown part {p!r}")
    cfg = QUICK if args.quick else FULL
    started = time.monotonic()
    load_start = os.getloadavg()[0]

    import quendsdk.tablora as native
    import plain_tablora

    figures, extra = [], []
    mariadb = None
    if "callpath" in parts:
        log("figure 1: call paths with fake dependencies")
        import callpath
        figures += callpath.run(native, plain_tablora, cfg["call_reps"], cfg["call_seconds"], log)
    if "database" in parts:
        log(f"figures 2, 3: MariaDB, {cfg['tables']} tables x {cfg['rows']} rows")
        import dbbench
        try:
            got, more, mariadb = dbbench.run(cfg["db_reps"], cfg["mem_reps"], cfg["tables"], cfg["rows"], log)
            figures += got
            extra += more
        except Exception as e:  # no MariaDB here, or it failed: the other parts still report
            log(f"  skipped: {type(e).__name__}: {e}")
            first = str(e).splitlines()[0] if str(e) else type(e).__name__
            figures += [Figure("2 prepare_data from MariaDB: time", 1.02, note=f"skipped: {first}"),
                        Figure("2 prepare_data from MariaDB: client CPU time", 1.02, note="skipped"),
                        Figure("2 prepare_data from MariaDB: peak memory", 1.05, note="skipped"),
                        Figure("3 prepare_data from the cache: time", 1.05, note="skipped")]
    if "import" in parts:
        log("figure 4: import time, fresh interpreters")
        import importbench
        figures += importbench.run(cfg["import_reps"], log)

    scale_lines = []
    if "scale" in parts:
        log("figure 5: scale series on MariaDB, fresh process per read")
        import scalebench
        try:
            scale_lines, version_seen = scalebench.run(cfg["scale_reps"], cfg["scale_cache_reps"], args.quick, log)
            mariadb = mariadb or version_seen
        except Exception as e:
            log(f"  skipped: {type(e).__name__}: {e}")
            first = str(e).splitlines()[0] if str(e) else type(e).__name__
            scale_lines = [f"5 scale series skipped: {first}"]

    elapsed = time.monotonic() - started
    print(machine_line(mariadb or mariadb_binary_version()))
    print(f"run: {'--quick (smoke run, not for quoting)' if args.quick else 'full'}; "
          f"load average {load_start:.2f} at start, {os.getloadavg()[0]:.2f} at end")
    if figures:
        print()
        print(table(figures))
    if scale_lines:
        print()
        print("\n".join(scale_lines))
    print()
    for line in extra:
        print(line)
    print(f"total time: {elapsed:.0f} s")


if __name__ == "__main__":
    main()
