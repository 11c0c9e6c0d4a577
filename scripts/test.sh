#!/usr/bin/env bash
# The whole suite on each supported Python: bootstrap (apt, venv, build), pytest,
# then pytest again on an AddressSanitizer + UBSan build (scripts/sanitize.sh).
# 3.12 runs with the newest pandas 2, 3.13 with the newest pandas 3.
# TABLORA_PYTHONS="3.12" limits the run to the versions named;
# TABLORA_SKIP_SANITIZER=1 leaves the sanitizer passes out for a quick local run.
# Extra arguments go to pytest.
#
# The versions run side by side, each writing its own log (printed when both are
# done), and each pass on two workers, a test file to a worker, so that a file's
# shared fixtures (a seeded database, a wheel) are made once. Tests wait on
# servers and subprocesses often enough that this keeps two cores busy.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

started=$(date +%s)
versions=${TABLORA_PYTHONS:-3.12 3.13}
WORKERS=(-n "${TABLORA_TEST_WORKERS:-2}" --dist loadfile)
LOGS=build/test-logs
mkdir -p "$LOGS"

lap() { printf '[test] %-28s %4ss\n' "$1" "$(($(date +%s) - $2))"; }

# One version's passes. Its own venvs, build dirs and test servers: nothing is
# shared with the other version but the read-only release builds.
passes() {
    local version=$1 venv=.venv t0
    shift
    [ "$version" != 3.12 ] && venv=".venv-$version"
    export TABLORA_PYTHON="$version"
    printf '[test] === CPython %s ===\n' "$version"
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
}

# Every release build first: tests that read one version's cache or load its
# build from the other then run in each pass, against current code.
t0=$(date +%s)
for version in $versions; do
    TABLORA_PYTHON="$version" bash scripts/bootstrap.sh
done
builds=$(lap "release builds" "$t0")

pids=()
for version in $versions; do
    passes "$version" "$@" >"$LOGS/$version.log" 2>&1 &
    pids+=("$!")
done
status=0
failed=()
i=0
for version in $versions; do
    if ! wait "${pids[$i]}"; then
        status=1
        failed+=("$version")
    fi
    i=$((i + 1))
done
for version in $versions; do
    cat "$LOGS/$version.log"
done
printf '%s\n' "$builds"
grep -h '^\[test\] .* [0-9]*s$' "$LOGS"/*.log || true
if [ "$status" -ne 0 ]; then
    printf '[test] FAILED: CPython %s (logs in %s)\n' "${failed[*]}" "$LOGS" >&2
    exit 1
fi
printf '[test] all passes green in %ss\n' "$(($(date +%s) - started))"
