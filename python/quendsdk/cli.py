"""Command line front end: `python -m quendsdk demo|run`.

The extension, SQLAlchemy and pandas are imported only when a command needs
them, so `--help` is quick and importing this module leaves quendsdk.tablora
unimported.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import logging
import os
import signal
import sys
import tempfile
import time
from collections.abc import Iterator
from types import FrameType
from typing import Any

from quendsdk import _cache
from quendsdk._watch import Observer

PROG = "python -m quendsdk"
DISTRIBUTION = "quendsdk-tablora"
TOOL_CACHE_FILE = "db_cache.pkl"  # the tool's own default
DEFAULT_PORT = 3306
# Shell conventions for a run ended by SIGPIPE (a reader such as `head` left).
EXIT_BROKEN_PIPE = 141

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


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


# -- stdout, signals and what ended a command ----------------------------------------

# Set once the reader of stdout has gone; later output goes to /dev/null.
_stdout_gone = False
# SIGINT/SIGTERM received during the command. Libraries may turn the exception
# into another one (SQLAlchemy: PendingRollbackError) or drop it from the chain.
_signals_received: list[int] = []


def _silence_stdout() -> None:
    global _stdout_gone
    _stdout_gone = True
    with contextlib.suppress(OSError, ValueError, AttributeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _stdout_broken() -> bool:
    """Whether stdout's reader has gone (silencing it if so)."""
    if not _stdout_gone:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
        except (OSError, ValueError, AttributeError):
            pass
    return _stdout_gone


def _out(*parts: object) -> None:
    try:
        print(*parts, flush=True)
    except BrokenPipeError:
        _silence_stdout()
        raise


def _on_sigint(signum: int, frame: FrameType | None) -> None:
    _signals_received.append(signum)
    raise KeyboardInterrupt


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    _signals_received.append(signum)
    # One shot: a second SIGTERM must not cut the cleanup short.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated(128 + signum)


@contextlib.contextmanager
def _handlers(handlers: dict[int, Any]) -> Iterator[None]:
    """Install signal handlers for the block (main thread only: elsewhere a no-op)."""
    try:
        saved = {s: signal.signal(s, h) for s, h in handlers.items()}
    except ValueError:
        saved = {}
    try:
        yield
    finally:
        for s, handler in saved.items():
            signal.signal(s, handler)


def _signals_held() -> contextlib.AbstractContextManager[None]:
    """SIGINT/SIGTERM ignored, for cleanup that must run to its end."""
    return _handlers({signal.SIGINT: signal.SIG_IGN, signal.SIGTERM: signal.SIG_IGN})


def _exception_chain(exc: BaseException) -> Iterator[BaseException]:
    todo: list[BaseException | None] = [exc]
    seen: set[int] = set()
    while todo:
        e = todo.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        yield e
        todo += [e.__cause__, None if e.__suppress_context__ else e.__context__]


def _stop_signal(exc: BaseException) -> int | None:
    """SIGINT or SIGTERM, if one of them ended the command."""
    if _signals_received:
        return _signals_received[0]
    for e in _exception_chain(exc):
        if isinstance(e, Terminated):
            return signal.SIGTERM
        if isinstance(e, KeyboardInterrupt):
            return signal.SIGINT
    return None


