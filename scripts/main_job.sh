#!/usr/bin/env bash
# The main job: bootstrap (apt, .venv, build; quick when nothing changed), then the
# demo against a throwaway MariaDB.
# Extra arguments go to the demo, e.g. --rows 100000; `run ...` as the first argument
# runs the tool against your own server instead (no server is started).
# TABLORA_PYTHON=3.13 runs it on CPython 3.13 (default 3.12).
set -euo pipefail

# The command runs where the caller stands, so that relative paths such as
# --cache-path mean what they say; bootstrap.sh finds the repository itself.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/bootstrap.sh" >&2
venv="$root/.venv"
[ "${TABLORA_PYTHON:-3.12}" != 3.12 ] && venv="$root/.venv-$TABLORA_PYTHON"
command=demo
if [ "${1:-}" = run ]; then
    command=run
    shift
fi
# exec: Ctrl-C and SIGTERM reach the front end itself, which stops its server.
# The console script puts its own directory, not the caller's, on sys.path.
exec "$venv/bin/quendsdk" "$command" "$@"
