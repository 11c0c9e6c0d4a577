#!/usr/bin/env bash
# The main job: bootstrap (apt, .venv, build), then the demo against a throwaway MariaDB.
# Extra arguments go to the demo, e.g. --rows 100000; `run ...` as the first argument
# runs the tool against your own server instead (no server is started).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/bootstrap.sh >&2
command=demo
if [ "${1:-}" = run ]; then
    command=run
    shift
fi
# exec: Ctrl-C and SIGTERM reach the front end itself, which stops its server.
exec .venv/bin/python -m quendsdk "$command" "$@"