class _QuietAfterStop(logging.Filter):
    """Drops the tool's record of an error that only follows from a stop.

    After Ctrl-C, SIGTERM or a closed pipe, the tool logs the exception that
    stop caused ("Error fetching tables: Can't reconnect ..."): it misleads.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        if _signals_received:
            return False
        return not (isinstance(sys.exc_info()[1], BrokenPipeError) and _stdout_broken())


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


# -- the tool's steps ----------------------------------------------------------------

def _tablora() -> Any:
    import quendsdk.tablora

    return quendsdk.tablora


def _construct(user: str, password: str, host: str, database: str, cache_path: str,
               cache_file: str, password_shown: str = "<hidden>",
               cache_shown: str | None = None) -> Any:
    # The cache the user asked for is shown, not the temporary name written first.
    shown_path, shown_file = os.path.split(cache_shown) if cache_shown else (cache_path, cache_file)
    _out(f"==> MySQLDatabaseTablora(username={user!r}, password={password_shown}, "
         f"host={host!r}, database={database!r}, cache_path={shown_path!r}, "
         f"cache_file={shown_file!r})")
    if cache_shown:
        _out(f"    the cache is written as {cache_file} first and renamed when the read succeeds")
    return _tablora().MySQLDatabaseTablora(user, password, host, database, cache_path,
                                           cache_file)


def _connect(tool: Any, schemas: bool, show_password: bool = False) -> None:
    from sqlalchemy.engine import make_url

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


def _stat_key(path: str) -> tuple[int, int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _check_frames(frames: Any, cache_full_path: str) -> list[Any]:
    """The frames, or a UserError: a cache may hold anything at all."""
    import pandas

    if isinstance(frames, list):
        odd = next((f for f in frames if not isinstance(f, pandas.DataFrame)), None)
        if odd is None:
            return frames
        held = f"a list with an item of type {type(odd).__name__}"
    else:
        held = f"an object of type {type(frames).__name__}"
    raise UserError(f"cache file {cache_full_path!r} does not hold a list of data frames "
                    f"(it holds {held}); delete it or run with --refresh")


def _prepare(tool: Any, observer: Observer, written_path: str) -> tuple[list[Any], float, bool]:
    """tool.prepare_data(): (frames, seconds, whether the database was read)."""
    before = _stat_key(written_path)
    t0 = time.perf_counter()
    with observer.reading(tool.engine):
        frames = tool.prepare_data()
    elapsed = time.perf_counter() - t0
    from_database = before is None or before != _stat_key(written_path)
    return frames, elapsed, from_database


def _summarise(frames: list[Any], elapsed: float, source: str) -> None:
    for df in frames:
        rows, columns = df.shape
        _out(f"    {getattr(df, 'name', '?')}: {_plural(rows, 'row')}, "
             f"{_plural(columns, 'column')}")
    _out(f"    {_plural(len(frames), 'frame')} in {elapsed:.3f} s ({source})")


def _source(from_database: bool, cache_full_path: str) -> str:
    if from_database:
        return f"from the database; cache written to {cache_full_path}"
    return f"from the cache {cache_full_path}"


# -- run -----------------------------------------------------------------------------

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
    if not _have_terminal():
        # No terminal to prompt on: take one line from stdin, if any.
        line = sys.stdin.readline() if sys.stdin is not None else ""
        if not line:
            raise UserError("no password given: set TABLORA_PASSWORD or pass it on "
                            "standard input")
        return line.rstrip("\r\n")
    try:
        return getpass.getpass(f"Password for {user} at {host}: ")
    except EOFError:
        print(file=sys.stderr)  # the prompt left the cursor mid-line
        raise UserError("no password given: set TABLORA_PASSWORD or type it at the "
                        "prompt") from None
    except KeyboardInterrupt:
        print(file=sys.stderr)
        raise


# Characters that would change what the connection URL says, outside credentials.
_URL_SYNTAX = set("/@?#[]%") | {chr(c) for c in range(33)}


def _check_host(host: str, parser: argparse.ArgumentParser) -> None:
    """HOST, HOST:PORT or [IPv6]:PORT, port 1-65535; usage error otherwise."""
    if host.startswith("["):
        name, bracket, rest = host[1:].partition("]")
        colon, port = rest[:1], rest[1:]
        ok = bool(bracket and name) and set(name) <= set("0123456789abcdefABCDEF:.") \
            and rest in ("", f":{port}")
    else:
        name, colon, port = host.partition(":")
        ok = bool(name) and not (set(name) & (_URL_SYNTAX | {":"})) and ":" not in port
    if colon:
        ok = ok and port.isascii() and port.isdigit() and 1 <= int(port) <= 65535
    if not ok:
        parser.error(f"--host {host!r}: expected HOST or HOST:PORT with a port from 1 to "
                     "65535 ([ADDRESS]:PORT for IPv6)")


def _connection_key(user: str, host: str, database: str) -> tuple[str, str, int, str]:
    """(user, host, port, database) as the tool's own URL reads them."""
    from sqlalchemy.engine import make_url

    probe = _tablora().MySQLDatabaseTablora(user, "unused", host, database)
    url = make_url(probe.connection_string)
    return (url.username or "", url.host or "", url.port or DEFAULT_PORT, url.database or "")


