#!/usr/bin/env bash
# One command for the whole suite: bootstrap (apt, .venv, build), then pytest.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/bootstrap.sh
# pytest exits 5 when it collects nothing; that fails here on purpose.
exec .venv/bin/python -m pytest tests -q -ra "$@"
