#!/usr/bin/env bash
# The whole suite on each supported Python: bootstrap (apt, venv, build), pytest,
# then pytest again on an AddressSanitizer + UBSan build (scripts/sanitize.sh).
# 3.12 runs with the newest pandas 2, 3.13 with the newest pandas 3.
# TABLORA_PYTHONS="3.12" limits the run to the versions named;
# TABLORA_SKIP_SANITIZER=1 leaves the sanitizer passes out for a quick local run.
# Extra arguments go to pytest. Each pass runs on three workers (two cores, but tests
# wait on servers and subprocesses), a test file to a
# worker, so that a file's shared fixtures (a seeded database, a wheel) are made once.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

started=$(date +%s)
versions=${TABLORA_PYTHONS:-3.12 3.13}
WORKERS=(-n "${TABLORA_TEST_WORKERS:-3}" --dist loadfile)
times=()
lap() { times+=("$(printf '%-28s %4ss' "$1" "$(($(date +%s) - $2))")"); }

# Every release build first: tests that read one version's cache or load its
# build from the other then run in each pass, against current code.
t0=$(date +%s)
for version in $versions; do
    TABLORA_PYTHON="$version" bash scripts/bootstrap.sh
done
lap "release builds" "$t0"
for version in $versions; do
    printf '[test] === CPython %s ===\n' "$version"
    export TABLORA_PYTHON="$version"
    venv=.venv
    [ "$version" != 3.12 ] && venv=".venv-$version"
    t0=$(date +%s)
    # pytest exits 5 when it collects nothing; that fails here on purpose.
    "$venv/bin/python" -m pytest tests -q -ra "${WORKERS[@]}" "$@"
    lap "$version release pass" "$t0"

    if [ "${TABLORA_SKIP_SANITIZER:-0}" != 1 ]; then
        t0=$(date +%s)
        # Packaging tests (wheel, stub, command line) check nothing of the module's
        # memory and take most of the sanitized run's time.
        bash scripts/sanitize.sh --ignore=tests/test_wheel.py --ignore=tests/test_typing.py \
            --ignore-glob='tests/test_cli*.py' "${WORKERS[@]}" "$@"
        lap "$version sanitizer build+pass" "$t0"
    fi
done
printf '[test] %s\n' "${times[@]}"
printf '[test] all passes green in %ss\n' "$(($(date +%s) - started))"