def _cache_file_for(args: argparse.Namespace, key: tuple[str, str, int, str]) -> str:
    """The connection's own file in the private directory, unless told otherwise.

    Either option puts the cache where the tool itself would: --cache-path
    (default ".") joined with --cache-file (default "db_cache.pkl").
    """
    if args.cache_path is None and args.cache_file is None:
        directory = _cache.default_directory()
        problem = _cache.make_private_directory(directory)
        if problem:
            raise UserError(problem)
        return os.path.abspath(os.path.join(directory, _cache.file_name(*key)))
    return os.path.abspath(os.path.join(args.cache_path or ".",
                                        args.cache_file or TOOL_CACHE_FILE))


def _check_cache_location(cache_full_path: str, writable: bool) -> None:
    problem = _cache.location_problem(cache_full_path, writable)
    if problem:
        raise UserError(problem)


def _serve_cache(user: str, host: str, database: str, cache_full_path: str,
                 observer: Observer) -> tuple[list[Any], float] | None:
    """The frames in the cache, read without connecting; None if it did not load."""
    directory, name = os.path.split(cache_full_path)
    tool = _construct(user, "unused", host, database, directory, name,
                      password_shown="<not needed>")
    _out("==> prepare_data() from the cache, without connecting (--refresh reads the "
         "database)")
    try:
        frames, elapsed, _ = _prepare(tool, observer, cache_full_path)
    except ConnectionError:
        # It failed to load (the tool logged why) and there is no engine.
        _out("    the cache did not load; reading the database instead")
        return None
    except (KeyboardInterrupt, SystemExit) as exc:
        if _signals_received:
            raise
        # Raised by the pickle itself, not by a signal. One that exec()s code
        # raising KeyboardInterrupt leaves CPython's "unhandled interrupt" flag
        # set, and `python -m` would end by SIGINT; any exec() of a string clears it.
        exec("pass", {})
        raise UserError(f"cache file {cache_full_path!r} could not be loaded: it raised "
                        f"{type(exc).__name__}; delete it or run with --refresh") from None
    return _check_frames(frames, cache_full_path), elapsed


def cmd_run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    host = _required(args.host, "--host", "TABLORA_HOST", parser)
    _check_host(host, parser)
    user = _required(args.user, "--user", "TABLORA_USER", parser)
    database = _required(args.database, "--database", "TABLORA_DATABASE", parser)
    if "?" in database:  # the tool puts the name into its URL as it stands
        parser.error(f"--database {database!r}: a '?' would start driver options in the "
                     "connection URL")
    args.error_context = (host, user, database)
    observer = Observer(show_progress=_progress_wanted(args))
    try:
        with observer.watching(_tablora()):
            _run(args, host, user, database, observer)
    finally:
        observer.report()
    return 0


