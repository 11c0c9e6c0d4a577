"""The read that `run` and `export` share: every table from the connection's cache
when it may be served, else from the database, with the new cache put in place.
"""

from __future__ import annotations

import argparse
import os
import re
import time
from dataclasses import dataclass, field
from typing import Any

from quendsdk.cli import cache_store, connection, drivers, fidelity, signals
from quendsdk.cli.base import Session
from quendsdk.cli.cache_store import TOOL_CACHE_FILE, CacheDir, CacheFile, Record
from quendsdk.cli.connection import Target
from quendsdk.cli.errors import UsageError, UserError
from quendsdk.cli.output import age_text, plural, size_text
from quendsdk.cli.progress import Watch, wanted

_DURATION = re.compile(r"(\d+)([smhd])")
_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def duration(text: str) -> float:
    """30m, 12h, 7d (or 90s): seconds. argparse turns the ValueError into a usage error."""
    match = _DURATION.fullmatch(text.strip())
    if not match:
        raise ValueError(text)
    return float(int(match[1]) * _UNITS[match[2]])


duration.__name__ = "duration"  # named in argparse's message: "invalid duration value"


def add_cache_location_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    group = parser.add_argument_group("cache")
    group.add_argument("--cache-path", metavar="DIR",
                       help="directory of the cache file (default: $XDG_CACHE_HOME/quendsdk, "
                            "else ~/.cache/quendsdk; '.' when only --cache-file is given)")
    group.add_argument("--cache-file", metavar="NAME",
                       help="name of the cache file (default: one per user, host, port and "
                            "database; db_cache.pkl when only --cache-path is given)")
    return group


def add_cache_options(parser: argparse.ArgumentParser) -> None:
    group = add_cache_location_options(parser)
    group.add_argument("--refresh", action="store_true",
                       help="read the database even when a cache exists, and rewrite the cache")
    group.add_argument("--max-age", type=duration, metavar="DURATION",
                       help="read the database again when the cache is older (30m, 12h, 7d)")


def add_read_options(parser: argparse.ArgumentParser) -> None:
    add_cache_options(parser)
    drivers.add_option(parser)
    parser.add_argument("--schemas", action=argparse.BooleanOptionalAction, default=True,
                        help="print the table schemas when reading the database (default: yes)")


@dataclass
class CacheLocation:
    """Where a command's cache lives: a directory (None: the private default) and a name."""

    directory: str | None
    name: str
    explicit_file: bool  # --cache-file: a cache of unknown origin may be served


def cache_location(args: argparse.Namespace, key: dict[str, Any]) -> CacheLocation:
    """Either option puts the cache where the tool itself would: --cache-path (default
    ".") joined with --cache-file (default "db_cache.pkl")."""
    if args.cache_path is None and args.cache_file is None:
        return CacheLocation(None, cache_store.file_name(key), False)
    full = os.path.join(args.cache_path or ".", args.cache_file or TOOL_CACHE_FILE)
    directory, name = os.path.split(os.path.abspath(full))
    if not name or name in (".", ".."):
        raise UsageError(f"--cache-file {args.cache_file!r}: expected a file name")
    return CacheLocation(directory, name, args.cache_file is not None)


@dataclass
class Result:
    frames: list[Any]
    elapsed: float
    from_database: bool
    cache_path: str
    age: float | None = None  # of the cache served
    warnings: list[str] = field(default_factory=list)
    size: int = 0


def check_frames(frames: Any, shown_path: str) -> list[Any]:
    """The frames, or a UserError: a cache may hold anything at all."""
    import pandas

    if isinstance(frames, list):
        odd = [f for f in frames if not isinstance(f, pandas.DataFrame)]
        if not odd:
            return frames
        held = f"a list with an item of type {type(odd[0]).__name__}"
    else:
        held = f"an object of type {type(frames).__name__}"
    raise UserError(f"cache file {shown_path!r} does not hold a list of data frames "
                    f"(it holds {held}); delete it or run with --refresh")


def constructor_line(target: Target, cache_path: str, cache_file: str, password: str) -> str:
    return (f"==> MySQLDatabaseTablora(username={target.user!r}, password={password}, "
            f"host={target.host_text!r}, database={target.tool_database!r}, "
            f"cache_path={cache_path!r}, cache_file={cache_file!r})")


def target_of(args: argparse.Namespace, session: Session) -> Target:
    """The command's target, which its error lines then name."""
    target = connection.resolve(args, session.output)
    session.about(target.where, target.user, target.database)
    return target


def read_watched(args: argparse.Namespace, session: Session, target: Target) -> Result:
    """`read` with the tool watched: progress, and the library warnings it triggered."""
    watch = Watch(session.output, show_progress=wanted(args))
    try:
        with watch.watching(connection.tablora()):
            return read(args, session, target, watch)
    finally:
        watch.report()


def read(args: argparse.Namespace, session: Session, target: Target, watch: Watch) -> Result:
    drivers.check(args.driver)
    key = connection.connection_key(target)
    location = cache_location(args, key)
    with cache_store.opened(location.directory) as directory:
        if not args.refresh:
            cached = directory.open_cache(location.name)
            if cached is not None:
                try:
                    served = _serve(args, session, target, watch, cached, location, key)
                finally:
                    cached.close()
                if served is not None:
                    return served
        return _read_database(args, session, target, watch, directory, location, key)


