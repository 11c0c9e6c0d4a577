"""Where `run` keeps its caches, and the one place that opens, checks and renames them.

The cache directory is held open and every name is looked up relative to that
descriptor, never through a symbolic link. A cache file is checked on the
descriptor it was opened with (a regular file of ours that nobody else may
write), and the tool is handed exactly that file as /proc/self/fd/N. A new cache
is written into a private directory inside the cache directory, given its mode,
its connection record appended, and renamed into place only when the whole read
succeeded and no stop was received.

The record is a JSON trailer after the pickle. `pickle.load` stops at the end of
the pickle, so the file still loads as the tool's own cache, through the Python
API or `pandas.read_pickle`.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import os
import re
import secrets
import stat
import struct
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from quendsdk.cli import signals
from quendsdk.cli.errors import UserError

TOOL_CACHE_FILE = "db_cache.pkl"  # the tool's own default name
TEMP_PREFIX = ".quendsdk-"
_TEMP_FILE = "cache.pkl"
_MAGIC = b"QNDSKREC"
_LENGTH = struct.Struct("<Q")
_MAX_RECORD = 1 << 20
_UNSAFE = re.compile(r"[^A-Za-z0-9._@-]+")
_OPEN_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_OPEN_FILE = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


def default_directory() -> str:
    """$XDG_CACHE_HOME/quendsdk, else ~/.cache/quendsdk."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):  # the XDG rules say to ignore a relative value
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "quendsdk")


def file_name(key: dict[str, Any]) -> str:
    """A readable name plus a digest of the exact values, so distinct connections never share."""
    exact = "\0".join(str(key[k]) for k in ("user", "host", "port", "database", "socket"))
    digest = hashlib.sha256(exact.encode("utf-8", "surrogatepass")).hexdigest()[:16]
    where = "socket" if key["socket"] else f"{key['host']}-{key['port']}"
    readable = _UNSAFE.sub("_", f"{key['user']}@{where}-{key['database']}").lstrip(".")[:80]
    return f"{readable}-{digest}.pkl"


@dataclass
class Record:
    """What a cache written by `run` says about itself."""

    connection: dict[str, Any]
    written: float  # seconds since the epoch
    tables: int
    warnings: list[str] = field(default_factory=list)

    def encode(self) -> bytes:
        body = json.dumps({"format": 1, "connection": self.connection, "written": self.written,
                           "tables": self.tables, "warnings": self.warnings},
                          ensure_ascii=True, sort_keys=True).encode()
        return b"\n" + body + _LENGTH.pack(len(body)) + _MAGIC

    @classmethod
    def decode(cls, data: dict[str, Any]) -> Record | None:
        try:
            return cls(connection=dict(data["connection"]), written=float(data["written"]),
                       tables=int(data["tables"]), warnings=[str(w) for w in data["warnings"]])
        except (KeyError, TypeError, ValueError):
            return None


def _read_record(fd: int, size: int) -> Record | None:
    tail = _LENGTH.size + len(_MAGIC)
    if size < tail:
        return None
    end = os.pread(fd, tail, size - tail)
    if len(end) != tail or end[-len(_MAGIC):] != _MAGIC:
        return None
    (length,) = _LENGTH.unpack(end[:_LENGTH.size])
    if length > min(_MAX_RECORD, size - tail):
        return None
    body = os.pread(fd, length, size - tail - length)
    try:
        data = json.loads(body)
    except ValueError:
        return None
    return Record.decode(data) if isinstance(data, dict) else None


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    return "not a regular file"