def _run(args: argparse.Namespace, host: str, user: str, database: str,
         observer: Observer) -> None:
    if not args.data:
        password = _read_nonempty_password(user, host)
        tool = _construct(user, password, host, database, ".", TOOL_CACHE_FILE)
        _connect(tool, args.schemas)
        _out("    no data read (--no-data)")
        return
    cache_full_path = _cache_file_for(args, _connection_key(user, host, database))
    _check_cache_location(cache_full_path, writable=False)
    if not args.refresh and os.path.exists(cache_full_path):
        served = _serve_cache(user, host, database, cache_full_path, observer)
        if served is not None:
            if args.schemas:
                _out("    schemas: printed only when the database is read (--refresh)")
            _summarise(*served, _source(False, cache_full_path))
            return
    # Checked before the read, which would only find out after reading everything.
    _check_cache_location(cache_full_path, writable=True)
    password = _read_nonempty_password(user, host)
    with _cache.replacement(cache_full_path) as partial:
        tool = _construct(user, password, host, database, *os.path.split(partial),
                          cache_shown=cache_full_path)
        _connect(tool, args.schemas)
        _out("==> prepare_data()")
        frames, elapsed, _ = _prepare(tool, observer, partial)
    _summarise(frames, elapsed, _source(True, cache_full_path))


def _read_nonempty_password(user: str, host: str) -> str:
    password = _read_password(user, host)
    if not password:
        raise UserError("the password is empty; the tool needs a non-empty password")
    return password


def _progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr is not None and sys.stderr.isatty()


# -- demo ----------------------------------------------------------------------------

def cmd_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from quendsdk import _demo
    from quendsdk._local_mariadb import LocalMariaDB

    if args.rows < 0:
        parser.error("--rows must not be negative")
    server = LocalMariaDB()
    observer = Observer(show_progress=_progress_wanted(args))
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
        with tempfile.TemporaryDirectory(prefix="tablora-cache-") as cache_dir, \
                observer.watching(_tablora()):
            _out(f"    cache directory {cache_dir}")
            _demo_tool(server.host_text, password, cache_dir, observer)
    finally:
        observer.report()
        with _signals_held():
            tmp_dir = server.tmp_dir
            server.stop()
            if tmp_dir is not None and os.path.exists(tmp_dir):
                _out(f"==> server stopped; could not remove {tmp_dir}")
            else:
                _out("==> server stopped, temporary files removed")
    return 0


def _demo_tool(host: str, password: str, cache_dir: str, observer: Observer) -> None:
    from quendsdk import _demo

    cache_full_path = os.path.join(cache_dir, TOOL_CACHE_FILE)
    tool = _construct(_demo.LOGIN_USER, password, host, _demo.DATABASE, cache_dir,
                      TOOL_CACHE_FILE)
    _connect(tool, schemas=True, show_password=True)
    _out("==> prepare_data()")
    frames, elapsed, from_database = _prepare(tool, observer, cache_full_path)
    _summarise(_check_frames(frames, cache_full_path), elapsed,
               _source(from_database, cache_full_path))
    for df in frames:
        if getattr(df, "name", None) == "users" and "name" in df.columns:
            _out(f"    users frame: .name = {df.name!r}, attrs['name'] = "
                 f"{df.attrs.get('name')!r}, column 'name' starts {list(df['name'][:2])!r}")
    _out("==> prepare_data() again")
    frames, elapsed, from_database = _prepare(tool, observer, cache_full_path)
    _summarise(_check_frames(frames, cache_full_path), elapsed,
               _source(from_database, cache_full_path))


# -- parser and main -----------------------------------------------------------------

