# Types of the native module quendsdk.tablora.
import sqlalchemy.engine
from pandas import DataFrame

class MySQLDatabaseTablora:
    connection_string: str
    engine: sqlalchemy.engine.Engine | None
    cache_path: str
    cache_file: str
    def __init__(
        self,
        username: str,
        password: str,
        host: str,
        database: str,
        cache_path: str = ".",
        cache_file: str = "db_cache.pkl",
    ) -> None: ...
    def connect(self) -> None: ...
    def prepare_data(self) -> list[DataFrame]: ...
    def print_table_schemas(self) -> None: ...
