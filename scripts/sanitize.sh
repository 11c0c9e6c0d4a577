#!/usr/bin/env bash
# The whole pytest suite against an AddressSanitizer + UBSan build of the module.
# Builds into .venv-asan and build/asan (.venv-asan-3.13 and build/asan-3.13 with
# TABLORA_PYTHON=3.13), so the release venv keeps its build; run through
# scripts/bootstrap.sh, which also installs the system packages. Extra arguments go to
# pytest. Fails on any sanitizer report or test failure; prints the report count
# and how long it took.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
SUFFIX=""
[ "${TABLORA_PYTHON:-3.12}" != 3.12 ] && SUFFIX="-$TABLORA_PYTHON"
VENV="$ROOT/.venv-asan$SUFFIX"
BUILD="$ROOT/build/asan$SUFFIX"
REPORTS="$BUILD/reports"
WRAP="$BUILD/unsanitized-bin"

say() { printf '[sanitize] %s\n' "$*"; }
find_prog() {
    command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } || return 1
}

started=$(date +%s)

say "building with TABLORA_SANITIZE=ON into ${BUILD#"$ROOT/"}"
TABLORA_VENV="$VENV" TABLORA_BUILD_DIR="$BUILD" TABLORA_SANITIZE=ON TABLORA_EXTRAS=test bash scripts/bootstrap.sh
built=$(date +%s)

# The package imports without the extension (which needs the runtime preloaded).
so=$("$VENV/bin/python" -c 'import pathlib, quendsdk; print(*pathlib.Path(quendsdk.__path__[0]).glob("tablora*.so"))')
libs=$(ldd "$so")  # not piped into grep -q: an early exit would fail the pipe
if [[ "$libs" != *libasan* ]]; then
    say "error: $so is not a sanitizer build" >&2
    exit 1
fi

# The test servers are not instrumented: they run without the preloaded runtime.
mkdir -p "$WRAP"
for prog in mariadbd mariadb-install-db; do
    real=$(find_prog "$prog") || { say "error: $prog missing; run scripts/bootstrap.sh" >&2; exit 1; }
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$WRAP/$prog"
    chmod +x "$WRAP/$prog"
done

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
say "running pytest with $runtimes preloaded"
set +e
env LD_PRELOAD="$runtimes" PATH="$WRAP:$PATH" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
    "$VENV/bin/python" -m pytest tests -q -ra "$@"
status=$?
set -e
finished=$(date +%s)

count=$(cat "$REPORTS"/* 2>/dev/null | grep -cE 'ERROR: AddressSanitizer|runtime error:' || true)
for report in "$REPORTS"/*; do
    [ -e "$report" ] && { say "report $report:"; cat "$report"; }
done
say "sanitizer reports: $count"
say "time: build $((built - started))s, tests $((finished - built))s, total $((finished - started))s"
[ "$status" -eq 0 ] && [ "$count" -eq 0 ]
