#!/usr/bin/env bash
# Installs the build requirements into the venv given, asking the backend too
# (it adds cmake/ninja from PyPI when the system ones will not do), so that
# `pip install --no-build-isolation` can keep a persistent build dir: a fresh
# isolated env each time makes scikit-build-core wipe the CMake cache.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
VENV="$1"
PIP=("$VENV/bin/python" -m pip install -q --progress-bar off)
# Plain $(...) so that a failing lookup stops the script (set -e).
reqs=$("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))')
mapfile -t build_reqs <<<"$reqs"
"${PIP[@]}" "${build_reqs[@]}"
reqs=$("$VENV/bin/python" -c '
from scikit_build_core.build import get_requires_for_build_wheel
print("\n".join(get_requires_for_build_wheel()))')
if [ -n "$reqs" ]; then
    mapfile -t backend_reqs <<<"$reqs"
    printf '[build-requirements] backend asks for: %s\n' "${backend_reqs[*]}"
    "${PIP[@]}" "${backend_reqs[@]}"
fi