def _serve(args: argparse.Namespace, session: Session, target: Target, watch: Watch,
           cached: CacheFile, location: CacheLocation, key: dict[str, Any]) -> Result | None:
    """The frames of the cache, read without connecting; None to read the database."""
    out = session.output
    problem = cached.load_problem()
    if problem:
        raise UserError(problem)
    record = cached.record
    if record is None:
        if location.explicit_file:
            out.note(f"cache file {cached.path!r} has no record of the connection it came "
                     "from (it was not written by run); serving it as named")
        elif location.directory is None:
            out.detail(f"    {cached.path} has no connection record; reading the database")
            return None
        else:
            raise UserError(f"cache file {cached.path!r} has no record of the connection it "
                            "came from; name it with --cache-file to use it anyway, or run "
                            "with --refresh to replace it")
    elif record.connection != key:
        raise UserError(f"cache file {cached.path!r} holds the tables of "
                        f"{connection.describe_key(record.connection)}, not of "
                        f"{connection.describe_key(key)}; choose another --cache-file, or "
                        "run with --refresh to replace it")
    age = cached.age()
    if args.max_age is not None and age > args.max_age:
        out.detail(f"    the cache is {age_text(age).removesuffix(' ago')} old, more than "
                   "--max-age; reading the database")
        return None
    tool_dir, tool_file = cached.tool_location()
    out.detail(constructor_line(target, tool_dir, tool_file, "<not needed>"))
    out.detail(f"    {tool_dir}/{tool_file} is the cache file {cached.path}, opened and checked")
    out.detail("==> prepare_data() from the cache, without connecting (--refresh reads the "
               "database)")
    tool = connection.make_tool(target, "unused", tool_dir, tool_file)
    t0 = time.perf_counter()
    try:
        frames = tool.prepare_data()
    except ConnectionError:
        # It failed to load (the tool logged why) and there is no engine.
        out.detail("    the cache did not load; reading the database instead")
        return None
    except (KeyboardInterrupt, SystemExit) as exc:
        if signals.received() is not None:
            raise
        # Raised by the pickle itself, not by a signal. One that exec()s code
        # raising KeyboardInterrupt leaves CPython's "unhandled interrupt" flag
        # set, and `python -m` would end by SIGINT; any exec() of a string clears it.
        exec("pass", {})
        raise UserError(f"cache file {cached.path!r} could not be loaded: it raised "
                        f"{type(exc).__name__}; delete it or run with --refresh") from None
    elapsed = time.perf_counter() - t0
    if args.schemas:
        out.line("schemas: printed only when the database is read (--refresh)")
    return Result(check_frames(frames, cached.path), elapsed, False, cached.path, age,
                  record.warnings if record else [])


def _read_database(args: argparse.Namespace, session: Session, target: Target, watch: Watch,
                   directory: CacheDir, location: CacheLocation,
                   key: dict[str, Any]) -> Result:
    out = session.output
    shown = os.path.join(directory.path, location.name)
    # The temporary directory is made now: an unwritable cache directory shows
    # before the read, not after it.
    with directory.replacement(location.name) as new:
        password = connection.password_for(target)
        tool_dir, tool_file = new.tool_location()
        out.detail(constructor_line(target, tool_dir, tool_file, "<hidden>"))
        out.detail(f"    the cache is written in a private temporary directory and renamed "
                   f"to {shown} when the read succeeds")
        tool = connection.make_tool(target, password, tool_dir, tool_file)
        connect(tool, session, args.schemas)
        facts = fidelity.fetch(tool.engine)
        driver, why = drivers.choose(args.driver, facts)
        out.detail(f"    driver: {drivers.NAMES[driver]} ({why})")
        own_engine = None
        if driver == "mysqldb":
            # connect() proved the connection; the same values read through the C driver.
            own_engine, proven = drivers.fast_engine(tool), tool.engine
            tool.engine = own_engine
            proven.dispose()
        out.detail("==> prepare_data()")
        t0 = time.perf_counter()
        try:
            with watch.reading(facts.tables if facts else None):
                frames = tool.prepare_data()
        finally:
            if own_engine is not None:
                own_engine.dispose()
        elapsed = time.perf_counter() - t0
        frames = check_frames(frames, shown)
        import pandas

        warnings = (fidelity.warnings_for(facts, int(pandas.__version__.split(".")[0]))
                    if facts else [])
        size = new.commit(Record(connection=key, written=time.time(), tables=len(frames),
                                 warnings=warnings))
    return Result(frames, elapsed, True, shown, None, warnings, size)


def connect(tool: Any, session: Session, schemas: bool) -> None:
    out = session.output
    out.detail(f"    connection_string: {connection.shown_url(tool)}")
    out.detail("==> connect()")
    tool.connect()
    if schemas:
        out.detail("==> print_table_schemas()")
        tool.print_table_schemas()
        out.flush()


def summarise(session: Session, result: Result) -> None:
    out = session.output
    for df in result.frames:
        rows, columns = df.shape
        out.line(f"    {getattr(df, 'name', '?')}: {plural(rows, 'row')}, "
                 f"{plural(columns, 'column')}")
    if result.from_database:
        source = (f"from the database; cache written to {result.cache_path} "
                  f"({size_text(result.size)})")
    else:
        source = f"from the cache {result.cache_path}, written {age_text(result.age or 0)}"
    out.line(f"    {plural(len(result.frames), 'frame')} in {result.elapsed:.3f} s ({source})")
    for text in result.warnings:
        out.warning(text)
