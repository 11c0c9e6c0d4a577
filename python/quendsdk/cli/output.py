"""What a command shows: its lines on stdout, `warning:` and `error:` lines on stderr,
the tool's own log records only when asked for, and a reader of stdout that went away.
"""

from __future__ import annotations

import contextlib
import logging
import os
import select
import sys
import threading
from collections.abc import Iterator

from quendsdk.cli import signals

# Shell convention for a run ended by SIGPIPE (a reader such as `head` left).
EXIT_BROKEN_PIPE = 141


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def size_text(size: int) -> str:
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{size} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def age_text(seconds: float) -> str:
    seconds = max(0, int(seconds))
    for unit, length in (("day", 86400), ("hour", 3600), ("minute", 60)):
        if seconds >= length:
            return f"{plural(seconds // length, unit)} ago"
    return f"{plural(seconds, 'second')} ago"


class Output:
    """The lines of one command. `detail` lines and the tool's records need -v."""

    def __init__(self, verbose: bool = False, quiet: bool = False) -> None:
        self.verbose = verbose
        self.quiet = quiet
        self.stdout_gone = False

    def line(self, text: str = "") -> None:
        try:
            print(text, flush=True)
        except BrokenPipeError:
            self.silence_stdout()
            raise

    def detail(self, text: str) -> None:
        if self.verbose:
            self.line(text)

    def warning(self, text: str) -> None:
        if not self.quiet:
            print(f"warning: {text}", file=sys.stderr, flush=True)

    def note(self, text: str) -> None:
        """A line on stderr that is not a warning (a cache of unknown origin, say)."""
        if not self.quiet:
            print(f"note: {text}", file=sys.stderr, flush=True)

    def flush(self) -> None:
        """Flush stdout, noticing a reader that has gone."""
        if not self.stdout_gone:
            try:
                sys.stdout.flush()
            except BrokenPipeError:
                self.silence_stdout()
            except (OSError, ValueError, AttributeError):
                pass

    def broken(self) -> bool:
        """Whether stdout's reader has gone. A write that failed elsewhere (the tool's
        own print) may have left nothing to flush, so the descriptor is asked too."""
        self.flush()
        if not self.stdout_gone:
            with contextlib.suppress(OSError, ValueError, AttributeError):
                poller = select.poll()
                poller.register(sys.stdout.fileno(), select.POLLOUT)
                if any(events & select.POLLERR for _, events in poller.poll(0)):
                    self.silence_stdout()
        return self.stdout_gone

    def silence_stdout(self) -> None:
        # Later writes, the interpreter's own flush at exit included, go nowhere.
        self.stdout_gone = True
        with contextlib.suppress(OSError, ValueError, AttributeError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)


class _ToolRecords(logging.Filter):
    """Drops the tool's records from the command's own thread, unless -v.

    After a stop or a closed pipe even -v drops them: the tool then logs the
    error the stop caused ("Error fetching tables: Can't reconnect ..."), which misleads.
    """

    def __init__(self, output: Output) -> None:
        super().__init__()
        self.output = output
        self.thread = threading.get_ident()

    def filter(self, record: logging.LogRecord) -> bool:
        if record.thread != self.thread:
            return True
        if signals.received() is not None:
            return False
        if isinstance(sys.exception(), BrokenPipeError) and self.output.broken():
            return False
        return self.output.verbose


@contextlib.contextmanager
def configured(output: Output) -> Iterator[None]:
    """The root logger's filter and line-buffered stdout for the block, then as before."""
    root = logging.getLogger()
    records = _ToolRecords(output)
    root.addFilter(records)
    buffering = getattr(sys.stdout, "line_buffering", None)
    with contextlib.suppress(AttributeError, ValueError):
        # Our lines and the tool's printed schemas stay in order when piped.
        sys.stdout.reconfigure(line_buffering=True)  # type: ignore[union-attr]
    try:
        yield
    finally:
        signals.HELD.append(None)
        try:
            root.removeFilter(records)
            if buffering is not None and not output.stdout_gone:
                with contextlib.suppress(AttributeError, ValueError, OSError):
                    sys.stdout.reconfigure(line_buffering=buffering)  # type: ignore[union-attr]
        finally:
            signals.HELD.pop()
