#!/usr/bin/env bash
# The main job: bootstrap (apt, .venv, build), then the demo against a throwaway MariaDB.
# Extra arguments go to the demo, e.g. --rows 100000.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/bootstrap.sh
# exec: Ctrl-C and SIGTERM reach the demo itself, which stops its server.
exec .venv/bin/python -m quendsdk demo "$@"
