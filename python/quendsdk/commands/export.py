"""`quendsdk export DIR`: every frame that prepare_data() returned, one file per table.

All files are written into a private temporary directory inside DIR first and
renamed into place only when every one of them is complete and no stop was
received, so a failed or interrupted export leaves DIR as it was.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import hashlib
import importlib.util
import os
import re
import secrets
import stat
import time
from typing import Any

from quendsdk.cli import connection, drivers, reading, signals
from quendsdk.cli.base import EXIT_OK, Command, Session
from quendsdk.cli.errors import UserError
from quendsdk.cli.output import plural, size_text

FORMATS = ("csv", "parquet")
_SAFE = re.compile(r"[^A-Za-z0-9_-]")
_MAX_BASE = 100  # bytes; leaves room for the digest and the suffix under NAME_MAX
_RESERVED = {"con", "prn", "aux", "nul"}  # names some file systems refuse
_OPEN_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def file_names(tables: list[str], suffix: str) -> list[str]:
    """One safe file name per table: unique, also where case does not count.

    A name that is not kept as it stands (spaces, '/', dots, non-ASCII, a clash
    with another table's name in another case) gets a digest of the exact table name.
    """
    bases = [(_SAFE.sub("_", t) or "table")[:_MAX_BASE] for t in tables]
    folded = [b.lower() for b in bases]
    names = []
    for table, base, low in zip(tables, bases, folded):
        if base != table or folded.count(low) > 1 or low in _RESERVED:
            base = f"{base}-{hashlib.sha256(table.encode('utf-8', 'surrogatepass')).hexdigest()[:10]}"
        names.append(base + suffix)
    if len({n.lower() for n in names}) != len(names):  # a table named like another's digest
        names = [f"{n[:-len(suffix)]}-{i}{suffix}" for i, n in enumerate(names)]
    return names


def frame_table(df: Any, index: int) -> str:
    name = getattr(df, "name", None)
    if not isinstance(name, str):
        name = df.attrs.get("name") if isinstance(getattr(df, "attrs", None), dict) else None
    return name if isinstance(name, str) else f"frame_{index}"


class ExportDir:
    """DIR held open (made if missing, never through a link) and the files put into it."""

    def __init__(self, path: str) -> None:
        self.path = os.path.abspath(path)
        try:
            os.mkdir(self.path, 0o700)
        except FileExistsError:
            pass
        except FileNotFoundError:
            raise UserError(f"cannot create the export directory {path!r}: its parent "
                            "does not exist") from None
        except OSError as e:
            raise UserError(f"cannot create the export directory {path!r} ({e.strerror})") from None
        try:
            self.fd = os.open(self.path, _OPEN_DIR)
        except OSError as e:
            if e.errno not in (errno.ENOTDIR, errno.ELOOP):
                raise UserError(f"cannot open the export directory {path!r} "
                                f"({e.strerror})") from None
            link = stat.S_ISLNK(os.lstat(self.path).st_mode)
            what = "a symbolic link, which is not followed" if link else "not a directory"
            raise UserError(f"export directory {path!r} is {what}") from None

    def write_all(self, frames: list[Any], fmt: str) -> list[tuple[str, int, int]]:
        """(file name, rows, size) per frame, all in place, or none of them."""
        tables = [frame_table(df, i) for i, df in enumerate(frames)]
        names = file_names(tables, f".{fmt}")
        temp = f".quendsdk-export-{secrets.token_hex(6)}"
        try:
            os.mkdir(temp, 0o700, dir_fd=self.fd)
        except OSError as e:
            raise UserError(f"export directory {self.path!r} is not writable ({e.strerror})") from None
        temp_fd = -1
        try:
            temp_fd = os.open(temp, _OPEN_DIR, dir_fd=self.fd)
            os.fchmod(temp_fd, 0o700)
            written = []
            for df, name in zip(frames, names):
                signals.raise_if_stopped()
                written.append((name, int(df.shape[0]), _write_frame(df, name, fmt, temp_fd)))
            signals.HELD.append(None)
            try:
                signals.raise_if_stopped()
                for name in names:
                    os.replace(name, name, src_dir_fd=temp_fd, dst_dir_fd=self.fd)
            finally:
                signals.HELD.pop()
            return written
        finally:
            signals.HELD.append(None)
            try:
                if temp_fd >= 0:
                    for name in names:
                        with contextlib.suppress(OSError):
                            os.unlink(name, dir_fd=temp_fd)
                    with contextlib.suppress(OSError):
                        os.close(temp_fd)
                with contextlib.suppress(OSError):
                    os.rmdir(temp, dir_fd=self.fd)
            finally:
                signals.HELD.pop()

    def close(self) -> None:
        os.close(self.fd)


def _write_frame(df: Any, name: str, fmt: str, dir_fd: int) -> int:
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                 0o600, dir_fd=dir_fd)
    os.fchmod(fd, 0o600)  # the umask may have taken more than that
    if fmt == "csv":
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            df.to_csv(f, index=False)
            f.flush()
            os.fsync(f.fileno())
            return os.fstat(f.fileno()).st_size
    with os.fdopen(fd, "wb") as f:
        df.to_parquet(f, index=False)
        f.flush()
        os.fsync(f.fileno())
        return os.fstat(f.fileno()).st_size


class ExportCommand(Command):
    name = "export"
    summary = "write every table to DIR, one CSV or Parquet file each"
    description = ("Read every table as `run` does (from the connection's cache when it may be "
                   "served, else from the database) and write one file per table into DIR, "
                   "which is created if missing. Files are complete or absent: they are "
                   "written under temporary names and renamed into place at the end.")

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("directory", metavar="DIR", help="where the files go")
        parser.add_argument("--format", choices=FORMATS, default="csv",
                            help="csv (default) or parquet (needs pyarrow: "
                                 "pip install 'quendsdk-tablora[parquet]')")
        connection.add_options(parser)
        reading.add_cache_options(parser)
        drivers.add_option(parser)

    def run(self, args: argparse.Namespace, session: Session) -> int:
        if args.format == "parquet" and importlib.util.find_spec("pyarrow") is None:
            raise UserError("--format parquet needs pyarrow, which is not installed: "
                            "pip install 'quendsdk-tablora[parquet]'")
        args.schemas = False
        target = reading.target_of(args, session)
        export_dir = ExportDir(args.directory)
        try:
            result = reading.read_watched(args, session, target)
            t0 = time.perf_counter()
            written = export_dir.write_all(result.frames, args.format)
            elapsed = time.perf_counter() - t0
        finally:
            export_dir.close()
        out = session.output
        for name, rows, size in written:
            out.line(f"    {name}: {plural(rows, 'row')} ({size_text(size)})")
        source = ("the database" if result.from_database else f"the cache {result.cache_path}")
        out.line(f"    {plural(len(written), 'file')} written to {export_dir.path} in "
                 f"{elapsed:.3f} s (frames from {source})")
        for text in result.warnings:
            out.warning(text)
        return EXIT_OK
