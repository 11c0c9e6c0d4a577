"""Stand-ins for SQLAlchemy, pandas, pickle, os and logging, so that the
call-path figures time the class's own work and not the libraries'.

The fakes are Python functions, as the real create_engine, engine.connect,
inspector methods, read_sql_table, os.path.exists and logging functions are:
a native caller pays for entering the interpreter, as it would with the real
ones. pickle is faked too, so that pickling does not drown the call path.
`open` cannot be faked (the native module holds the builtin it found at
import), so both sides open a real file on tmpfs.
"""
import posixpath
import types

TABLES = ["customers", "orders", "products"]
COLUMNS = [{"name": "id", "type": "INTEGER"},
           {"name": "email", "type": "VARCHAR(120)"},
           {"name": "created", "type": "DATETIME"}]


class FakeFrame:
    """The least of a DataFrame that the class touches: `attrs`."""

    def __init__(self, attrs=None):
        self.attrs = {} if attrs is None else attrs


FRAMES = {name: FakeFrame() for name in TABLES}


def read_sql_table(table_name, con):
    return FRAMES[table_name]


class FakeConnection:
    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        return None


CONNECTION = FakeConnection()


class FakeEngine:
    def connect(self):
        return CONNECTION


ENGINE = FakeEngine()


def create_engine(url):
    return ENGINE


class FakeInspector:
    def get_table_names(self):
        return TABLES

    def get_columns(self, table_name):
        return COLUMNS


INSPECTOR = FakeInspector()


def inspect(subject):
    return INSPECTOR


def _dump(obj, file):
    return None


def _load(file):
    # Fresh frames without `name`, as unpickled DataFrames come back.
    return [FakeFrame({"name": name}) for name in TABLES]


pickle = types.SimpleNamespace(dump=_dump, load=_load)


def _noop1(msg):
    return None


def _basic_config(**kwargs):
    return None


logging = types.SimpleNamespace(INFO=20, basicConfig=_basic_config, info=_noop1, error=_noop1)
pd = types.SimpleNamespace(read_sql_table=read_sql_table, DataFrame=FakeFrame)


def _missing(path):
    return False


def _present(path):
    return True


def make_os(cache_present):
    """An `os` whose path.exists answers without a system call; join is the real one."""
    exists = _present if cache_present else _missing
    return types.SimpleNamespace(path=types.SimpleNamespace(join=posixpath.join, exists=exists))


class NullOut:
    # print() calls file.write(text); a builtin stored on the class is not
    # bound, so this is a native no-op like a real stream's write.
    write = len

    def flush(self):
        pass


def bindings(cache_present):
    """Names to put into a module's globals for a call-path measurement."""
    return {"create_engine": create_engine, "inspect": inspect, "pd": pd,
            "logging": logging, "pickle": pickle, "os": make_os(cache_present)}
