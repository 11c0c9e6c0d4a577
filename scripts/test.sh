#!/usr/bin/env bash
# The whole suite: bootstrap (apt, .venv, build), pytest, then pytest again on an
# AddressSanitizer + UBSan build (scripts/sanitize.sh). TABLORA_SKIP_SANITIZER=1
# leaves the second pass out for a quick local run. Extra arguments go to pytest.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/bootstrap.sh
# pytest exits 5 when it collects nothing; that fails here on purpose.
.venv/bin/python -m pytest tests -q -ra "$@"

if [ "${TABLORA_SKIP_SANITIZER:-0}" != 1 ]; then
    # Packaging tests (wheel, stub, command line) check nothing of the module's
    # memory and take most of the sanitized run's time.
    bash scripts/sanitize.sh --ignore=tests/test_wheel.py --ignore=tests/test_typing.py \
        --ignore=tests/test_cli.py "$@"
fi
