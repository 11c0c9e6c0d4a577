"""A cache file written under one pandas line and read under the other.

Needs the release venv of the other Python (scripts/test.sh makes both: 3.12
with pandas 2, 3.13 with pandas 3); skipped when it is not there.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest

from mariadb_server import SEEDED_ROWS, MariaDB

ROOT = Path(__file__).resolve().parents[1]
OTHER_VENV = {(3, 12): ".venv-3.13", (3, 13): ".venv"}[sys.version_info[:2]]

pytestmark = pytest.mark.slow

# Runs in either venv: one prepare_data() on a connected tool, then what came back.
SIDE = r"""
import json, logging, os, sys
import pandas as pd
import quendsdk.tablora as tablora

host, user, password, cache_dir = sys.argv[1:5]
records = []
handler = logging.Handler()
handler.emit = lambda r: records.append(r.getMessage().split("\n")[0][:60])
logging.getLogger().addHandler(handler)

def cell(v):
    if v is None or (not isinstance(v, str) and pd.isna(v)):
        return None
    if isinstance(v, pd.Timestamp):
        return v.isoformat()
    return v.item() if hasattr(v, "item") else v

tool = tablora.MySQLDatabaseTablora(user, password, host, "shop", cache_path=cache_dir)
tool.connect()
frames = tool.prepare_data()
print(json.dumps({
    "pandas": int(pd.__version__.split(".")[0]),
    "logs": [m for m in records if "connected" not in m],
    "frames": [[df.name, df.attrs.get("name"), [[cell(v) for v in row] for row in df.itertuples(index=False)]]
               for df in frames],
}))
"""


def _expected_frames() -> list:
    def cell(v):
        if isinstance(v, Decimal):
            return float(v)
        return v.isoformat() if isinstance(v, dt.datetime) else v
    return [[t, t, [[cell(v) for v in row] for row in rows]] for t, rows in sorted(SEEDED_ROWS.items())]


def _side(python: str, mariadb: MariaDB, cache_dir: Path, env: dict) -> dict:
    res = subprocess.run([python, "-c", SIDE, mariadb.host_text, mariadb.user, mariadb.password, str(cache_dir)],
                         capture_output=True, text=True, env=env, timeout=180)
    assert res.returncode == 0, res.stderr[-3000:]
    return json.loads(res.stdout.splitlines()[-1])


@pytest.mark.parametrize("direction", ["other-writes", "this-writes"])
def test_a_cache_from_the_other_pandas_line_is_served_or_logged_and_reread(
        direction: str, mariadb: MariaDB, tmp_path: Path) -> None:
    other = ROOT / OTHER_VENV / "bin" / "python"
    if not other.exists():
        pytest.skip(f"{OTHER_VENV} is not there (scripts/test.sh makes it)")
    this_env = dict(os.environ)
    # The other venv's build is not instrumented: no sanitizer runtime for it.
    other_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    sides = [(str(other), other_env), (sys.executable, this_env)]
    if direction == "this-writes":
        sides.reverse()
    cache = tmp_path / "db_cache.pkl"

    (write_py, write_env), (read_py, read_env) = sides
    writer = _side(write_py, mariadb, tmp_path, write_env)
    written = cache.read_bytes()
    reader = _side(read_py, mariadb, tmp_path, read_env)

    assert writer["logs"] == [] and writer["frames"] == _expected_frames()
    # Whatever the reader does, its frames hold the database's values and names.
    assert reader["frames"] == _expected_frames()
    if writer["pandas"] <= reader["pandas"]:
        # pandas reads the pickles of older releases: the cache is served as it is.
        assert reader["logs"] == [] and cache.read_bytes() == written
    else:
        # pandas 2 cannot rebuild pandas 3's string columns: the load fails, is
        # logged, and the database is read and cached again.
        assert len(reader["logs"]) == 1 and reader["logs"][0].startswith("Error loading cache: ")
        assert cache.read_bytes() != written
