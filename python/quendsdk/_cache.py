"""Where `run` keeps its cache: one file per connection, readable by the user alone.

A cache holds a whole database, so the default directory is private (0700) and
every cache file written through `replacement()` is 0600. The checks return a
message instead of raising, for the caller to report as it reports its errors.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import secrets
import tempfile
from collections.abc import Iterator

_UNSAFE = re.compile(r"[^A-Za-z0-9._@-]+")


def default_directory() -> str:
    """$XDG_CACHE_HOME/quendsdk, else ~/.cache/quendsdk."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):  # the XDG rules say to ignore a relative value
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "quendsdk")


def make_private_directory(path: str) -> str | None:
    """Create `path` as 0700, or tighten it to that; a problem, or None."""
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        st = os.stat(path)
        if st.st_uid != os.getuid():
            # Its owner could plant a pickle there, and loading one runs its code.
            return (f"cache directory {path!r} belongs to another user; "
                    "choose one with --cache-path")
        if st.st_mode & 0o077:
            os.chmod(path, 0o700)
    except OSError as e:
        return (f"cannot create the cache directory {path!r} ({e.strerror}); "
                "choose one with --cache-path")
    return None


def file_name(user: str, host: str, port: int, database: str) -> str:
    """A readable name plus a digest of the exact values, so distinct connections never share."""
    key = "\0".join((user, host.lower(), str(port), database))
    digest = hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest()[:16]
    readable = _UNSAFE.sub("_", f"{user}@{host.lower()}-{port}-{database}").lstrip(".")[:80]
    return f"{readable}-{digest}.pkl"


def location_problem(cache_full_path: str, writable: bool) -> str | None:
    """What stops the cache file at `cache_full_path` from being used; None if nothing."""
    directory = os.path.dirname(cache_full_path) or "."
    if not os.path.exists(directory):
        return f"cache directory {directory!r} does not exist"
    if not os.path.isdir(directory):
        kind = "a regular file" if os.path.isfile(directory) else "not a directory"
        return f"cache directory {directory!r} is {kind}; --cache-path takes a directory"
    if os.path.lexists(cache_full_path) and not os.path.isfile(cache_full_path):
        return f"cache file {cache_full_path!r} exists and is not a regular file"
    if writable:
        # A real attempt: access() says yes to root even where nothing can be created.
        try:
            fd, probe = tempfile.mkstemp(prefix=".quendsdk-probe-", dir=directory)
        except OSError as e:
            return f"cache directory {directory!r} is not writable ({e.strerror})"
        os.close(fd)
        os.unlink(probe)
    return None


@contextlib.contextmanager
def replacement(cache_full_path: str) -> Iterator[str]:
    """A fresh path next to the cache file to write to instead.

    It replaces the cache file only when the block succeeds, so a failed or
    interrupted read leaves the old cache as it was. Files created meanwhile
    are 0600 (umask 077); the tool's open(path, "wb") keeps the mode it finds.
    """
    directory, name = os.path.split(cache_full_path)
    # Short enough for any name the cache file itself may have.
    partial = os.path.join(directory,
                           f".{name[:100]}.{os.getpid()}-{secrets.token_hex(4)}.partial")
    previous_umask = os.umask(0o077)
    try:
        yield partial
        if os.path.exists(partial):
            os.replace(partial, cache_full_path)
    finally:
        os.umask(previous_umask)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(partial)
