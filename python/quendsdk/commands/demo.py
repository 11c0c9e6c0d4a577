"""`quendsdk demo`: a throwaway MariaDB with a sample database, the tool run on it step
by step, and everything removed again, however the command ends.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time

from quendsdk.cli import connection, reading, signals
from quendsdk.cli.base import EXIT_OK, Command, Session
from quendsdk.cli.cache_store import TOOL_CACHE_FILE
from quendsdk.cli.errors import UsageError
from quendsdk.cli.progress import Watch, wanted


class DemoCommand(Command):
    name = "demo"
    summary = "start a throwaway MariaDB, seed sample data and run the tool on it"
    description = ("Start a throwaway local MariaDB server (temp datadir, free port), seed a "
                   "sample database, run the tool end to end (connect, schemas, data from "
                   "the database, then from the cache), and remove everything again.")

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("--rows", type=int, default=5000,
                            help="rows in the sample orders table (default: %(default)s)")

    def run(self, args: argparse.Namespace, session: Session) -> int:
        from quendsdk import sample_database
        from quendsdk._local_mariadb import LocalMariaDB

        if args.rows < 0:
            raise UsageError("--rows must not be negative")
        # Showing the steps is what the demo is for.
        out = session.output
        out.verbose = True
        server = LocalMariaDB()
        watch = Watch(out, show_progress=wanted(args))
        cache_dir: str | None = None
        try:
            out.line("==> starting a throwaway MariaDB server")
            t0 = time.perf_counter()
            server.start()
            out.line(f"    mariadbd pid {server.pid} at {server.host_text}, files in "
                     f"{server.tmp_dir} (up in {time.perf_counter() - t0:.1f} s)")
            counts = sample_database.seed(server, args.rows)
            password = sample_database.make_password()
            server.create_user(sample_database.LOGIN_USER, password,
                               databases=[sample_database.DATABASE], privileges="SELECT")
            out.line(f"    seeded database {sample_database.DATABASE}: "
                     + ", ".join(f"{t} ({n} rows)" for t, n in counts.items()))
            out.line(f"    login user {sample_database.LOGIN_USER!r} with a generated "
                     "password (not shown)")
            session.about(server.host_text, sample_database.LOGIN_USER, sample_database.DATABASE)
            cache_dir = tempfile.mkdtemp(prefix="tablora-cache-")
            out.line(f"    cache directory {cache_dir}")
            with watch.watching(connection.tablora()):
                _run_tool(session, watch, server.host_text, password, cache_dir)
        finally:
            signals.HELD.append(None)  # first: a second stop must not skip the cleanup
            try:
                watch.report()
                if cache_dir is not None:
                    shutil.rmtree(cache_dir, ignore_errors=True)
                tmp_dir = server.tmp_dir
                server.stop()
                if tmp_dir is not None and os.path.exists(tmp_dir):
                    out.line(f"==> server stopped; could not remove {tmp_dir}")
                else:
                    out.line("==> server stopped, temporary files removed")
            finally:
                signals.HELD.pop()
        return EXIT_OK


def _run_tool(session: Session, watch: Watch, host: str, password: str,
              cache_dir: str) -> None:
    from quendsdk import sample_database

    out = session.output
    cache_full_path = os.path.join(cache_dir, TOOL_CACHE_FILE)
    target = connection.Target(user=sample_database.LOGIN_USER, host=host, port=None,
                               socket=None, database=sample_database.DATABASE,
                               password=password, ask_password=False)
    out.line(reading.constructor_line(target, cache_dir, TOOL_CACHE_FILE, "<hidden>"))
    tool = connection.make_tool(target, password, cache_dir, TOOL_CACHE_FILE)
    reading.connect(tool, session, schemas=True)
    for attempt in ("prepare_data()", "prepare_data() again"):
        existed = os.path.exists(cache_full_path)
        out.line(f"==> {attempt}")
        t0 = time.perf_counter()
        with watch.reading(None):
            frames = tool.prepare_data()
        result = reading.Result(reading.check_frames(frames, cache_full_path),
                                time.perf_counter() - t0, not existed, cache_full_path,
                                0.0 if existed else None,
                                size=os.path.getsize(cache_full_path))
        reading.summarise(session, result)
        if attempt == "prepare_data()":
            for df in frames:
                if getattr(df, "name", None) == "users" and "name" in df.columns:
                    out.line(f"    users frame: .name = {df.name!r}, attrs['name'] = "
                             f"{df.attrs.get('name')!r}, column 'name' starts "
                             f"{list(df['name'][:2])!r}")
