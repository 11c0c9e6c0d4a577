"""Figure 5: prepare_data at scale on a throwaway MariaDB, against the bare
library loop and against the libraries users compare it with.

Every read runs in a fresh process: wall time, the client's CPU time and the
peak RSS of that read come from the same run, and neither side inherits the
other's heap, page faults or garbage. Sides alternate (native first in even
repetitions, bare first in odd ones; the reference libraries follow, in turn
reversed). Each child first does the same read once untimed (on a one-table
database of the same columns for the 10^6-row shapes), so that lazy imports and
first-use set-up are paid before the clock starts.
"""
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from common import fmt_kib, median, remove, reset_peak, status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
WARM_DATABASE = "warm"
WARM_ROWS = 100
WARM_WHOLE_ROWS = 2 * 10**5  # shapes up to this many rows warm up on themselves
SMALL_READ_ROWS = 3 * 10**5  # and time up to 5 reads of about this many rows in all
CACHE_REP_NS = 0.3e9  # time spent on cache loads per repetition and side

# (tables, rows per table); every shape names rows per table, so the last
# three shapes hold 10^6 rows each.
FULL_SHAPES = [(1, 10**4), (1, 10**5), (1, 10**6), (10, 10**5), (100, 10**4)]
# The smoke run: the three 10^6-row shapes at a hundredth.
QUICK_SHAPES = [(t, r // 100) for t, r in FULL_SHAPES[2:]]

# Integers, floats, decimals, text, datetimes, with NULLs in five columns.
TABLE_DDL = """CREATE TABLE {db}.{name} (
    id INT PRIMARY KEY,
    qty INT NOT NULL,
    big BIGINT,
    amount DOUBLE,
    price DECIMAL(12,2),
    label VARCHAR(40) NOT NULL,
    note VARCHAR(60),
    created DATETIME,
    flag TINYINT(1)
)"""
TABLE_FILL = (
    "INSERT INTO {db}.{name} SELECT seq, seq * 7 % 1000,"
    " IF(seq % 13 = 0, NULL, seq * 1000003),"
    " IF(seq % 7 = 0, NULL, seq / 3.0),"
    " IF(seq % 11 = 0, NULL, (seq % 100000) / 100),"
    " CONCAT('label-', seq),"
    " IF(seq % 3 = 0, NULL, CONCAT('note ', seq % 977, ' of the row')),"
    " IF(seq % 17 = 0, NULL, '2024-01-01' + INTERVAL seq SECOND),"
    " IF(seq % 5 = 0, NULL, seq % 2)"
    " FROM seq_1_to_{rows}")

REFERENCES = ("read_sql", "pymysql", "mysqlclient", "connectorx")
REFERENCE_TITLES = {
    "read_sql": "pandas.read_sql SELECT *",
    "pymysql": "PyMySQL fetchall",
    "mysqlclient": "mysqlclient fetchall",
    "connectorx": "ConnectorX read_sql",
}
REFERENCE_MODULES = {"read_sql": "pandas", "pymysql": "pymysql", "mysqlclient": "MySQLdb",
                     "connectorx": "connectorx"}
REFERENCE_DISTS = {"pymysql": "PyMySQL", "mysqlclient": "mysqlclient", "connectorx": "connectorx"}


def shape_name(tables, rows):
    return f"{tables} x {rows:,}"


def database_name(tables, rows):
    return f"s_{tables}x{rows}"


def table_names(tables):
    return [f"t{i:03d}" for i in range(tables)]


def seed(db, database, tables, rows):
    names = table_names(tables)
    with db.root_connect() as conn, conn.cursor() as cur:
        cur.execute(f"CREATE DATABASE {database} CHARACTER SET utf8mb4")
        cur.execute(f"USE {database}")  # seq_1_to_N resolves in the current database
        cur.execute(TABLE_DDL.format(db=database, name=names[0]))
        cur.execute(TABLE_FILL.format(db=database, name=names[0], rows=rows))
        for name in names[1:]:
            cur.execute(f"CREATE TABLE {database}.{name} LIKE {database}.{names[0]}")
            cur.execute(f"INSERT INTO {database}.{name} SELECT * FROM {database}.{names[0]}")
        for host in ("127.0.0.1", "localhost"):
            cur.execute(f"GRANT ALL ON `{database}`.* TO %s@%s", (db.user, host))


def drop(db, database):
    with db.root_connect() as conn, conn.cursor() as cur:
        cur.execute(f"DROP DATABASE IF EXISTS {database}")


# --- the reads, in the child ---------------------------------------------------


def _reader(side, cfg, database):
    """A no-argument function doing one read of `database` the way `side`
    does it, and the number of rows it returns from its result."""
    host, port = cfg["host"], cfg["port"]
    user, password = cfg["user"], cfg["password"]
    names = table_names(cfg["tables"] if database != WARM_DATABASE else 1)
    if side in ("native", "bare", "native-mysqldb"):
        import quendsdk.tablora as tablora
        from sqlalchemy import create_engine
        from sqlalchemy.engine import make_url

        import dbbench
        cache_file = f"{database}-{side}.pkl"
        tool = tablora.MySQLDatabaseTablora(user, password, f"{host}:{port}", database,
                                            cfg["cache_dir"], cache_file)
        tool.connect()
        if side == "native-mysqldb":  # as `quendsdk run --driver mysqldb` reads
            tool.engine = create_engine(make_url(tool.connection_string).set(drivername="mysql+mysqldb"))
        path = os.path.join(cfg["cache_dir"], cache_file)
        # Both sides build the same objects, used or not: what the heap holds
        # before the read changes how much the read faults in.
        engine = create_engine(tool.connection_string)
        with engine.connect():
            pass
        if side != "bare":
            def read():
                remove(path)
                return tool.prepare_data()
        else:
            def read():
                remove(path)
                return dbbench.bare_read(engine, path)
        return read, lambda result: sum(len(df) for df in result)
    if side == "read_sql":
        import pandas as pd
        from sqlalchemy import create_engine
        engine = create_engine(f"mysql+pymysql://{user}:{password}@{host}:{port}/{database}")

        def read():
            with engine.connect() as connection:
                return [pd.read_sql(f"SELECT * FROM {name}", connection) for name in names]
        return read, lambda result: sum(len(df) for df in result)
    if side in ("pymysql", "mysqlclient"):
        if side == "pymysql":
            import pymysql
            conn = pymysql.connect(host=host, port=port, user=user, password=password,
                                   database=database, charset="utf8mb4")
        else:
            import MySQLdb
            conn = MySQLdb.connect(host=host, port=port, user=user, password=password,
                                   database=database, charset="utf8mb4")

        def read():
            out = []
            cur = conn.cursor()
            for name in names:
                cur.execute(f"SELECT * FROM {name}")
                out.append(cur.fetchall())
            cur.close()
            return out
        return read, lambda result: sum(len(rows) for rows in result)
    if side == "connectorx":
        import connectorx
        url = f"mysql://{user}:{password}@{host}:{port}/{database}"

        def read():
            return [connectorx.read_sql(url, f"SELECT * FROM {name}", return_type="pandas")
                    for name in names]
        return read, lambda result: sum(len(df) for df in result)
    raise ValueError(side)


def each_shape(shapes, prefix, keep=None):
    """Runs of "TABLESxROWS" shapes for the profiling tools, on a throwaway
    server with the warm-up database: yields (tables, rows, cfg, outdir), with
    each shape's database seeded before and dropped after. The server, the
    cache dir and outdir (unless it is `keep`) go when the loop ends."""
    import dbbench
    server = dbbench._mariadb_server_module().MariaDBServer()
    db = server.start()
    outdir = keep or tempfile.mkdtemp(prefix=f"{prefix}-")
    os.makedirs(outdir, exist_ok=True)
    cache_dir = tempfile.mkdtemp(prefix=f"{prefix}-cache-")
    try:
        with db.root_connect() as conn, conn.cursor() as cur:
            # The default 32 MiB pool would make the 10^6-row reads go to disk pages.
            cur.execute("SET GLOBAL innodb_buffer_pool_size = 512 * 1024 * 1024")
        seed(db, WARM_DATABASE, 1, WARM_ROWS)
        for shape in shapes:
            tables, rows = (int(x) for x in shape.split("x"))
            database = database_name(tables, rows)
            seed(db, database, tables, rows)
            cfg = {"host": db.host, "port": db.port, "user": db.user, "password": db.password,
                   "cache_dir": cache_dir, "database": database, "tables": tables}
            yield tables, rows, cfg, outdir
            drop(db, database)
    finally:
        shutil.rmtree(cache_dir, ignore_errors=True)
        if not keep:
            shutil.rmtree(outdir, ignore_errors=True)
        server.stop()


def prepared_read(cfg):
    """(read, count) for cfg's side and database, after one warm-up read and a
    collection, so that what a profiler sees next is the read itself."""
    warm, _ = _reader(cfg["side"], cfg, WARM_DATABASE)
    warm()
    read, count = _reader(cfg["side"], cfg, cfg["database"])
    gc.collect()
    return read, count


def read_child(cfg):
    import logging
    logging.disable(logging.INFO)
    side = cfg["side"]
    read, count = _reader(side, cfg, cfg["database"])
    # A read of the one-table database pays the lazy imports. A small shape
    # is then read once more untimed, so that the engine's first-use costs
    # stay out of its time; at 10^6 rows that would double the run, for less
    # than 1% of a read. Peak memory is that of the first read of the shape,
    # on a heap that has not held it yet.
    result = _reader(side, cfg, WARM_DATABASE)[0]()
    del result
    small = cfg["warm_whole"] and cfg["tables"] * cfg["rows"] <= WARM_WHOLE_ROWS
    if small:
        gc.collect()
        peak_ok = reset_peak()
        before = status_kib("VmRSS")
        result = read()
        peak = status_kib("VmHWM")
        del result
    gc.collect()
    if not small:
        peak_ok = reset_peak()
        before = status_kib("VmRSS")
    # A small read is short next to the noise of a shared machine: the child
    # times several and reports their median.
    times = []
    for _ in range(cfg["reads"] if small else 1):
        gc.collect()
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        c0, t0 = time.process_time_ns(), time.perf_counter_ns()
        result = read()
        t, c = time.perf_counter_ns() - t0, time.process_time_ns() - c0
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
        times.append((t, c, faults))
        if not small:
            peak = status_kib("VmHWM")
        rows, frames = count(result), len(result)
        del result
    t, c, faults = sorted(times)[len(times) // 2]
    return {"wall_ns": t, "cpu_ns": c, "peak_kib": peak - before if peak_ok else None,
            "faults": faults, "rows": rows, "frames": frames, "reads": len(times)}


def in_process_child(cfg):
    """Both sides alternating in one process, as figure 2 measures them: the
    form in which heap history can favour one side."""
    import logging
    logging.disable(logging.INFO)
    readers = {}
    for side in ("native", "bare"):
        warm, _ = _reader(side, cfg, WARM_DATABASE)
        warm()
        readers[side] = _reader(side, cfg, cfg["database"])[0]
    got = {"native": [], "bare": []}
    for rep in range(cfg["reps"]):
        for side in (("native", "bare") if rep % 2 == 0 else ("bare", "native")):
            gc.collect()
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            c0, t0 = time.process_time_ns(), time.perf_counter_ns()
            result = readers[side]()
            t, c = time.perf_counter_ns() - t0, time.process_time_ns() - c0
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
            del result
            got[side].append({"wall_ns": t, "cpu_ns": c, "faults": faults})
    return got


def cache_child(cfg):
    """Alternating cache reads of the file the last native read left behind:
    prepare_data() against a bare pickle.load."""
    import logging
    import pickle
    logging.disable(logging.INFO)
    import quendsdk.tablora as tablora
    cache_file = f"{cfg['database']}-native.pkl"
    path = os.path.join(cfg["cache_dir"], cache_file)
    # The cache path never needs the engine: no connect().
    tool = tablora.MySQLDatabaseTablora(cfg["user"], cfg["password"], f"{cfg['host']}:{cfg['port']}",
                                        cfg["database"], cfg["cache_dir"], cache_file)

    def bare():
        with open(path, "rb") as file:
            return pickle.load(file)

    sides = {"native": tool.prepare_data, "bare": bare}

    def timed(fn):
        gc.collect()
        t0 = time.perf_counter_ns()
        result = fn()
        t = time.perf_counter_ns() - t0
        del result
        return t

    timed(bare)
    one = timed(sides["native"])
    loads = max(1, round(cfg["rep_ns"] / max(one, 1)))
    per_rep = {"native": [], "bare": []}
    for rep in range(cfg["reps"]):
        for side in (("native", "bare") if rep % 2 == 0 else ("bare", "native")):
            per_rep[side].append(sum(timed(sides[side]) for _ in range(loads)) / loads)
    return {"native_ns": per_rep["native"], "bare_ns": per_rep["bare"], "loads": loads,
            "size": os.path.getsize(path)}


# --- the parent ----------------------------------------------------------------

def _child(cfg):
    cmd = [sys.executable, os.path.abspath(__file__), "child", json.dumps(cfg)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    out = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if out.returncode != 0:
        tail = (out.stderr.strip().splitlines() or ["no output"])[-1]
        raise RuntimeError(f"{cfg['side']} child failed: {tail}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def extras_status():
    """Why each reference library is missing, as the bench environment's set-up
    recorded it; {} where it recorded nothing."""
    status = {}
    try:
        with open(os.path.join(sys.prefix, "bench-extras.txt")) as f:
            for line in f:
                dist, _, what = line.rstrip("\n").partition("\t")
                status[dist.lower()] = what
    except OSError:
        pass
    return status


def available_references():
    """{reference: None if importable, else the reason it is not}."""
    import importlib
    status = extras_status()
    out = {}
    for ref in REFERENCES:
        try:
            importlib.import_module(REFERENCE_MODULES[ref])
            out[ref] = None
        except Exception as e:  # ImportError, or a library that fails to load
            recorded = status.get(REFERENCE_DISTS.get(ref, "").lower(), "")
            if recorded.startswith("pip install failed"):
                out[ref] = recorded
            else:
                out[ref] = (f"not importable ({type(e).__name__}: {str(e).splitlines()[0][:80]});"
                            " bench/setup_env.sh installs it")
    return out


def _spread(values):
    return f"{median(values):.3f} ({min(values):.3f}-{max(values):.3f})"


def run(reps, cache_reps, quick, log, shapes=None, references=True, in_process=False,
        commands_only=False):
    """Returns (report lines, MariaDB version)."""
    sys.path.insert(0, HERE)
    import dbbench
    ms = dbbench._mariadb_server_module()
    shapes = shapes or (QUICK_SHAPES if quick else FULL_SHAPES)
    refs = available_references() if references else {r: "left out (--no-references)" for r in REFERENCES}
    try:
        import MySQLdb  # noqa: F401
        have_mysqlclient = True  # `quendsdk run --driver mysqldb` can be timed
    except ImportError:
        have_mysqlclient = False
        log("  quendsdk run --driver mysqldb: mysqlclient is not installed")
    for ref, why in refs.items():
        if why:
            log(f"  {REFERENCE_TITLES[ref]}: {why}")
    server = ms.MariaDBServer()
    db = server.start()
    cache_dir = tempfile.mkdtemp(prefix="tablora-scale-cache-")
    results, extra_lines = [], []
    try:
        with db.root_connect() as conn, conn.cursor() as cur:
            # The default 32 MiB pool would make the 10^6-row reads go to disk pages.
            cur.execute("SET GLOBAL innodb_buffer_pool_size = 512 * 1024 * 1024")
            cur.execute("SELECT VERSION()")
            version = cur.fetchone()[0]
        seed(db, WARM_DATABASE, 1, WARM_ROWS)
        base = {"host": db.host, "port": db.port, "user": db.user, "password": db.password,
                "cache_dir": cache_dir}
        for tables, rows in shapes:
            database = database_name(tables, rows)
            t0 = time.monotonic()
            seed(db, database, tables, rows)
            log(f"  {shape_name(tables, rows)}: seeded in {time.monotonic() - t0:.1f} s")
            reads = 1 if quick else min(5, max(1, SMALL_READ_ROWS // (tables * rows)))
            # The smoke run reads each shape once per child, after the imports.
            cfg = dict(base, database=database, tables=tables, rows=rows, reads=reads, warm_whole=not quick)
            got = None
            if not commands_only:
                sides = ["native", "bare"] + [r for r in REFERENCES if refs[r] is None]
                got = {side: [] for side in sides}
                for rep in range(reps):
                    order = sides if rep % 2 == 0 else sides[1::-1] + sides[:1:-1]
                    if quick and rep % 2:
                        order = order[:2]  # the smoke run reads the references once
                    for side in order:
                        got[side].append(_child(dict(cfg, side=side, kind="read")))
                    n, b = got["native"][-1], got["bare"][-1]
                    if (n["rows"], n["frames"]) != (b["rows"], b["frames"]) or n["rows"] != tables * rows:
                        raise RuntimeError(f"native and bare reads differ: {n} {b}")
                    log(f"    rep {rep}: native {n['wall_ns'] / 1e9:.2f} s, bare {b['wall_ns'] / 1e9:.2f} s"
                        + "".join(f", {s} {got[s][-1]['wall_ns'] / 1e9:.2f} s" for s in order[2:]))
                if in_process:
                    inproc = _child(dict(cfg, side="both", kind="in-process", reps=reps))
                    extra_lines.append(
                        f"{shape_name(tables, rows)} in one process, {reps} reps alternating: native / bare"
                        f" time {_spread(_ratios(inproc, 'native', 'bare', 'wall_ns'))},"
                        f" CPU {_spread(_ratios(inproc, 'native', 'bare', 'cpu_ns'))},"
                        f" page faults {_spread(_ratios(inproc, 'native', 'bare', 'faults'))};"
                        f" native {median([g['wall_ns'] for g in inproc['native']]) / 1e9:.2f} s,"
                        f" bare {median([g['wall_ns'] for g in inproc['bare']]) / 1e9:.2f} s")
                    log("    " + extra_lines[-1])
            commands = {}
            if have_mysqlclient and (quick or tables * rows >= 10**6):
                commands = {d: [] for d in RUN_DRIVERS}
                for rep in range(reps):
                    for driver in (RUN_DRIVERS if rep % 2 == 0 else RUN_DRIVERS[::-1]):
                        commands[driver].append(_child(dict(cfg, side=f"run {driver}",
                                                            kind="command", driver=driver)))
                    log(f"    rep {rep}: run --driver pymysql {commands['pymysql'][-1]['wall_ns'] / 1e9:.2f} s,"
                        f" mysqldb {commands['mysqldb'][-1]['wall_ns'] / 1e9:.2f} s")
            cache = None if commands_only else _child(dict(
                cfg, side="native", kind="cache", reps=cache_reps,
                rep_ns=CACHE_REP_NS / (3 if quick else 1)))
            drop(db, database)
            remove(os.path.join(cache_dir, f"{database}-native.pkl"))
            remove(os.path.join(cache_dir, f"{database}-bare.pkl"))
            results.append((tables, rows, got, cache, commands))
        return report(results, refs) + ([""] + extra_lines if extra_lines else []), version
    finally:
        shutil.rmtree(cache_dir, ignore_errors=True)
        server.stop()


RUN_DRIVERS = ("pymysql", "mysqldb")


def run_command(cfg, driver):
    """Wall time of one `quendsdk run --driver DRIVER` of cfg's database in a fresh
    process, the cache rewritten."""
    command = os.path.join(os.path.dirname(sys.executable), "quendsdk")
    cache_dir = tempfile.mkdtemp(prefix="tablora-run-", dir=cfg["cache_dir"])
    env = dict(os.environ, TABLORA_PASSWORD=cfg["password"])
    argv = [command, "run", "--no-defaults", "-h", f"{cfg['host']}:{cfg['port']}", "-u", cfg["user"],
            "-D", cfg["database"], "--driver", driver, "--refresh", "--no-schemas", "-q",
            "--cache-path", cache_dir]
    try:
        t0 = time.perf_counter_ns()
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        _, err = proc.communicate()
        wall = time.perf_counter_ns() - t0
    finally:
        shutil.rmtree(cache_dir, ignore_errors=True)
    if proc.returncode != 0:
        raise RuntimeError(f"quendsdk run --driver {driver} failed: {err.decode()[-300:]}")
    return wall


def run_command_child(cfg):
    """Times the command from a child, whose rusage of its children is the command's alone."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = run_command(cfg, cfg["driver"])
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1e9
    return {"wall_ns": wall, "cpu_ns": cpu, "peak_kib": after.ru_maxrss}


def _ratios(got, side, base, key):
    return [a[key] / b[key] for a, b in zip(got[side], got[base]) if a[key] and b[key]]


def _table(head, rows):
    widths = [max(len(str(r[i])) for r in [head] + rows) for i in range(len(head))]
    lines = ["| " + " | ".join(str(c).ljust(w) for c, w in zip(head, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += ["| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |" for r in rows]
    return lines


def report(results, refs):
    if any(got is None for _, _, got, _, _ in results):
        return report_commands(results)
    return report_reads(results, refs) + report_commands(results)


def report_reads(results, refs):
    lines = ["5 prepare_data() at scale, each read in a fresh process; ratios native / bare loop"
             " (median, min-max)", ""]
    rows = []
    for tables, rows_per_table, got, _, _ in results:
        wall = median([g["wall_ns"] for g in got["native"]])
        peak = [g["peak_kib"] for g in got["native"] if g["peak_kib"]]
        rows.append((shape_name(tables, rows_per_table), f"{wall / 1e9:.2f} s",
                     f"{tables * rows_per_table / (wall / 1e9):,.0f}",
                     _spread(_ratios(got, "native", "bare", "wall_ns")),
                     _spread(_ratios(got, "native", "bare", "cpu_ns")),
                     _spread(_ratios(got, "native", "bare", "peak_kib")) if peak else "-",
                     fmt_kib(median(peak)) if peak else "-",
                     _spread(_ratios(got, "native", "bare", "faults")), len(got["native"])))
    lines += _table(("tables x rows", "prepare_data", "rows/s", "time", "client CPU", "peak RSS",
                     "native peak", "page faults", "n"), rows)
    lines += ["", "5 cache: prepare_data() from the cache / bare pickle.load of the same file", ""]
    rows = []
    for tables, rows_per_table, got, cache, _ in results:
        ratios = [a / b for a, b in zip(cache["native_ns"], cache["bare_ns"])]
        load = median(cache["native_ns"])
        wall = median([g["wall_ns"] for g in got["native"]])
        rows.append((shape_name(tables, rows_per_table), f"{cache['size'] / 2**20:.1f} MiB",
                     f"{load / 1e6:.1f} ms", _spread(ratios), f"{wall / load:.0f}x",
                     f"{len(ratios)} x {cache['loads']}"))
    lines += _table(("tables x rows", "file", "load", "ratio", "faster than the database",
                     "reps x loads"), rows)
    lines += ["", "5 references: the same rows read by other libraries, time / prepare_data() time"
              " (median of per-repetition ratios; seconds)", ""]
    rows = []
    for tables, rows_per_table, got, _, _ in results:
        cells = [shape_name(tables, rows_per_table)]
        for ref in REFERENCES:
            if refs[ref] is not None:
                cells.append("-")
                continue
            r = _ratios(dict(got, native=got["native"][:len(got[ref])]), ref, "native", "wall_ns")
            cells.append(f"{median(r):.3f} ({median([g['wall_ns'] for g in got[ref]]) / 1e9:.2f} s)")
        rows.append(tuple(cells))
    lines += _table(("tables x rows",) + tuple(REFERENCE_TITLES[r] for r in REFERENCES), rows)
    for ref in REFERENCES:
        if refs[ref] is not None:
            lines.append(f"{REFERENCE_TITLES[ref]}: {refs[ref]}")
    return lines


def report_commands(results):
    lines = []
    measured = [(t, r, c) for t, r, _, _, c in results if c]
    if measured:
        lines += ["", "5 run: the whole `quendsdk run --refresh` in a fresh process, per driver;"
                  " mysqldb / pymysql (median, min-max)", ""]
        rows = []
        for tables, rows_per_table, c in measured:
            p, m = c["pymysql"], c["mysqldb"]
            rows.append((shape_name(tables, rows_per_table),
                         f"{median([g['wall_ns'] for g in p]) / 1e9:.2f} s",
                         f"{median([g['wall_ns'] for g in m]) / 1e9:.2f} s",
                         _spread([a["wall_ns"] / b["wall_ns"] for a, b in zip(m, p)]),
                         _spread([a["cpu_ns"] / b["cpu_ns"] for a, b in zip(m, p)]),
                         _spread([a["peak_kib"] / b["peak_kib"] for a, b in zip(m, p)]),
                         f"{fmt_kib(median([g['peak_kib'] for g in p]))} / "
                         f"{fmt_kib(median([g['peak_kib'] for g in m]))}", len(p)))
        lines += _table(("tables x rows", "pymysql", "mysqldb", "time", "client CPU", "peak RSS",
                         "peak RSS pymysql / mysqldb", "n"), rows)
    return lines


def main():
    import argparse
    ap = argparse.ArgumentParser(description="Some shapes of the scale series alone.")
    ap.add_argument("shapes", nargs="*", metavar="TABLESxROWS", help="e.g. 1x1000000 (default: all)")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--cache-reps", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-references", action="store_true")
    ap.add_argument("--commands-only", action="store_true",
                    help="only the whole `quendsdk run` per driver (needs mysqlclient)")
    ap.add_argument("--in-process", action="store_true",
                    help="also time both sides alternating inside one process, as figure 2 does")
    args = ap.parse_args()
    shapes = [tuple(int(x) for x in s.split("x")) for s in args.shapes] or None
    load = os.getloadavg()[0]
    lines, version = run(args.reps, args.cache_reps, args.quick, lambda m: print(m, file=sys.stderr, flush=True),
                         shapes, not args.no_references, args.in_process, args.commands_only)
    print(f"MariaDB {version}; Python {sys.version.split()[0]}; load average {load:.2f} at start,"
          f" {os.getloadavg()[0]:.2f} at end")
    print("\n".join(lines))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "child":
        config = json.loads(sys.argv[2])
        kinds = {"cache": cache_child, "read": read_child, "in-process": in_process_child,
                 "command": run_command_child}
        out = kinds[config["kind"]](config)
        print(json.dumps(out))
    else:
        main()
