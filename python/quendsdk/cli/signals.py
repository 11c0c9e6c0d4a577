"""SIGINT and SIGTERM inside a command: raised as exceptions while it works, recorded
always, so that a stop decides the exit status whatever a library did with the exception.

Cleanup that must run to its end holds stops for its duration:

    finally:
        HELD.append(None)   # first statement: a C-level call, no handler runs before it
        try:
            ...cleanup...
        finally:
            HELD.pop()

A Python-level handler runs only at the interpreter's check points (function entry,
loop back-edges, after a call returns), so a pending signal is seen after the
append and only recorded. A helper function or a `with` would open a check point
before the hold takes effect, which is why the hold is written out.
"""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
EXIT_INTERRUPTED = 128 + signal.SIGINT  # 130
EXIT_TERMINATED = 128 + signal.SIGTERM  # 143

# Non-empty while cleanup holds stops. A list, so that entering is one C call.
HELD: list[None] = []
# Every stop signal that reached the command, in order.
_received: list[int] = []


class Terminated(SystemExit):
    """Raised for SIGTERM; a SystemExit, so `except Exception` clauses let it pass."""


def stop_exception(signum: int) -> BaseException:
    if signum == signal.SIGINT:
        return KeyboardInterrupt()
    return Terminated(128 + signum)


def is_stop(exc: BaseException | None) -> bool:
    return isinstance(exc, (KeyboardInterrupt, Terminated))


def _on_stop(signum: int, frame: FrameType | None) -> None:
    _received.append(signum)
    # While cleanup holds stops, or while a stop is already being handled, one
    # more exception would only cut that short; the record is enough.
    if HELD or is_stop(sys.exception()):
        return
    raise stop_exception(signum)


def received() -> int | None:
    """The first stop signal the command received, if any."""
    return _received[0] if _received else None


def raise_if_stopped() -> None:
    """Raise the stop again if one was received and then swallowed by a library."""
    if _received:
        raise stop_exception(_received[0])


def exit_status(signum: int) -> int:
    return EXIT_INTERRUPTED if signum == signal.SIGINT else EXIT_TERMINATED


def message(signum: int) -> str:
    return "interrupted" if signum == signal.SIGINT else "terminated (SIGTERM)"


@contextlib.contextmanager
def handled() -> Iterator[None]:
    """Stop signals raise and are recorded for the block (main thread only).

    Handlers are process-wide: they are installed only on the main thread,
    where the interpreter runs them, and the previous ones are put back.
    """
    _received.clear()
    del HELD[:]
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {s: signal.signal(s, _on_stop) for s in STOP_SIGNALS}
    try:
        yield
    finally:
        HELD.append(None)
        try:
            for s, previous in saved.items():
                signal.signal(s, previous)
        finally:
            HELD.pop()
