"""Command line front end: `python -m quendsdk demo|run`.

The extension, SQLAlchemy and pandas are imported only when a command needs
them, so `--help` is quick and importing this module leaves quendsdk.tablora
unimported.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import os
import signal
import sys
import tempfile
import time
from collections.abc import Iterator
from types import FrameType
from typing import Any

PROG = "python -m quendsdk"
DEFAULT_CACHE_FILE = "db_cache.pkl"

# MySQL client/server error numbers (e.orig.args[0] of a PyMySQL error).
ER_DBACCESS_DENIED = 1044
ER_ACCESS_DENIED = 1045
ER_BAD_DB = 1049
CR_CONN_HOST_ERROR = 2003


class UserError(Exception):
    """A problem the user can fix; its text is shown as it stands."""


class Terminated(SystemExit):
    """Raised from the SIGTERM handler so that cleanup code runs."""


def _one_line(text: object) -> str:
    return " ".join(str(text).split())


def _out(*parts: object) -> None:
    print(*parts, flush=True)


def describe_error(exc: BaseException, host: str = "?", user: str = "?",
                   database: str = "?") -> str:
    """The one line shown for an error, without the "error: " prefix."""
    if isinstance(exc, UserError):
        return _one_line(exc)
    orig = getattr(exc, "orig", None)
    code = None
    server_text = ""
    if orig is not None and getattr(orig, "args", None):
        if isinstance(orig.args[0], int):
            code = orig.args[0]
            server_text = _one_line(orig.args[1]) if len(orig.args) > 1 else ""
    if code is not None and _is_operational_error(exc):
        if code == CR_CONN_HOST_ERROR:
            return (f"cannot reach a MySQL server at {host}; is it running, and are host "
                    f"and port right? ({server_text})")
        if code == ER_ACCESS_DENIED:
            return (f"access denied for user {user!r} at {host}: wrong user name or "
                    f"password ({server_text})")
        if code == ER_DBACCESS_DENIED:
            return (f"access denied: user {user!r} may not use database {database!r}, or it "
                    f"does not exist ({server_text})")
        if code == ER_BAD_DB:
            return f"unknown database {database!r} on {host} ({server_text})"
    # SQLAlchemy's own text adds a "Background on this error" link; the driver's is enough.
    text = orig if orig is not None else exc
    return f"{type(exc).__name__}: {_one_line(text)}"


def _is_operational_error(exc: BaseException) -> bool:
    try:
        from sqlalchemy.exc import OperationalError
    except ImportError:
        return False
    return isinstance(exc, OperationalError)


# -- running the tool ------------------------------------------------------------

def _stat_key(path: str) -> tuple[int, int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _summarise(frames: Any, cache_full_path: str) -> None:
    if not isinstance(frames, list):
        raise UserError(f"cache file {cache_full_path!r} does not hold a list of data frames; "
                        "delete it to read the database again")
    for df in frames:
        shape = getattr(df, "shape", None)
        name = getattr(df, "name", "?")
        if shape is None:
            _out(f"    {name}: not a data frame ({type(df).__name__})")
        else:
            _out(f"    {name}: {shape[0]} rows, {shape[1]} columns")


def _timed_prepare(tool: Any, cache_full_path: str) -> Any:
    before = _stat_key(cache_full_path)
    t0 = time.perf_counter()
    frames = tool.prepare_data()
    elapsed = time.perf_counter() - t0
    after = _stat_key(cache_full_path)
    if before is not None and before == after:
        source = f"from the cache {cache_full_path}"
    else:
        source = f"from the database; cache written to {cache_full_path}"
    _summarise(frames, cache_full_path)
    count = len(frames) if isinstance(frames, list) else 0
    _out(f"    {count} frames in {elapsed:.3f} s ({source})")
    return frames


def run_tool(host: str, user: str, password: str, database: str, cache_path: str,
             cache_file: str, schemas: bool = True, again_from_cache: bool = False,
             show_password: bool = False) -> None:
    """Construct, connect, print schemas, prepare data (and again, from the cache)."""
    if not os.path.isdir(cache_path):
        raise UserError(f"cache directory {cache_path!r} does not exist")
    from quendsdk.tablora import MySQLDatabaseTablora
    from sqlalchemy.engine import make_url

    _out(f"==> MySQLDatabaseTablora(username={user!r}, password=<hidden>, host={host!r}, "
         f"database={database!r}, cache_path={cache_path!r}, cache_file={cache_file!r})")
    tool = MySQLDatabaseTablora(user, password, host, database, cache_path, cache_file)
    shown = tool.connection_string
    if not show_password:
        try:
            shown = make_url(shown).render_as_string(hide_password=True)
        except Exception:  # an odd URL is for connect() to report
            shown = "(not shown)"
    _out(f"    connection_string: {shown}")

    _out("==> connect()")
    tool.connect()

    if schemas:
        _out("==> print_table_schemas()")
        tool.print_table_schemas()
        sys.stdout.flush()

    cache_full_path = os.path.join(cache_path, cache_file)
    _out("==> prepare_data()")
    frames = _timed_prepare(tool, cache_full_path)
    for df in frames if isinstance(frames, list) else []:
        if getattr(df, "name", None) == "users" and "name" in getattr(df, "columns", ()):
            _out(f"    users frame: .name = {df.name!r}, attrs['name'] = "
                 f"{df.attrs.get('name')!r}, column 'name' starts {list(df['name'][:2])!r}")
    if again_from_cache:
        _out("==> prepare_data() again")
        _timed_prepare(tool, cache_full_path)


# -- commands -----------------------------------------------------------------------

def _required(value: str | None, option: str, env: str,
              parser: argparse.ArgumentParser) -> str:
    if not value:
        parser.error(f"{option} is required (or set {env})")
    return value


def _have_terminal() -> bool:
    try:
        with open("/dev/tty", "rb"):
            return True
    except OSError:
        return False


def _read_password(user: str, host: str) -> str:
    password = os.environ.get("TABLORA_PASSWORD")
    if password is not None:
        return password
    no_password = UserError("no password given: set TABLORA_PASSWORD or type it at the prompt")
    if not _have_terminal():
        # No terminal to prompt on: take one line from stdin, if any.
        line = sys.stdin.readline() if sys.stdin is not None else ""
        if not line:
            raise no_password
        return line.rstrip("\r\n")
    try:
        return getpass.getpass(f"Password for {user} at {host}: ")
    except EOFError:
        print(file=sys.stderr)  # the prompt left the cursor mid-line
        raise no_password from None


def _check_host(host: str, parser: argparse.ArgumentParser) -> None:
    if host.startswith("["):  # [IPv6]:port
        return
    name, colon, port = host.rpartition(":")
    if colon and not (name and port.isdigit()):
        parser.error(f"--host {host!r}: expected HOST or HOST:PORT with a numeric port")


def cmd_run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    host = _required(args.host, "--host", "TABLORA_HOST", parser)
    _check_host(host, parser)
    user = _required(args.user, "--user", "TABLORA_USER", parser)
    database = _required(args.database, "--database", "TABLORA_DATABASE", parser)
    args.error_context = (host, user, database)
    password = _read_password(user, host)
    if not password:
        raise UserError("the password is empty; the tool needs a non-empty password")
    run_tool(host, user, password, database, args.cache_path, args.cache_file,
             schemas=args.schemas)
    return 0


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    # One shot: a second SIGTERM must not cut the cleanup short.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated(128 + signum)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ignore SIGINT/SIGTERM while cleaning up (main thread only)."""
    saved = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, handler in saved.items():
            signal.signal(s, handler)


