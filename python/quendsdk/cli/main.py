"""`quendsdk COMMAND`: parse the command line and hand it to the command.

The extension, SQLAlchemy and pandas are imported only when a command needs
them, so `--help` is quick and importing this module leaves quendsdk.tablora
unimported.
"""

from __future__ import annotations

import argparse
import sys
import threading
from typing import Any

from quendsdk.cli import base, output, signals
from quendsdk.cli.connection import refuse_password_values
from quendsdk.cli.errors import UsageError

PROG = "quendsdk"
DISTRIBUTION = "quendsdk-tablora"
# Runs in one process take turns: each changes process-wide state for its
# duration (signal handlers, the root logger's filter, the warnings hooks, the
# module's globals) and puts it back before the next one starts.
_ONE_AT_A_TIME = threading.Lock()


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed(DISTRIBUTION)
    except PackageNotFoundError:
        return "(version unknown: not installed)"


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str | None = None) -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"{PROG} {version()}", flush=True)
        parser.exit()


class _Parser(argparse.ArgumentParser):
    """-h is the host, as in the mysql client; help is --help only."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs["add_help"] = False
        super().__init__(*args, **kwargs)
        self.add_argument("--help", action="help", default=argparse.SUPPRESS,
                          help="show this help message and exit")


def build_parser() -> argparse.ArgumentParser:
    from quendsdk.commands import COMMANDS

    parser = _Parser(
        prog=PROG,
        description="Read every table of a MySQL/MariaDB database into pandas data frames "
                    "with quendsdk.tablora.MySQLDatabaseTablora (pickle cache included).")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true",
                        help="show each step, the connection URL (password hidden) and the "
                             "tool's own log records")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress display and no warnings (progress is shown on "
                             "stderr only when it is a terminal)")
    for command in COMMANDS:
        p = sub.add_parser(command.name, parents=[common],  # type: ignore[list-item]
                           help=command.summary,
                           description=command.description)
        command.add_options(p)
        p.set_defaults(command_object=command)
    return parser


def main(argv: list[str] | None = None) -> int:
    if sys.stdout is None:
        print("error: standard output is closed; redirect it to a file or /dev/null "
              "instead", file=sys.stderr)
        return base.EXIT_ERROR
    argv = sys.argv[1:] if argv is None else list(argv)
    with _ONE_AT_A_TIME, signals.handled():
        return _main(argv)


def _main(argv: list[str]) -> int:
    session = base.Session(output.Output())
    try:
        refuse_password_values(argv)
        args = build_parser().parse_args(argv)
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return base.EXIT_USAGE
    except BaseException as exc:
        if signals.received() is not None or signals.is_stop(exc):
            return base.exit_status(exc, session)
        raise  # argparse's own exit: --help, a usage error
    session.output.verbose, session.output.quiet = args.verbose, args.quiet
    with output.configured(session.output):
        try:
            status = args.command_object.run(args, session)
        except BaseException as exc:
            return base.exit_status(exc, session)
        # A stop a library swallowed still ends the command as a stop.
        return base.exit_status(None, session) if signals.received() is not None else status
