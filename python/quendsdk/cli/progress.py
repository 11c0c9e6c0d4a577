"""Watching the tool from outside while it works: which table it is on, a progress
display on a terminal, and the library warnings it triggers, collected per table.

quendsdk.tablora looks up its globals (`pd`, `inspect`) at each use, so stand-ins
put into its namespace see every table it reads or describes. They hand out the
real objects, act only for the thread that installed them, and are put back on
every way out. The display never changes the outcome: any error inside it turns
it off and the read goes on.
"""

from __future__ import annotations

import array
import contextlib
import fcntl
import functools
import os
import socket
import struct
import sys
import termios
import threading
import warnings
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any

from quendsdk.cli import signals
from quendsdk.cli.output import Output

# Offset of tcpi_bytes_received in Linux's struct tcp_info (kernel 4.1 and later).
_TCP_BYTES_RECEIVED = 128
_POLL_SECONDS = 0.25


def wanted(args: Any) -> bool:
    """A display on stderr: only on a terminal, and not with --quiet."""
    return not args.quiet and sys.stderr is not None and sys.stderr.isatty()


class _Delegate:
    """Every attribute is the wrapped object's, except those listed in `_hooks`."""

    def __init__(self, real: Any, hooks: dict[str, Callable[..., Any]], owner: int) -> None:
        self._real = real
        self._hooks = hooks
        self._owner = owner

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._real, name)
        hook = self._hooks.get(name)
        if hook is None or threading.get_ident() != self._owner:
            return value
        return functools.partial(hook, value)


class _InspectStandIn(_Delegate):
    """inspect(...) whose inspectors report get_columns(table)."""

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        inspector = self._real(*args, **kwargs)
        if threading.get_ident() != self._owner:
            return inspector
        return _Delegate(inspector, self._hooks, self._owner)


def received_bytes(sock: socket.socket) -> int | None:
    """Bytes the driver has read from a TCP socket: what the kernel received, less
    what still waits in its queue (a local server fills that queue long before the
    driver has parsed it). None where it cannot tell."""
    try:
        info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
        waiting = array.array("i", [0])
        fcntl.ioctl(sock.fileno(), termios.FIONREAD, waiting)
    except (OSError, AttributeError):
        return None
    if len(info) < _TCP_BYTES_RECEIVED + 8:
        return None
    return int(struct.unpack_from("<Q", info, _TCP_BYTES_RECEIVED)[0]) - waiting[0]


def _connection_socket(connection: Any) -> socket.socket | None:
    """A socket object of our own on the driver connection's descriptor, or None."""
    try:
        dbapi = connection.connection.dbapi_connection
        fileno = getattr(dbapi, "fileno", None)
        fd = fileno() if callable(fileno) else dbapi._sock.fileno()
        return socket.socket(fileno=os.dup(fd))
    except Exception:  # no socket to watch: the display shows the time only
        return None


