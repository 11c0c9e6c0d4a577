"""Builds and imports the test-only runtime probe extension (tests/probe)."""

from __future__ import annotations

import fcntl
import importlib.util
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted((ROOT / "src" / "runtime").glob("*.cpp")) + [
    ROOT / "src" / "module" / "state.cpp",
    ROOT / "tests" / "probe" / "runtime_probe.cpp",
]
HEADERS = sorted((ROOT / "src").rglob("*.h")) + sorted((ROOT / "src").rglob("*.def"))


def build_probe(out_dir: Path):
    """Compiles the probe when a source is newer than the library; returns the module."""
    name = "_tablora_runtime_probe"
    # Under the preloaded sanitizer runtime the probe is instrumented too, so
    # that its hostile tests are checked like the module.
    sanitize = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"] if "libasan" in os.environ.get(
        "LD_PRELOAD", "") else []
    if sanitize:
        out_dir = out_dir / "asan"
    target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    newest = max(p.stat().st_mtime for p in SOURCES + HEADERS)
    out_dir.mkdir(parents=True, exist_ok=True)
    # Parallel test workers build it once between them, and never load a half-written one.
    with open(out_dir / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not target.exists() or target.stat().st_mtime < newest:
            compiler = shutil.which("g++") or "c++"
            partial = target.with_name(f".{target.name}.{os.getpid()}")
            subprocess.run(
                [compiler, "-shared", "-fPIC", "-O0", "-g", "-std=c++17", "-Wall", "-Wextra", *sanitize,
                 "-fvisibility=hidden", f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}",
                 *map(str, SOURCES), "-o", str(partial)],
                check=True,
            )
            os.replace(partial, target)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
