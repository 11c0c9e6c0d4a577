"""Figures 2 and 3: prepare_data against a real MariaDB, native against the
bare library calls, from the database and from the cache."""
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from common import Figure, fmt_kib, median, remove, reset_peak, status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATABASE = "bench"
CACHE_REP_NS = 0.3e9  # time spent on cache loads per repetition and side

TABLE_DDL = """CREATE TABLE {db}.{name} (
    id INT PRIMARY KEY,
    qty INT NOT NULL,
    amount DOUBLE,
    label VARCHAR(40) NOT NULL,
    created DATETIME,
    flag TINYINT(1)
)"""


def _mariadb_server_module():
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.append(tests)  # appended: tests/ has modules named like ours
    import mariadb_server
    return mariadb_server


def table_names(tables):
    return [f"t{i:02d}" for i in range(tables)]


def seed(db, tables, rows):
    """`tables` tables of `rows` rows each, built server-side from a sequence."""
    names = table_names(tables)
    with db.root_connect() as conn, conn.cursor() as cur:
        cur.execute(f"CREATE DATABASE {DATABASE} CHARACTER SET utf8mb4")
        cur.execute(f"USE {DATABASE}")  # the seq_1_to_N tables resolve in the current database
        first = names[0]
        cur.execute(TABLE_DDL.format(db=DATABASE, name=first))
        cur.execute(
            f"INSERT INTO {DATABASE}.{first} "
            "SELECT seq, seq * 7 % 1000, seq / 3.0, CONCAT('label-', seq),"
            " '2024-01-01' + INTERVAL seq MINUTE, IF(seq % 5 = 0, NULL, seq % 2)"
            f" FROM seq_1_to_{rows}")
        for name in names[1:]:
            cur.execute(f"CREATE TABLE {DATABASE}.{name} LIKE {DATABASE}.{first}")
            cur.execute(f"INSERT INTO {DATABASE}.{name} SELECT * FROM {DATABASE}.{first}")
        for host in ("127.0.0.1", "localhost"):
            cur.execute(f"GRANT ALL ON `{DATABASE}`.* TO %s@%s", (db.user, host))
        cur.execute("SELECT VERSION()")
        return cur.fetchone()[0]


# --- the two sides of a database read -----------------------------------------

def bare_read(engine, cache_full_path):
    """The library calls alone, as prepare_data makes them."""
    import pickle

    import pandas as pd
    from sqlalchemy import inspect
    dataframes = []
    with engine.connect() as connection:
        inspector = inspect(engine)
        for table_name in inspector.get_table_names():
            dataframes.append(pd.read_sql_table(table_name, connection))
    with open(cache_full_path, "wb") as file:
        pickle.dump(dataframes, file)
    return dataframes


def bare_load(cache_full_path):
    import pickle
    with open(cache_full_path, "rb") as file:
        return pickle.load(file)


def make_sides(host_text, user, password, cache_dir):
    """(native tool, bare engine), both connected once; the same cache path."""
    import quendsdk.tablora as tablora
    from sqlalchemy import create_engine
    tool = tablora.MySQLDatabaseTablora(user, password, host_text, DATABASE, cache_dir, "db_cache.pkl")
    tool.connect()
    engine = create_engine(tool.connection_string)
    with engine.connect():
        pass
    return tool, engine, os.path.join(cache_dir, "db_cache.pkl")


def _timed(fn):
    gc.collect()
    t0 = time.perf_counter_ns()
    result = fn()
    t = time.perf_counter_ns() - t0
    return t, result


def _timed_both(fn):
    """(wall ns, this process's CPU ns, result)."""
    gc.collect()
    c0, t0 = time.process_time_ns(), time.perf_counter_ns()
    result = fn()
    t, c = time.perf_counter_ns() - t0, time.process_time_ns() - c0
    return t, c, result


# --- peak memory, each measurement in a fresh process -------------------------


def memory_child(side, host_text, user, password, cache_dir):
    import logging
    logging.disable(logging.INFO)
    tool, engine, path = make_sides(host_text, user, password, cache_dir)
    remove(path)
    gc.collect()
    if reset_peak():
        before = status_kib("VmRSS")
        result = tool.prepare_data() if side == "native" else bare_read(engine, path)
        peak = status_kib("VmHWM")
        how = "VmHWM"
    else:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = tool.prepare_data() if side == "native" else bare_read(engine, path)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        how = "ru_maxrss"
    print(json.dumps({"delta_kib": peak - before, "frames": len(result), "how": how}))


def _memory_once(side, db, cache_dir):
    cmd = [sys.executable, os.path.abspath(__file__), "memory-child", side,
           db.host_text, db.user, db.password, cache_dir]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])["delta_kib"]


# --- the figures ---------------------------------------------------------------

