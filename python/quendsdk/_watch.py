"""Watching the tool from outside while it works: which table it is on, progress on a
terminal, and the library warnings it triggers, collected per table.

quendsdk.tablora looks up its globals (`pd`, `inspect`) at each use, so stand-ins
put into its namespace see every table it reads or describes. They hand out the
real objects, act only for the thread that installed them, and are put back on
every way out, interrupts included.
"""

from __future__ import annotations

import contextlib
import functools
import sys
import threading
import warnings
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any

ROW_ESTIMATES = ("SELECT TABLE_NAME, TABLE_ROWS FROM information_schema.TABLES "
                 "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'BASE TABLE'")


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


class Observer:
    """What one command saw of the tool: the current table, warnings, a progress display."""

    def __init__(self, show_progress: bool) -> None:
        self.show_progress = show_progress
        self.table: str | None = None
        # (category, message) -> tables it was seen for, in first-seen order
        self.warnings: dict[tuple[str, str], dict[str, None]] = {}
        self._progress: Any = None
        self._task: Any = None
        self._estimates: dict[str, int] = {}
        self._tables_total: int | None = None
        self._tables_done = 0
        self._rows_done = 0
        self._rows_estimate: int | None = None

    # -- the hooks
    def _describing(self, get_columns: Callable[..., Any], table_name: Any, *args: Any,
                    **kwargs: Any) -> Any:
        self.table = str(table_name)
        return get_columns(table_name, *args, **kwargs)

    def _reading(self, read_sql_table: Callable[..., Any], table_name: Any, *args: Any,
                 **kwargs: Any) -> Any:
        self.table = str(table_name)
        estimate = self._estimates.get(self.table)
        self._show(f"reading {table_name}" + (f" (~{estimate:,} rows)" if estimate else ""))
        df = read_sql_table(table_name, *args, **kwargs)
        shape = getattr(df, "shape", None)
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
        """Stand-ins in `module`'s namespace and warnings collected, for the block."""
        namespace = vars(module)
        owner = threading.get_ident()
        stand_ins: dict[str, Any] = {}
        if "pd" in namespace:
            stand_ins["pd"] = _Delegate(namespace["pd"], {"read_sql_table": self._reading}, owner)
        if "inspect" in namespace:
            stand_ins["inspect"] = _InspectStandIn(namespace["inspect"],
                                                   {"get_columns": self._describing}, owner)
        saved = {name: namespace[name] for name in stand_ins}
        try:
            with warnings.catch_warnings():
                if not sys.warnoptions:  # -W and PYTHONWARNINGS stay the user's
                    warnings.simplefilter("always")
                warnings.showwarning = self._warned
                namespace.update(stand_ins)
                yield
        finally:
            for name, original in saved.items():
                if namespace.get(name) is stand_ins[name]:
                    namespace[name] = original

    def report(self) -> None:
        """One stderr line per distinct warning, naming the tables it concerns."""
        for (category, text), tables in self.warnings.items():
            where = f"{', '.join(tables)}: " if tables else ""
            print(f"warning: {where}{text} ({category})", file=sys.stderr)

    # -- progress
    @contextlib.contextmanager
    def reading(self, engine: Any) -> Iterator[None]:
        """Progress on stderr for one read of the database, when asked for and possible."""
        if not self.show_progress or engine is None:
            yield
            return
        from rich.console import Console
        from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn

        console = Console(stderr=True)
        if not console.is_terminal:
            yield
            return
        estimates = _row_estimates(engine)
        self._estimates = estimates or {}
        self._tables_total = len(estimates) if estimates is not None else None
        self._rows_estimate = sum(self._estimates.values()) if estimates is not None else None
        self._rows_done = self._tables_done = 0
        progress = Progress(TextColumn("{task.description}"), BarColumn(),
                            TextColumn("{task.fields[counts]}"), TimeElapsedColumn(),
                            console=console, transient=True, redirect_stdout=False,
                            redirect_stderr=False)
        # The bar follows the rows (estimated), which is where the time goes.
        self._task = progress.add_task("listing tables", counts=self._counts(),
                                       total=self._rows_estimate or None)
        self._progress = progress
        progress.start()
        try:
            yield
        finally:
            self._progress = None
            progress.stop()

    def _counts(self) -> str:
        tables = f"{self._tables_done}/{self._tables_total if self._tables_total is not None else '?'}"
        rows = f"{self._rows_done:,}"
        if self._rows_estimate is not None:
            rows += f" of ~{self._rows_estimate:,}"
        return f"{tables} tables, {rows} rows"

    def _show(self, description: str) -> None:
        if self._progress is not None:
            self._progress.update(self._task, description=description, counts=self._counts(),
                                  completed=self._rows_done)
            self._progress.refresh()


def _row_estimates(engine: Any) -> dict[str, int] | None:
    """information_schema's row counts (estimates for InnoDB); None if they cannot be had."""
    from sqlalchemy import text

    try:
        with engine.connect() as conn:
            rows = conn.execute(text(ROW_ESTIMATES)).all()
    except Exception:  # progress goes on without totals
        return None
    return {str(name): int(count or 0) for name, count in rows}
