"""The `[client]` group of MySQL option files, read as the mysql/mariadb clients read it.

By default only ~/.my.cnf; `--defaults-file FILE` reads that file instead and
`--no-defaults` none. `!include FILE` and `!includedir DIR` are followed. A file
is judged by the descriptor it is read from: one that others may write is
ignored with a warning (as the clients do), and a password in one that others
may read is warned about.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable
from dataclasses import dataclass, field

from quendsdk.cli.errors import UserError

KEYS = ("user", "password", "host", "port", "socket", "database")
GROUP = "client"
_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "r": "\r", "\\": "\\", "s": " "}
_MAX_SIZE = 1 << 20
_MAX_DEPTH = 10


@dataclass
class OptionValues:
    values: dict[str, str] = field(default_factory=dict)
    # Where each value came from, for messages.
    origin: dict[str, str] = field(default_factory=dict)


def default_files() -> list[str]:
    home = os.path.expanduser("~")
    return [os.path.join(home, ".my.cnf")] if home and home != "~" else []


def read(files: list[str], required: bool, warn: Callable[[str], None]) -> OptionValues:
    """The [client] values of `files`, later files and lines winning.

    `required`: a missing file is an error (--defaults-file), not skipped (~/.my.cnf).
    """
    found = OptionValues()
    for path in files:
        _read_file(path, found, warn, required, depth=0)
    return found


def _open_checked(path: str, warn: Callable[[str], None], required: bool) -> str | None:
    """The text of the option file at `path`, or None when it is to be skipped."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        if required:
            raise UserError(f"option file {path!r} does not exist") from None
        return None
    except OSError as e:
        raise UserError(f"cannot read option file {path!r} ({e.strerror})") from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise UserError(f"option file {path!r} is not a regular file")
        if st.st_mode & stat.S_IWOTH:
            warn(f"option file {path!r} can be written by anyone; it is ignored "
                 f"(chmod o-w {path})")
            return None
        if st.st_uid not in (os.geteuid(), 0):
            warn(f"option file {path!r} belongs to another user (uid {st.st_uid}); it is ignored")
            return None
        if st.st_size > _MAX_SIZE:
            raise UserError(f"option file {path!r} is larger than 1 MiB")
        data = b""
        while chunk := os.read(fd, 65536):
            data += chunk
            if len(data) > _MAX_SIZE:
                raise UserError(f"option file {path!r} is larger than 1 MiB")
        readable_by_others = bool(st.st_mode & (stat.S_IRGRP | stat.S_IROTH))
    finally:
        os.close(fd)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise UserError(f"option file {path!r} is not valid UTF-8") from None
    if readable_by_others and _mentions_password(text):
        warn(f"option file {path!r} holds a password and other users can read it "
             f"(chmod 600 {path})")
    return text


def _mentions_password(text: str) -> bool:
    return any(_option_name(line.split("=", 1)[0]) == "password"
               for line in text.splitlines() if "=" in line)


def _read_file(path: str, found: OptionValues, warn: Callable[[str], None],
               required: bool, depth: int) -> None:
    if depth > _MAX_DEPTH:
        raise UserError(f"option file {path!r}: !include nested too deeply")
    text = _open_checked(path, warn, required)
    if text is None:
        return
    group: str | None = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("!"):
            directive, _, argument = line.partition(" ")
            argument = argument.strip()
            if directive == "!include" and argument:
                _read_file(argument, found, warn, True, depth + 1)
            elif directive == "!includedir" and argument:
                _read_dir(argument, found, warn, depth + 1)
            else:
                raise UserError(f"option file {path!r}, line {number}: unknown directive "
                                f"{directive!r}")
            continue
        if line.startswith("["):
            if not line.endswith("]"):
                raise UserError(f"option file {path!r}, line {number}: unclosed group name")
            group = line[1:-1].strip().lower()
            continue
        if group is None:
            raise UserError(f"option file {path!r}, line {number}: an option before any "
                            "[group]")
        name, has_value, value = line.partition("=")
        key = _option_name(name)
        if group == GROUP and key in KEYS:
            found.values[key] = _value(value) if has_value else ""
            found.origin[key] = path


def _read_dir(directory: str, found: OptionValues, warn: Callable[[str], None],
              depth: int) -> None:
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return  # the clients pass over a missing !includedir too
    for name in names:
        if name.endswith(".cnf"):
            _read_file(os.path.join(directory, name), found, warn, False, depth)


def _option_name(text: str) -> str:
    name = text.strip().lower().replace("_", "-")
    return name[len("loose-"):] if name.startswith("loose-") else name


def _value(text: str) -> str:
    """An option value: quotes removed, escapes applied, a trailing # comment dropped."""
    text = text.strip()
    if text[:1] in ("'", '"'):
        quote = text[0]
        out, i = [], 1
        while i < len(text) and text[i] != quote:
            if text[i] == "\\" and i + 1 < len(text):
                out.append(_ESCAPES.get(text[i + 1], "\\" + text[i + 1]))
                i += 2
                continue
            out.append(text[i])
            i += 1
        return "".join(out)
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        if ch == "#":
            break
        if ch == "\\" and i + 1 < len(text):
            out.append(_ESCAPES.get(text[i + 1], "\\" + text[i + 1]))
            i += 2
            continue
        out.append(ch)
        i += 1
    return "".join(out).rstrip()
