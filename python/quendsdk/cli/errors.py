"""Errors a command reports as one `error:` line, and how a library's error reads there."""

from __future__ import annotations

from quendsdk.cli.output import one_line

# MySQL client/server error numbers (e.orig.args[0] of a driver error).
ER_DBACCESS_DENIED = 1044
ER_ACCESS_DENIED = 1045
ER_BAD_DB = 1049
CR_CONNECTION_ERROR = 2002  # the Unix socket
CR_CONN_HOST_ERROR = 2003


class UserError(Exception):
    """A problem the user can fix; its text is shown as it stands."""


class UsageError(UserError):
    """A command line that makes no sense: exit status 2, like argparse's own errors."""


def describe(exc: BaseException, where: str = "?", user: str = "?", database: str = "?") -> str:
    """The one line shown for an error, without the "error: " prefix.

    `where` is the server as the user named it: host:port, or the socket path.
    """
    if isinstance(exc, UserError):
        return one_line(exc)
    orig = getattr(exc, "orig", None)
    code = None
    server_text = ""
    if orig is not None and getattr(orig, "args", None) and isinstance(orig.args[0], int):
        code = orig.args[0]
        server_text = one_line(orig.args[1]) if len(orig.args) > 1 else ""
    if code is not None and _is_operational_error(exc):
        if code in (CR_CONN_HOST_ERROR, CR_CONNECTION_ERROR):
            return (f"cannot reach a MySQL server at {where}; is it running, and are host "
                    f"and port (or socket) right? ({server_text})")
        if code == ER_ACCESS_DENIED:
            return (f"access denied for user {user!r} at {where}: wrong user name or "
                    f"password ({server_text})")
        if code == ER_DBACCESS_DENIED:
            return (f"access denied: user {user!r} may not use database {database!r}, or it "
                    f"does not exist ({server_text})")
        if code == ER_BAD_DB:
            return f"unknown database {database!r} on {where} ({server_text})"
    # SQLAlchemy's own text adds a "Background on this error" link; the driver's is enough.
    text = orig if orig is not None else exc
    return f"{type(exc).__name__}: {one_line(text)}"


def _is_operational_error(exc: BaseException) -> bool:
    try:
        from sqlalchemy.exc import OperationalError
    except ImportError:
        return False
    return isinstance(exc, OperationalError)