def cmd_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from quendsdk import _demo
    from quendsdk._local_mariadb import LocalMariaDB

    if args.rows < 0:
        parser.error("--rows must not be negative")
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    server = LocalMariaDB()
    try:
        _out("==> starting a throwaway MariaDB server")
        t0 = time.perf_counter()
        server.start()
        _out(f"    mariadbd pid {server.pid} at {server.host_text}, files in {server.tmp_dir} "
             f"(up in {time.perf_counter() - t0:.1f} s)")
        counts = _demo.seed(server, args.rows)
        password = _demo.make_password()
        server.create_user(_demo.LOGIN_USER, password, databases=[_demo.DATABASE],
                           privileges="SELECT")
        _out(f"    seeded database {_demo.DATABASE}: "
             + ", ".join(f"{t} ({n} rows)" for t, n in counts.items()))
        _out(f"    login user {_demo.LOGIN_USER!r}, password {password!r}")
        args.error_context = (server.host_text, _demo.LOGIN_USER, _demo.DATABASE)
        with tempfile.TemporaryDirectory(prefix="tablora-cache-") as cache_dir:
            _out(f"    cache directory {cache_dir}")
            run_tool(server.host_text, _demo.LOGIN_USER, password, _demo.DATABASE, cache_dir,
                     DEFAULT_CACHE_FILE, schemas=True, again_from_cache=True,
                     show_password=True)
    finally:
        with _signals_held():
            server.stop()
            _out("==> server stopped, temporary files removed")
        signal.signal(signal.SIGTERM, previous)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read every table of a MySQL/MariaDB database into pandas data frames "
                    "with quendsdk.tablora.MySQLDatabaseTablora (pickle cache included).")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser(
        "demo", help="start a throwaway MariaDB, seed sample data and run the tool on it",
        description="Start a throwaway local MariaDB server (temp datadir, free port), seed a "
                    "sample database, run the tool end to end (connect, schemas, data from "
                    "the database, then from the cache), and remove everything again.")
    demo.add_argument("--rows", type=int, default=5000,
                      help="rows in the sample orders table (default: %(default)s)")
    demo.set_defaults(func=cmd_demo, parser=demo)

    run = sub.add_parser(
        "run", help="run the tool against your own server",
        description="Connect to your own server, print the table schemas and read every "
                    "table. The password comes from TABLORA_PASSWORD or a prompt. "
                    "The cache never expires: delete the cache file to read the database "
                    "again. It is a pickle, so only use cache files you wrote yourself.")
    run.add_argument("--host", default=os.environ.get("TABLORA_HOST"),
                     help="server host, optionally host:port (env TABLORA_HOST)")
    run.add_argument("--user", default=os.environ.get("TABLORA_USER"),
                     help="login user (env TABLORA_USER)")
    run.add_argument("--database", default=os.environ.get("TABLORA_DATABASE"),
                     help="database name (env TABLORA_DATABASE)")
    run.add_argument("--cache-path", default=".",
                     help="directory of the cache file (default: %(default)s)")
    run.add_argument("--cache-file", default=DEFAULT_CACHE_FILE,
                     help="name of the cache file (default: %(default)s)")
    run.add_argument("--schemas", action=argparse.BooleanOptionalAction, default=True,
                     help="print the table schemas first (default: yes)")
    run.set_defaults(func=cmd_run, parser=run)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.error_context = ("?", "?", "?")
    with contextlib.suppress(AttributeError, ValueError):
        # Keep our lines and the tool's printed schema in order when piped.
        sys.stdout.reconfigure(line_buffering=True)  # type: ignore[union-attr]
    try:
        return int(args.func(args, args.parser))
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except Terminated as exc:
        print("error: terminated (SIGTERM)", file=sys.stderr)
        return int(exc.code or 143)
    except Exception as exc:
        print(f"error: {describe_error(exc, *args.error_context)}", file=sys.stderr)
        log = getattr(exc, "log", "")
        for line in log.splitlines()[-8:]:
            print(f"    mariadbd: {line}", file=sys.stderr)
        return 1