class CacheFile:
    """One cache file, opened without following links and checked on its descriptor."""

    def __init__(self, directory: CacheDir, name: str, fd: int) -> None:
        self.directory = directory
        self.name = name
        self.fd = fd
        self.stat = os.fstat(fd)
        self._record: Record | None | bool = False

    @property
    def path(self) -> str:
        return os.path.join(self.directory.path, self.name)

    @property
    def record(self) -> Record | None:
        if self._record is False:
            self._record = _read_record(self.fd, self.stat.st_size)
        return self._record  # type: ignore[return-value]

    def age(self, now: float | None = None) -> float:
        written = self.record.written if self.record else self.stat.st_mtime
        return (time.time() if now is None else now) - written

    def load_problem(self) -> str | None:
        """Why this file must not be loaded: loading a pickle runs the code it holds."""
        st, path = self.stat, self.path
        if not stat.S_ISREG(st.st_mode):
            return f"cache file {path!r} is {_kind(st.st_mode)}"
        if st.st_uid != os.geteuid():
            return (f"cache file {path!r} belongs to another user (uid {st.st_uid}), who could "
                    f"have put code into it; it was not loaded. Delete it if you did not "
                    f"write it, or choose another cache location")
        if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            return (f"cache file {path!r} can be written by other users (mode "
                    f"{stat.S_IMODE(st.st_mode):04o}); it was not loaded. If you trust it, "
                    f"run chmod go-w on it; else delete it")
        return None

    def tool_location(self) -> tuple[str, str]:
        """cache_path and cache_file for the tool: exactly this open file."""
        return "/proc/self/fd", str(self.fd)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class CacheDir:
    """A cache directory held open by descriptor."""

    def __init__(self, path: str, fd: int) -> None:
        self.path = path
        self.fd = fd

    @classmethod
    def open_default(cls) -> CacheDir:
        """The private default directory: made 0700, ours, never reached through a link."""
        path = default_directory()
        parent, name = os.path.split(path)
        try:
            os.makedirs(parent, mode=0o700, exist_ok=True)
            parent_fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as e:
            raise UserError(f"cannot create the cache directory {path!r} ({e.strerror}); "
                            "choose one with --cache-path") from None
        try:
            with contextlib.suppress(FileExistsError):
                os.mkdir(name, 0o700, dir_fd=parent_fd)
            fd = cls._open_dir(path, name, parent_fd)
        finally:
            os.close(parent_fd)
        try:
            st = os.fstat(fd)
            if st.st_uid != os.geteuid():
                # Its owner could plant a pickle there, and loading one runs its code.
                raise UserError(f"cache directory {path!r} belongs to another user; "
                                "choose one with --cache-path")
            if stat.S_IMODE(st.st_mode) != 0o700:
                os.fchmod(fd, 0o700)  # on the descriptor: never through a link
        except BaseException:
            os.close(fd)
            raise
        return cls(path, fd)

    @classmethod
    def open_given(cls, path: str) -> CacheDir:
        """A directory the user named: it must exist and not be a symbolic link."""
        return cls(path, cls._open_dir(path, path, None))

    @staticmethod
    def _open_dir(shown: str, name: str, dir_fd: int | None) -> int:
        try:
            return os.open(name, _OPEN_DIR, dir_fd=dir_fd)
        except FileNotFoundError:
            raise UserError(f"cache directory {shown!r} does not exist") from None
        except OSError as e:
            if e.errno not in (errno.ENOTDIR, errno.ELOOP):
                raise UserError(f"cannot open the cache directory {shown!r} "
                                f"({e.strerror})") from None
        try:
            st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
        except OSError:
            raise UserError(f"cache directory {shown!r} is not a directory") from None
        if stat.S_ISLNK(st.st_mode):
            raise UserError(f"cache directory {shown!r} is a symbolic link, which is not "
                            "followed; name the directory itself with --cache-path")
        kind = "a regular file" if stat.S_ISREG(st.st_mode) else "not a directory"
        raise UserError(f"cache directory {shown!r} is {kind}; --cache-path takes a directory")

    def open_cache(self, name: str) -> CacheFile | None:
        """The cache file `name`, or None when there is none. Nothing is loaded here."""
        try:
            fd = os.open(name, _OPEN_FILE, dir_fd=self.fd)
        except FileNotFoundError:
            return None
        except OSError as e:
            shown = os.path.join(self.path, name)
            if e.errno == errno.ELOOP:
                raise UserError(f"cache file {shown!r} is a symbolic link, which is not "
                                "followed; remove it or choose another cache file") from None
            raise UserError(f"cannot open the cache file {shown!r} ({e.strerror})") from None
        return CacheFile(self, name, fd)

    def names(self) -> list[str]:
        """The cache files here, by name: *.pkl, not the hidden temporaries."""
        return sorted(n for n in os.listdir(self.fd)
                      if n.endswith(".pkl") and not n.startswith("."))

    def leftovers(self) -> list[str]:
        """Temporary directories of writes that never finished (a killed run)."""
        return sorted(n for n in os.listdir(self.fd) if n.startswith(TEMP_PREFIX))

    def remove(self, name: str) -> bool:
        """Unlink `name` if it is ours (a link itself, never what it points to);
        False when it belongs to someone else. FileNotFoundError when absent."""
        if os.stat(name, dir_fd=self.fd, follow_symlinks=False).st_uid != os.geteuid():
            return False
        os.unlink(name, dir_fd=self.fd)
        return True

    def remove_leftover(self, name: str) -> None:
        """A temporary directory of ours, with what is in it; someone else's is left."""
        try:
            fd = os.open(name, _OPEN_DIR, dir_fd=self.fd)
        except OSError:  # gone, or a link: not one of ours
            return
        try:
            if os.fstat(fd).st_uid != os.geteuid():  # judged on what is open
                return
            for entry in os.listdir(fd):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(entry, dir_fd=fd)
        finally:
            os.close(fd)
        os.rmdir(name, dir_fd=self.fd)

    def replacement(self, name: str) -> Replacement:
        return Replacement(self, name)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> CacheDir:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Replacement:
    """A new cache for `name`, written by the tool into a private temporary directory.

    Entering creates that directory, which is also the check that the cache
    directory is writable, made before anything is read. `commit` puts the file
    in place; leaving the block removes whatever is left, and never raises.
    """

    def __init__(self, directory: CacheDir, name: str) -> None:
        self.directory = directory
        self.name = name
        self._temp = f"{TEMP_PREFIX}{secrets.token_hex(6)}"
        self._fd = -1

    def __enter__(self) -> Replacement:
        d = self.directory
        try:
            os.mkdir(self._temp, 0o700, dir_fd=d.fd)
        except OSError as e:
            raise UserError(f"cache directory {d.path!r} is not writable ({e.strerror})") from None
        try:
            self._fd = os.open(self._temp, _OPEN_DIR, dir_fd=d.fd)
            os.fchmod(self._fd, 0o700)  # the umask may have taken more than that
        except BaseException:
            self._cleanup()
            raise
        return self

    def tool_location(self) -> tuple[str, str]:
        return f"/proc/self/fd/{self._fd}", _TEMP_FILE

    def commit(self, record: Record) -> int:
        """Mode 0600, the record, then the rename into place; the size written.

        A stop received meanwhile, even one a library swallowed, means no rename.
        """
        signals.raise_if_stopped()
        try:
            fd = os.open(_TEMP_FILE, os.O_WRONLY | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC,
                         dir_fd=self._fd)
        except OSError as e:
            raise UserError(f"the tool wrote no cache file ({e.strerror})") from None
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid() or st.st_nlink != 1:
                raise UserError("the new cache file is not the one the tool wrote")
            os.fchmod(fd, 0o600)
            os.write(fd, record.encode())
            os.fsync(fd)
            size = os.fstat(fd).st_size
        finally:
            os.close(fd)
        signals.HELD.append(None)
        try:
            signals.raise_if_stopped()
            os.replace(_TEMP_FILE, self.name, src_dir_fd=self._fd, dst_dir_fd=self.directory.fd)
        finally:
            signals.HELD.pop()
        return size

    def _cleanup(self) -> None:
        if self._fd >= 0:
            with contextlib.suppress(OSError):
                os.unlink(_TEMP_FILE, dir_fd=self._fd)
            with contextlib.suppress(OSError):
                os.close(self._fd)
            self._fd = -1
        with contextlib.suppress(OSError):
            os.rmdir(self._temp, dir_fd=self.directory.fd)

    def __exit__(self, *exc: object) -> None:
        signals.HELD.append(None)
        try:
            self._cleanup()
        finally:
            signals.HELD.pop()


@contextlib.contextmanager
def opened(path: str | None) -> Iterator[CacheDir]:
    """The cache directory a command uses: the one given, or the private default."""
    directory = CacheDir.open_given(path) if path is not None else CacheDir.open_default()
    try:
        yield directory
    finally:
        directory.close()
