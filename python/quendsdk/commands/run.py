"""`quendsdk run`: every table of your database, from its cache or from the server."""

from __future__ import annotations

import argparse

from quendsdk.cli import connection, reading
from quendsdk.cli.base import EXIT_OK, Command, Session


class RunCommand(Command):
    name = "run"
    summary = "read every table of your database (or serve its cache) and summarise it"
    description = ("Read every table of a MySQL/MariaDB database into pandas data frames, or "
                   "serve them from that connection's cache without connecting. Prints the "
                   "schemas, one line per table and where the data came from. The cache is a "
                   "pickle: only files you wrote yourself are ever loaded.")

    def add_options(self, parser: argparse.ArgumentParser) -> None:
        connection.add_options(parser)
        reading.add_read_options(parser)
        parser.add_argument("--data", action=argparse.BooleanOptionalAction, default=True,
                            help="read the data; --no-data prints the schemas only "
                                 "(default: yes)")

    def run(self, args: argparse.Namespace, session: Session) -> int:
        target = reading.target_of(args, session)
        if not args.data:
            return self._schemas_only(args, session, target)
        reading.summarise(session, reading.read_watched(args, session, target))
        return EXIT_OK

    def _schemas_only(self, args: argparse.Namespace, session: Session,
                      target: connection.Target) -> int:
        password = connection.password_for(target)
        tool = connection.make_tool(target, password, ".", reading.TOOL_CACHE_FILE)
        reading.connect(tool, session, args.schemas)
        session.output.line("    no data read (--no-data)")
        return EXIT_OK
