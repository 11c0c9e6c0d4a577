"""The subcommands, one module each; adding one is a module and a line here."""

from __future__ import annotations

from quendsdk.cli.base import Command
from quendsdk.commands.cache import CacheCommand
from quendsdk.commands.demo import DemoCommand
from quendsdk.commands.export import ExportCommand
from quendsdk.commands.run import RunCommand

COMMANDS: list[Command] = [RunCommand(), ExportCommand(), CacheCommand(), DemoCommand()]
