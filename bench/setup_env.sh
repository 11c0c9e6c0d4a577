#!/usr/bin/env bash
# A bench environment next to the test venv: the package built into a build dir
# of its own, plus the comparison libraries of the scale series, which are never
# dependencies of the package. Then runs bench/run.py with any arguments given.
#
#   bash bench/setup_env.sh                # set up (or refresh), then the full run
#   bash bench/setup_env.sh --quick        # set up, then the smoke run
#   TABLORA_BENCH_SETUP_ONLY=1 bash bench/setup_env.sh
#
# TABLORA_PYTHON=3.12|3.13 picks the interpreter behind that version's test venv
# (.venv or .venv-3.13, as scripts/bootstrap.sh makes them; default 3.12); a
# path to an interpreter works too. The venv is $TABLORA_BENCH_VENV, by default
# .venv-bench (.venv-bench-3.13 for 3.13), re-made when its Python version
# differs from the interpreter's.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
say() { printf '[bench-env] %s\n' "$*" >&2; }

choice="${TABLORA_PYTHON:-3.12}"
case "$choice" in
    3.12) test_venv="$ROOT/.venv"; VENV="${TABLORA_BENCH_VENV:-$ROOT/.venv-bench}" ;;
    3.13) test_venv="$ROOT/.venv-3.13"; VENV="${TABLORA_BENCH_VENV:-$ROOT/.venv-bench-3.13}" ;;
    *) test_venv=""; VENV="${TABLORA_BENCH_VENV:-$ROOT/.venv-bench}" ;;
esac
if [ -z "$test_venv" ]; then
    PY="$choice"
elif [ -x "$test_venv/bin/python" ]; then
    # The base interpreter, not the test venv's own python.
    PY=$("$test_venv/bin/python" -c 'import sys; print(sys._base_executable)')
else
    say "error: no $(basename "$test_venv"); run TABLORA_PYTHON=$choice bash scripts/bootstrap.sh first" >&2
    exit 1
fi
want=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

if [ -x "$VENV/bin/python" ] && [ "$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$want" ]; then
    say "$VENV ok (Python $want)"
else
    say "creating $VENV from $PY (Python $want)"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --progress-bar off --upgrade pip
fi
PIP=("$VENV/bin/python" -m pip install -q --progress-bar off)

# mysqlclient compiles against libmariadb through pkg-config.
need_apt=()
command -v pkg-config >/dev/null 2>&1 || need_apt+=(pkg-config)
pkg-config --exists libmariadb 2>/dev/null || pkg-config --exists mysqlclient 2>/dev/null || need_apt+=(libmariadb-dev)
if [ ${#need_apt[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
    say "installing apt packages: ${need_apt[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null \
        || say "apt-get failed; mysqlclient will probably not build"
fi

# The package, without build isolation so that the build dir stays incremental.
bash scripts/install_build_requirements.sh "$VENV"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
say "pip install . (build dir build/bench-{wheel_tag})"
"${PIP[@]}" --no-build-isolation -Cbuild-dir='build/bench-{wheel_tag}' -Ccmake.define.TABLORA_SANITIZE=OFF "$ROOT"

# Comparison libraries and the profiler, one by one: one that does not install
# here leaves its reason for the bench to print.
STATUS="$VENV/bench-extras.txt"
: >"$STATUS"
for extra in PyMySQL mysqlclient connectorx py-spy; do
    if out=$("${PIP[@]}" "$extra" 2>&1); then
        printf '%s\tinstalled\n' "$extra" >>"$STATUS"
    else
        why=$(printf '%s\n' "$out" | grep -E 'error|ERROR|No matching' | head -n 1 | cut -c1-160)
        printf '%s\tpip install failed: %s\n' "$extra" "${why:-see pip output}" >>"$STATUS"
        say "$extra did not install: ${why:-see pip output}"
    fi
done

if [ "${TABLORA_BENCH_SETUP_ONLY:-0}" = 1 ]; then
    say "set up; run: $VENV/bin/python bench/run.py"
    exit 0
fi
exec "$VENV/bin/python" bench/run.py "$@"
