"""MySQLDatabaseTablora written in plain Python: the benchmarks' baseline.

Same Python-level behaviour as quendsdk.tablora, including its two additions
(percent-encoded credentials, and the table name kept in df.attrs so that it
survives the cache). Kept in bench/ only.
"""
import sqlalchemy
from sqlalchemy import inspect
import pandas as pd
import os
import pickle
import logging
from datetime import datetime, timedelta
from sqlalchemy import create_engine, inspect
from sqlalchemy.exc import SQLAlchemyError
from urllib.parse import quote

logging.basicConfig(level=logging.INFO, format="%(asctime)s - %(levelname)s - %(message)s")


class MySQLDatabaseTablora:
    def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl"):
        if not all([username, password, host, database]):
            raise ValueError("All connection parameters must be provided and not None.")
        # The native module percent-encodes the formatted user and password.
        self.connection_string = (f"mysql+pymysql://{quote(f'{username}', safe='')}:{quote(f'{password}', safe='')}"
                                  f"@{host}/{database}")
        self.engine = None
        self.cache_path = cache_path
        self.cache_file = cache_file
        logging.basicConfig(level=logging.INFO)

    def connect(self):
        try:
            self.engine = create_engine(self.connection_string)
            with self.engine.connect() as conn:
                pass
            logging.info("Successfully connected to the database.")
        except SQLAlchemyError as e:
            logging.error(f"Error connecting to the database: {e}")
            raise

    def prepare_data(self):
        cache_full_path = os.path.join(self.cache_path, self.cache_file)
        if os.path.exists(cache_full_path):
            try:
                with open(cache_full_path, "rb") as file:
                    loaded = pickle.load(file)
                    # Pickling drops df.name; the native module puts it back from df.attrs.
                    if type(loaded) is list and loaded:
                        frame_type = pd.DataFrame
                        for df in loaded:
                            if not isinstance(df, frame_type):
                                continue
                            own = getattr(df, "__dict__", None)
                            if own and "name" in own:
                                continue
                            attrs = getattr(df, "attrs", None)
                            if isinstance(attrs, dict) and "name" in attrs:
                                object.__setattr__(df, "name", attrs["name"])
                    return loaded
            except Exception as e:
                logging.error(f"Error loading cache: {e}")
        if not self.engine:
            raise ConnectionError("Database connection not established.")
        dataframes = []
        try:
            with self.engine.connect() as connection:
                inspector = inspect(self.engine)
                for table_name in inspector.get_table_names():
                    df = pd.read_sql_table(table_name, connection)
                    # As the native module does: an instance attribute, and a copy pickling keeps.
                    object.__setattr__(df, "name", table_name)
                    df.attrs["name"] = table_name
                    dataframes.append(df)
            with open(cache_full_path, "wb") as file:
                pickle.dump(dataframes, file)
            return dataframes
        except Exception as e:
            logging.error(f"Error fetching tables: {e}")
            raise

    def print_table_schemas(self):
        if not self.engine:
            raise ConnectionError("Database connection not established.")
        try:
            inspector = inspect(self.engine)
            for table_name in inspector.get_table_names():
                print(f"Table: {table_name}")
                for column in inspector.get_columns(table_name):
                    print(f"  {column['name']}: {column['type']}")
        except Exception as e:
            logging.error(f"Error fetching table schemas: {e}")
            raise
