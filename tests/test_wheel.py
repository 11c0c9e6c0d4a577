"""The built wheel: what it holds, and that it works installed on its own."""

from __future__ import annotations

import email
import json
import os
import subprocess
import sys
import textwrap
import tomllib
import zipfile
from pathlib import Path

import pytest

from mariadb_server import SEEDED_ROWS, MariaDB

ROOT = Path(__file__).resolve().parents[1]
PACKAGE_SRC = ROOT / "python" / "quendsdk"
DIST_INFO = "quendsdk_tablora-0.2.0.dist-info"

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A wheel built from the work tree in the persistent build dir, with the settings
    bootstrap uses, so that what bootstrap compiled is not compiled again. Nothing
    else builds while the suite runs."""
    work = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=str(os.cpu_count() or 2))
    res = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", "-w", str(work / "dist"),
         "-Ccmake.define.TABLORA_SANITIZE=OFF", str(ROOT)],
        capture_output=True, text=True, env=env, timeout=600)
    assert res.returncode == 0, res.stdout[-4000:] + res.stderr[-4000:]
    wheels = list((work / "dist").glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_holds_only_the_package(wheel: Path) -> None:
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
    dist_info = {n for n in names if n.split("/")[0].endswith(".dist-info")}
    assert {n.split("/")[0] for n in dist_info} == {DIST_INFO}
    assert {"METADATA", "WHEEL", "RECORD"} <= {n.split("/", 1)[1] for n in dist_info}
    package = names - dist_info
    extensions = {n for n in package if n.endswith(".so")}
    assert len(extensions) == 1
    (ext,) = extensions
    tag = "%d%d" % sys.version_info[:2]  # built for the interpreter running the tests
    assert ext.startswith(f"quendsdk/tablora.cpython-{tag}-") and ext.count("/") == 1
    expected = {f"quendsdk/{p.relative_to(PACKAGE_SRC)}" for p in PACKAGE_SRC.rglob("*.py")}
    expected |= {"quendsdk/tablora.pyi", "quendsdk/py.typed", ext}
    assert package == expected


def test_wheel_metadata(wheel: Path) -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    with zipfile.ZipFile(wheel) as zf:
        meta = email.message_from_bytes(zf.read(f"{DIST_INFO}/METADATA"))
        license_text = zf.read(f"{DIST_INFO}/licenses/LICENSE").decode()
    assert license_text == (ROOT / "LICENSE").read_text()
    assert meta["License-Expression"] == "MIT"
    assert meta["Version"] == project["version"]
    assert {
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: Implementation :: CPython",
        "Operating System :: POSIX :: Linux",
        "Topic :: Database",
        "Typing :: Typed",
    } <= set(meta.get_all("Classifier", []))


CHECK = textwrap.dedent("""
    import json, os, sys
    import quendsdk.tablora as tablora
    host, user, database, cache_dir = sys.argv[1:5]
    tool = tablora.MySQLDatabaseTablora(user, os.environ["TABLORA_PASSWORD"], host, database,
                                        cache_path=cache_dir)
    tool.connect()
    frames = tool.prepare_data()
    print(json.dumps({
        "module": tablora.__file__,
        "frames": [[df.name, list(df.shape)] for df in frames],
        "cache": os.path.getsize(os.path.join(cache_dir, "db_cache.pkl")),
    }))
""")


def test_wheel_works_in_a_fresh_venv(wheel: Path, mariadb: MariaDB, tmp_path: Path) -> None:
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True,
                   timeout=120)
    py = str(venv / "bin" / "python")
    # Dependencies come from pip's cache or the index, as for any user, installed by
    # this pip into the new venv. No byte-compiling: most of the install's time, and
    # nothing the test looks at.
    res = subprocess.run([sys.executable, "-m", "pip", "--python", py, "install", "-q",
                          "--disable-pip-version-check", "--no-compile", str(wheel)],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout[-4000:] + res.stderr[-4000:]

    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env["TABLORA_PASSWORD"] = mariadb.password
    cache_dir = tmp_path / "cache"
    cache_dir.mkdir()
    res = subprocess.run([py, "-c", CHECK, mariadb.host_text, mariadb.user, "shop",
                          str(cache_dir)],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    assert res.returncode == 0, res.stderr
    got = json.loads(res.stdout.splitlines()[-1])
    assert Path(got["module"]).is_relative_to(venv)
    assert got["frames"] == [[t, [len(rows), len(rows[0])]] for t, rows in sorted(SEEDED_ROWS.items())]
    assert got["cache"] > 0

    # The command ships too, and serves the cache just written when it is named.
    res = subprocess.run([str(venv / "bin" / "quendsdk"), "run", "--no-defaults", "-h",
                          mariadb.host_text, "-u", mariadb.user, "-D", "shop", "--no-schemas",
                          "--cache-path", str(cache_dir), "--cache-file", "db_cache.pkl"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120,
                         stdin=subprocess.DEVNULL)
    assert res.returncode == 0, res.stderr
    assert "(from the cache" in res.stdout and "has no record" in res.stderr