def run(reps, mem_reps, tables, rows, log):
    """Returns (figures, extra lines, MariaDB version) or raises RuntimeError."""
    import logging
    ms = _mariadb_server_module()
    server = ms.MariaDBServer()
    db = server.start()
    cache_dir = tempfile.mkdtemp(prefix="tablora-bench-cache-")
    figures, extra = [], []
    try:
        t0 = time.monotonic()
        version = seed(db, tables, rows)
        log(f"  seeded {tables} tables x {rows} rows in {time.monotonic() - t0:.1f} s (MariaDB {version})")
        logging.disable(logging.INFO)
        tool, engine, path = make_sides(db.host_text, db.user, db.password, cache_dir)

        def native():
            return tool.prepare_data()

        def bare():
            return bare_read(engine, path)

        # Warm both paths once (first reflection, lazy imports), then check
        # that they read the same thing.
        remove(path)
        a = native()
        remove(path)
        b = bare()
        if len(a) != tables or [x.shape for x in a] != [y.shape for y in b]:
            raise RuntimeError("native and bare reads differ")
        del a, b

        db_fig = Figure("2 prepare_data from MariaDB: time", 1.02)
        # The client's CPU time leaves out the server and other processes: a
        # steadier view of the same reads on a busy machine.
        cpu_fig = Figure("2 prepare_data from MariaDB: client CPU time", 1.02)
        native_db_ns = []
        for rep in range(reps):
            got, cpu = {}, {}
            for side in (("native", "bare") if rep % 2 == 0 else ("bare", "native")):
                remove(path)
                t, c, result = _timed_both(native if side == "native" else bare)
                del result
                got[side], cpu[side] = t, c
            db_fig.ratios.append(got["native"] / got["bare"])
            cpu_fig.ratios.append(cpu["native"] / cpu["bare"])
            native_db_ns.append(got["native"])
        db_fig.note = f"native {median(native_db_ns) / 1e9:.2f} s per read"
        cpu_fig.note = "same reads as the row above"
        figures += [db_fig, cpu_fig]
        log(f"  {db_fig.name}: {db_fig.median:.3f} ({db_fig.note})")
        log(f"  {cpu_fig.name}: {cpu_fig.median:.3f}")

        mem_fig = Figure("2 prepare_data from MariaDB: peak memory", 1.05)
        mem = {"native": [], "bare": []}
        for rep in range(mem_reps):
            for side in (("native", "bare") if rep % 2 == 0 else ("bare", "native")):
                mem[side].append(_memory_once(side, db, cache_dir))
            mem_fig.ratios.append(mem["native"][-1] / mem["bare"][-1])
        mem_fig.note = (f"peak RSS growth native {fmt_kib(median(mem['native']))},"
                        f" bare {fmt_kib(median(mem['bare']))}")
        figures.append(mem_fig)
        log(f"  {mem_fig.name}: {mem_fig.median:.3f} ({mem_fig.note})")

        # The cache the last native read left behind.
        remove(path)
        native()
        cache_fig = Figure("3 prepare_data from the cache: time", 1.05)

        def bare_cache():
            return bare_load(path)

        # One load is short: each repetition times `loads` of them in a row.
        t_one, result = _timed(native)
        del result
        loads = max(1, round(CACHE_REP_NS / max(t_one, 1)))
        native_cache_ns = []
        for rep in range(reps):
            got = {}
            for side in (("native", "bare") if rep % 2 == 0 else ("bare", "native")):
                fn = native if side == "native" else bare_cache
                total = 0
                for _ in range(loads):
                    t, result = _timed(fn)
                    del result
                    total += t
                got[side] = total / loads
            cache_fig.ratios.append(got["native"] / got["bare"])
            native_cache_ns.append(got["native"])
        size = os.path.getsize(path)
        cache_fig.note = (f"native {median(native_cache_ns) / 1e6:.1f} ms per load of {size / 2**20:.1f} MiB,"
                          f" {loads} loads per repetition")
        figures.append(cache_fig)
        log(f"  {cache_fig.name}: {cache_fig.median:.3f} ({cache_fig.note})")
        speedup = median(native_db_ns) / median(native_cache_ns)
        extra.append(f"cache speed-up over the database path (native): {speedup:.0f}x"
                     f" ({median(native_db_ns) / 1e9:.2f} s -> {median(native_cache_ns) / 1e6:.1f} ms),"
                     f" {tables} tables x {rows} rows")
        engine.dispose()
        return figures, extra, version
    finally:
        logging.disable(logging.NOTSET)
        shutil.rmtree(cache_dir, ignore_errors=True)
        server.stop()


if __name__ == "__main__" and len(sys.argv) == 7 and sys.argv[1] == "memory-child":
    memory_child(*sys.argv[2:])
