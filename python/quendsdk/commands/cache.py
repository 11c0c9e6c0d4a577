"""`quendsdk cache list|clear`: the caches `run` keeps, and removing them."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat

from quendsdk.cli import cache_store, connection, reading
from quendsdk.cli.base import EXIT_OK, Command, Session
from quendsdk.cli.errors import UsageError, UserError
from quendsdk.cli.output import age_text, plural, size_text


class CacheCommand(Command):
    name = "cache"
    summary = "list the caches run keeps, or remove them"
    description = ("list: every cache in the cache directory with its connection, size, age "
                   "and table count. clear: remove one connection's cache (chosen by the same "
                   "options as run), or all of them with --all.")

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        sub = parser.add_subparsers(dest="action", required=True, metavar="ACTION")
        listing = sub.add_parser("list", help="every cache in the cache directory")
        listing.add_argument("--cache-path", metavar="DIR",
                             help="the directory to list (default: $XDG_CACHE_HOME/quendsdk)")
        clear = sub.add_parser("clear", help="remove one connection's cache, or --all")
        clear.add_argument("--all", action="store_true",
                           help="every cache in the cache directory (in a directory given with "
                                "--cache-path: every cache that run wrote there)")
        connection.add_options(clear)
        reading.add_cache_location_options(clear)

    def run(self, args: argparse.Namespace, session: Session) -> int:
        if args.action == "list":
            return self._list(args, session)
        return self._clear(args, session)

    def _list(self, args: argparse.Namespace, session: Session) -> int:
        out = session.output
        rows = []
        with cache_store.opened(args.cache_path) as directory:
            for name in directory.names():
                try:
                    cached = directory.open_cache(name)
                except Exception:  # a link or an unreadable entry: listed, not opened
                    rows.append(("(not opened)", name, "", "", ""))
                    continue
                if cached is None:
                    continue
                try:
                    record = cached.record if stat.S_ISREG(cached.stat.st_mode) else None
                    who = (connection.describe_key(record.connection) if record
                           else "(no record)")
                    if cached.load_problem():
                        who += " [refused: not safe to load]"
                    tables = str(record.tables) if record else "?"
                    rows.append((who, name, size_text(cached.stat.st_size),
                                 age_text(cached.age()), tables))
                finally:
                    cached.close()
            shown = directory.path
        if not rows:
            out.line(f"no caches in {shown}")
            return EXIT_OK
        header = ("CONNECTION", "FILE", "SIZE", "AGE", "TABLES")
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        for r in [header, *rows]:
            out.line("  ".join(v.ljust(w) for v, w in zip(r, widths)).rstrip())
        out.line(f"{plural(len(rows), 'cache')} in {shown}")
        return EXIT_OK

    def _clear(self, args: argparse.Namespace, session: Session) -> int:
        out = session.output
        if args.all:
            if args.cache_file is not None:
                raise UsageError("cache clear --all takes only --cache-path")
            return self._clear_all(args, session)
        target = connection.resolve(args, out)
        key = connection.connection_key(target)
        location = reading.cache_location(args, key)
        with cache_store.opened(location.directory) as directory:
            shown = os.path.join(directory.path, location.name)
            try:
                mine = directory.remove(location.name)
            except FileNotFoundError:
                out.line(f"no cache for {connection.describe_key(key)} ({shown})")
                return EXIT_OK
        if not mine:
            raise UserError(f"cache file {shown!r} belongs to another user; it was not removed")
        out.line(f"removed {shown}")
        return EXIT_OK

    @staticmethod
    def _written_by_run(directory: cache_store.CacheDir, name: str) -> bool:
        try:
            cached = directory.open_cache(name)
        except Exception:  # a link or an unreadable entry: not one of ours
            return False
        if cached is None:
            return False
        try:
            return cached.record is not None
        finally:
            cached.close()

    def _clear_all(self, args: argparse.Namespace, session: Session) -> int:
        out = session.output
        removed = 0
        with cache_store.opened(args.cache_path) as directory:
            for name in directory.names():
                if args.cache_path is not None and not self._written_by_run(directory, name):
                    continue  # elsewhere than the private directory, only run's caches go
                with contextlib.suppress(FileNotFoundError):
                    removed += directory.remove(name)  # another user's stays
            for name in directory.leftovers():
                with contextlib.suppress(OSError):
                    directory.remove_leftover(name)
            shown = directory.path
        out.line(f"removed {plural(removed, 'cache')} from {shown}")
        return EXIT_OK
