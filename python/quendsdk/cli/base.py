"""What every command shares: its options' home, the session it runs in, and how its
end (success, an error, a stop, a closed pipe) becomes one exit status and one line.
"""

from __future__ import annotations

import argparse
import signal
import sys
from dataclasses import dataclass

from quendsdk.cli import errors, signals
from quendsdk.cli.output import EXIT_BROKEN_PIPE, Output

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2


@dataclass
class Session:
    """One command's run: its output, and what an error line should name."""

    output: Output
    where: str = "?"
    user: str = "?"
    database: str = "?"

    def about(self, where: str, user: str, database: str) -> None:
        self.where, self.user, self.database = where, user, database


class Command:
    """One subcommand: its name, help, options, and what it does."""

    name: str = ""
    summary: str = ""
    description: str = ""

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        pass

    def run(self, args: argparse.Namespace, session: Session) -> int:
        raise NotImplementedError


def exit_status(exc: BaseException | None, session: Session) -> int:
    """The status for a command that ended with `exc` (None: it returned)."""
    stop = signals.received()
    if stop is None and exc is not None:
        for e in _chain(exc):
            if signals.is_stop(e):
                stop = signal.SIGINT if isinstance(e, KeyboardInterrupt) else signal.SIGTERM
                break
    if stop is not None:
        print(f"error: {signals.message(stop)}", file=sys.stderr)
        return signals.exit_status(stop)
    if exc is None:
        return EXIT_OK
    if isinstance(exc, BrokenPipeError) and session.output.broken():
        return EXIT_BROKEN_PIPE
    if isinstance(exc, errors.UsageError):
        print(f"error: {errors.describe(exc)}", file=sys.stderr)
        return EXIT_USAGE
    if not isinstance(exc, Exception):
        raise exc  # SystemExit of argparse, and the like
    print(f"error: {errors.describe(exc, session.where, session.user, session.database)}",
          file=sys.stderr)
    log = getattr(exc, "log", "")
    for line in log.splitlines()[-8:]:
        print(f"    mariadbd: {line}", file=sys.stderr)
    return EXIT_ERROR


def _chain(exc: BaseException) -> list[BaseException]:
    todo: list[BaseException | None] = [exc]
    seen: list[BaseException] = []
    while todo:
        e = todo.pop()
        if e is None or any(e is s for s in seen):
            continue
        seen.append(e)
        todo += [e.__cause__, None if e.__suppress_context__ else e.__context__]
    return seen