class Watch:
    """What one command saw of the tool: the current table, warnings, a progress display."""

    def __init__(self, output: Output, show_progress: bool) -> None:
        self.output = output
        self.show_progress = show_progress
        self.table: str | None = None
        # (category, message) -> tables it was seen for, in first-seen order
        self.warnings: dict[tuple[str, str], dict[str, None]] = {}
        self._progress: Any = None
        self._task: Any = None
        self._tables: dict[str, dict[str, int]] = {}
        self._tables_done = 0
        self._rows_done = 0
        self._current_rows = 0
        self._rows_estimate: int | None = None
        self._lock = threading.Lock()

    # -- the hooks
    def _describing(self, get_columns: Callable[..., Any], table_name: Any, *args: Any,
                    **kwargs: Any) -> Any:
        self.table = str(table_name)
        return get_columns(table_name, *args, **kwargs)

    def _reading(self, read_sql_table: Callable[..., Any], table_name: Any, *args: Any,
                 **kwargs: Any) -> Any:
        self.table = str(table_name)
        facts = self._tables.get(self.table, {})
        estimate = facts.get("rows")
        self._current_rows = 0
        self._show(f"reading {table_name}" + (f" (~{estimate:,} rows)" if estimate else ""))
        poller = self._start_poller(args[0] if args else kwargs.get("con"), str(table_name),
                                    facts)
        try:
            df = read_sql_table(table_name, *args, **kwargs)
        finally:
            signals.HELD.append(None)
            try:
                if poller is not None:
                    poller()
            finally:
                signals.HELD.pop()
        shape = getattr(df, "shape", None)
        self._current_rows = 0
        self._rows_done += shape[0] if shape else 0
        self._tables_done += 1
        self._show(f"read {table_name}")
        return df

    def _warned(self, message: Warning | str, category: type[Warning], filename: str,
                lineno: int, file: Any = None, line: str | None = None) -> None:
        text = " ".join(str(message).split())
        # The first sentence says what happened; pandas' advice after it is noise here.
        text = text.split(". ")[0]
        tables = self.warnings.setdefault((category.__name__, text), {})
        if self.table is not None:
            tables[self.table] = None

    @contextlib.contextmanager
    def watching(self, module: ModuleType) -> Iterator[None]:
        """Stand-ins in `module`'s namespace and this thread's warnings collected."""
        namespace = vars(module)
        owner = threading.get_ident()
        stand_ins: dict[str, Any] = {}
        if "pd" in namespace:
            stand_ins["pd"] = _Delegate(namespace["pd"], {"read_sql_table": self._reading}, owner)
        if "inspect" in namespace:
            stand_ins["inspect"] = _InspectStandIn(namespace["inspect"],
                                                   {"get_columns": self._describing}, owner)
        saved = {name: namespace[name] for name in stand_ins}
        previous_show = warnings.showwarning

        def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: Any = None, line: str | None = None) -> None:
            if threading.get_ident() == owner:
                self._warned(message, category, filename, lineno, file, line)
            else:  # another thread's warning is none of ours
                previous_show(message, category, filename, lineno, file, line)

        # Every warning of a table counts, not only the first from each place;
        # -W and PYTHONWARNINGS stay the user's.
        always = None if sys.warnoptions else ("always", None, Warning, None, 0)
        try:
            if always is not None:
                warnings.filters.insert(0, always)  # type: ignore[attr-defined]
                warnings._filters_mutated()  # type: ignore[attr-defined]
            warnings.showwarning = show
            namespace.update(stand_ins)
            yield
        finally:
            signals.HELD.append(None)
            try:
                for name, original in saved.items():
                    if namespace.get(name) is stand_ins[name]:
                        namespace[name] = original
                if warnings.showwarning is show:
                    warnings.showwarning = previous_show
                if always is not None:
                    for i, entry in enumerate(warnings.filters):
                        if entry is always:
                            del warnings.filters[i]  # type: ignore[attr-defined]
                            break
                    warnings._filters_mutated()  # type: ignore[attr-defined]
            finally:
                signals.HELD.pop()

    def report(self) -> None:
        """One stderr line per distinct warning, naming the tables it concerns."""
        for (category, text), tables in self.warnings.items():
            where = f"{', '.join(tables)}: " if tables else ""
            self.output.warning(f"{where}{text} ({category})")

    # -- progress
    @contextlib.contextmanager
    def reading(self, tables: dict[str, dict[str, int]] | None) -> Iterator[None]:
        """Progress on stderr for one read of the database, when asked for and possible.

        `tables`: per table its estimated rows and data length, if they could be had.
        """
        self._tables = tables or {}
        self._rows_done = self._tables_done = 0
        if self.show_progress:
            self._guarded(lambda: self._start(tables))
        try:
            yield
        finally:
            signals.HELD.append(None)
            try:
                self._stop_display()
            finally:
                signals.HELD.pop()

    def _start(self, tables: dict[str, dict[str, int]] | None) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn

        console = Console(stderr=True)
        if not console.is_terminal:
            return
        self._rows_estimate = (sum(t.get("rows", 0) for t in tables.values())
                               if tables is not None else None)
        # Table names are data, shown as they stand: no markup.
        progress = Progress(TextColumn("{task.description}", markup=False), BarColumn(),
                            TextColumn("{task.fields[counts]}", markup=False),
                            TimeElapsedColumn(), console=console, transient=True,
                            redirect_stdout=False, redirect_stderr=False,
                            refresh_per_second=4)
        self._task = progress.add_task("listing tables", counts=self._counts(),
                                       total=self._rows_estimate or None)
        progress.start()
        self._progress = progress

    def _guarded(self, step: Callable[[], None]) -> None:
        try:
            step()
        except Exception:
            self._stop_display()

    def _stop_display(self) -> None:
        with self._lock:
            progress, self._progress = self._progress, None
        if progress is not None:
            with contextlib.suppress(Exception):
                progress.stop()

    def _counts(self) -> str:
        total = len(self._tables) if self._tables else "?"
        rows = f"{self._rows_done + self._current_rows:,}"
        if self._rows_estimate is not None:
            rows += f" of ~{self._rows_estimate:,}"
        return f"{self._tables_done}/{total} tables, {rows} rows"

    def _show(self, description: str | None = None) -> None:
        progress = self._progress
        if progress is None:
            return

        def update() -> None:
            fields: dict[str, Any] = {"counts": self._counts(),
                                      "completed": self._rows_done + self._current_rows}
            if description is not None:
                fields["description"] = description
            progress.update(self._task, **fields)
            progress.refresh()

        self._guarded(update)

    def _start_poller(self, connection: Any, table: str,
                      facts: dict[str, int]) -> Callable[[], None] | None:
        """A thread that moves the display during one table's read; returns its stopper."""
        if self._progress is None:
            return None
        sock = _connection_socket(connection)
        start = received_bytes(sock) if sock is not None else None
        rows, length = facts.get("rows", 0), facts.get("data_length", 0)
        stop = threading.Event()

        def poll() -> None:
            while not stop.wait(_POLL_SECONDS):
                got = received_bytes(sock) if sock is not None and start is not None else None
                if got is not None:
                    got -= start  # type: ignore[operator]
                    if rows and length:
                        self._current_rows = min(rows, int(rows * got / length))
                    self._show(f"reading {table}: {got / 1048576:.1f} MiB read")
                else:
                    self._show()  # at least the time moves

        thread = threading.Thread(target=poll, name="quendsdk-progress", daemon=True)
        thread.start()

        def stopper() -> None:
            stop.set()
            thread.join(2)
            if sock is not None:
                sock.close()

        return stopper
