"""Soak test of stops at random moments of `quendsdk run`'s start-up and read.

Starts a throwaway MariaDB, then runs the command N times (default 200) and
sends each run SIGINT or SIGTERM after a random delay. A run that had not yet
printed its summary when the signal was sent must not exit 0, and must not
have replaced the cache. Prints the counts; exits 1 if any run lost its stop.

    .venv/bin/python scripts/signal_soak.py [--runs 200] [--max-delay 1.0]

Not part of the test command: it takes a few minutes.
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from quendsdk._local_mariadb import LocalMariaDB

USER, PASSWORD, DATABASE = "soak", "soak-pw", "soak"


def seed(server: LocalMariaDB) -> None:
    with server.root_connect() as conn, conn.cursor() as cur:
        cur.execute(f"CREATE DATABASE {DATABASE}")
        for table in ("a", "b", "c"):
            cur.execute(f"CREATE TABLE {DATABASE}.{table} (id INT PRIMARY KEY, pad VARCHAR(40))")
            cur.execute(f"INSERT INTO {DATABASE}.{table} SELECT seq, REPEAT('x', 30) "
                        f"FROM {DATABASE}.seq_1_to_20000")
    server.create_user(USER, PASSWORD, databases=[DATABASE], privileges="SELECT")


def one_run(command: str, server: LocalMariaDB, cache_dir: Path, delay: float,
            signum: int) -> tuple[str, int]:
    cache = cache_dir / "db_cache.pkl"
    before = cache.stat().st_ino if cache.exists() else None
    env = dict(os.environ, TABLORA_PASSWORD=PASSWORD)
    proc = subprocess.Popen([command, "run", "--no-defaults", "-h", server.host_text, "-u", USER,
                             "-D", DATABASE, "--refresh", "--no-schemas", "-q", "--cache-path",
                             str(cache_dir)], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out: list[bytes] = []
    reader = threading.Thread(target=lambda: out.extend(proc.stdout or []))
    reader.start()
    time.sleep(delay)
    done_before = any(b"frames in" in line for line in out)
    sent = proc.poll() is None and not done_before
    if sent:
        proc.send_signal(signum)
    code = proc.wait()
    reader.join()
    if not sent:
        return "too late", code
    replaced = (cache.stat().st_ino if cache.exists() else None) != before
    if code == 0:
        return "LOST: exit 0 after a stop", code
    if replaced:
        return "LOST: cache replaced after a stop", code
    return "stopped", code


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--max-delay", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    command = str(Path(sys.executable).with_name("quendsdk"))
    outcomes: collections.Counter[str] = collections.Counter()
    codes: collections.Counter[int] = collections.Counter()
    cache_dir = Path(tempfile.mkdtemp(prefix="soak-cache-"))
    with LocalMariaDB() as server:
        seed(server)
        try:
            for i in range(args.runs):
                signum = rng.choice((signal.SIGINT, signal.SIGTERM))
                outcome, code = one_run(command, server, cache_dir,
                                        rng.uniform(0.02, args.max_delay), signum)
                outcomes[outcome] += 1
                codes[code] += 1
                if outcome.startswith("LOST"):
                    print(f"run {i}: {outcome} ({signal.Signals(signum).name}, exit {code})",
                          flush=True)
        finally:
            shutil.rmtree(cache_dir, ignore_errors=True)
    print("outcomes:", dict(outcomes))
    print("exit statuses:", dict(sorted(codes.items())))
    lost = sum(n for o, n in outcomes.items() if o.startswith("LOST"))
    print(f"lost stops: {lost} of {args.runs - outcomes['too late']} runs stopped while working")
    return 1 if lost else 0


if __name__ == "__main__":
    raise SystemExit(main())
