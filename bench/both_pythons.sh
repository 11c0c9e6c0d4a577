#!/usr/bin/env bash
# The call-path, database and import figures on CPython 3.12 (pandas 2) and
# 3.13 (pandas 3), one after the other in one run, from the test venvs that
# scripts/bootstrap.sh makes. Extra arguments go to bench/run.py (--quick, --only).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
args=("$@")
[ ${#args[@]} -eq 0 ] && args=(--only callpath,database,import)
for venv in .venv .venv-3.13; do
    if [ ! -x "$venv/bin/python" ]; then
        v=3.12; [ "$venv" = .venv-3.13 ] && v=3.13
        printf '[bench] error: no %s; run TABLORA_PYTHON=%s bash scripts/bootstrap.sh\n' "$venv" "$v" >&2
        exit 1
    fi
done
for venv in .venv .venv-3.13; do
    printf '\n### %s\n\n' "$("$venv/bin/python" -c 'import sys, pandas; print("CPython", sys.version.split()[0], "with pandas", pandas.__version__)')"
    "$venv/bin/python" bench/run.py "${args[@]}"
done
