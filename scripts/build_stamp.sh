#!/usr/bin/env bash
# Prints a digest of everything a venv's build depends on: the sources, the
# build files, the bootstrap itself, and the settings given as arguments.
# bootstrap.sh stores it in the venv; a venv whose stamp matches needs no rebuild.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
{
    printf '%s\n' "$@"
    find src python CMakeLists.txt pyproject.toml scripts/bootstrap.sh \
        scripts/install_build_requirements.sh -type f \
        -not -path '*/__pycache__/*' -not -name '*.so' -not -name '*.pyc' -print0 |
        sort -z | xargs -0 sha1sum
} | sha1sum | cut -d' ' -f1