def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "(version unknown: not installed)"


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str | None = None) -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        _out(f"{PROG} {_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read every table of a MySQL/MariaDB database into pandas data frames "
                    "with quendsdk.tablora.MySQLDatabaseTablora (pickle cache included).")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    quiet = argparse.ArgumentParser(add_help=False)
    quiet.add_argument("-q", "--quiet", action="store_true",
                       help="no progress display (shown on stderr only when it is a terminal)")

    demo = sub.add_parser(
        "demo", parents=[quiet],
        help="start a throwaway MariaDB, seed sample data and run the tool on it",
        description="Start a throwaway local MariaDB server (temp datadir, free port), seed a "
                    "sample database, run the tool end to end (connect, schemas, data from "
                    "the database, then from the cache), and remove everything again.")
    demo.add_argument("--rows", type=int, default=5000,
                      help="rows in the sample orders table (default: %(default)s)")
    demo.set_defaults(func=cmd_demo, parser=demo)

    run = sub.add_parser(
        "run", parents=[quiet], help="run the tool against your own server",
        description="Read every table of your own server, or serve them from the cache of "
                    "that connection without connecting. The password comes from "
                    "TABLORA_PASSWORD, a prompt, or (without a terminal) one line of stdin. "
                    "The cache is a pickle: only use cache files you wrote yourself.")
    run.add_argument("--host", default=os.environ.get("TABLORA_HOST"),
                     help="server host, optionally host:port (env TABLORA_HOST)")
    run.add_argument("--user", default=os.environ.get("TABLORA_USER"),
                     help="login user (env TABLORA_USER)")
    run.add_argument("--database", default=os.environ.get("TABLORA_DATABASE"),
                     help="database name (env TABLORA_DATABASE)")
    run.add_argument("--cache-path", metavar="DIR",
                     help="directory of the cache file (default: $XDG_CACHE_HOME/quendsdk, "
                          "else ~/.cache/quendsdk; '.' when only --cache-file is given)")
    run.add_argument("--cache-file", metavar="NAME",
                     help="name of the cache file (default: one per user, host, port and "
                          "database; db_cache.pkl when only --cache-path is given)")
    run.add_argument("--refresh", action="store_true",
                     help="read the database even when a cache exists, and rewrite the cache")
    run.add_argument("--data", action=argparse.BooleanOptionalAction, default=True,
                     help="read the data; --no-data prints the schemas only (default: yes)")
    run.add_argument("--schemas", action=argparse.BooleanOptionalAction, default=True,
                     help="print the table schemas when reading the database (default: yes)")
    run.set_defaults(func=cmd_run, parser=run)
    return parser


def main(argv: list[str] | None = None) -> int:
    global _stdout_gone
    if sys.stdout is None:
        print("error: standard output is closed; redirect it to a file or /dev/null "
              "instead", file=sys.stderr)
        return 1
    _stdout_gone = False
    _signals_received.clear()
    parser = build_parser()
    args = parser.parse_args(argv)
    args.error_context = ("?", "?", "?")
    with contextlib.suppress(AttributeError, ValueError):
        # Keep our lines and the tool's printed schema in order when piped.
        sys.stdout.reconfigure(line_buffering=True)  # type: ignore[union-attr]
    quiet_filter = _QuietAfterStop()
    logging.getLogger().addFilter(quiet_filter)
    try:
        with _handlers({signal.SIGINT: _on_sigint, signal.SIGTERM: _on_sigterm}):
            try:
                return int(args.func(args, args.parser))
            except BaseException as exc:
                return _exit_status(exc, args)
    finally:
        logging.getLogger().removeFilter(quiet_filter)


def _exit_status(exc: BaseException, args: argparse.Namespace) -> int:
    stop = _stop_signal(exc)
    if stop == signal.SIGINT:
        print("error: interrupted", file=sys.stderr)
        return 130
    if stop == signal.SIGTERM:
        print("error: terminated (SIGTERM)", file=sys.stderr)
        return 128 + signal.SIGTERM
    if isinstance(exc, BrokenPipeError) and _stdout_broken():
        return EXIT_BROKEN_PIPE
    if not isinstance(exc, Exception):
        raise exc  # SystemExit of a usage error, and the like
    print(f"error: {describe_error(exc, *args.error_context)}", file=sys.stderr)
    log = getattr(exc, "log", "")
    for line in log.splitlines()[-8:]:
        print(f"    mariadbd: {line}", file=sys.stderr)
    return 1
