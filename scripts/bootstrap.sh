#!/usr/bin/env bash
# Prepare a machine for building and testing: system packages, .venv, build.
# Safe to re-run; a re-run only rebuilds what changed (build/ is persistent).
# TABLORA_PYTHON=3.13 builds for CPython 3.13 into .venv-3.13 (default 3.12,
# into .venv). TABLORA_PANDAS=2|3 picks the pandas line installed (default:
# 2 on 3.12, 3 on 3.13); the newest release of that line is installed.
# TABLORA_EXTRAS names the extras installed (default: test and fast, plus parquet on 3.13).
# When nothing the build depends on changed since the last run for this venv
# (scripts/build_stamp.sh), it stops after the quick checks; TABLORA_REBUILD=1
# builds anyway.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
PY_VERSION="${TABLORA_PYTHON:-3.12}"
case "$PY_VERSION" in
    3.12) default_venv="$ROOT/.venv"; default_pandas=2; default_extras=test,fast ;;
    # pyarrow in one venv only: each pass tests one side of `export --format parquet`.
    3.13) default_venv="$ROOT/.venv-3.13"; default_pandas=3; default_extras=test,parquet,fast ;;
    *) printf '[bootstrap] error: TABLORA_PYTHON must be 3.12 or 3.13, not %s\n' "$PY_VERSION" >&2; exit 2 ;;
esac
PANDAS_LINE="${TABLORA_PANDAS:-$default_pandas}"
EXTRAS="${TABLORA_EXTRAS:-$default_extras}"
case "$PANDAS_LINE" in
    2|3) ;;
    *) printf '[bootstrap] error: TABLORA_PANDAS must be 2 or 3, not %s\n' "$PANDAS_LINE" >&2; exit 2 ;;
esac
# Another venv and build dir can be asked for (the sanitizer build uses its own).
VENV="${TABLORA_VENV:-$default_venv}"
BUILD_ARGS=()
[ -n "${TABLORA_BUILD_DIR:-}" ] && BUILD_ARGS=(-Cbuild-dir="$TABLORA_BUILD_DIR")

say() { printf '[bootstrap] %s\n' "$*"; }

have_prog() {
    command -v "$1" >/dev/null 2>&1 || [ -x "/usr/sbin/$1" ] || [ -x "/usr/bin/$1" ]
}

# --- system packages -------------------------------------------------------
missing=()
if ! have_prog mariadbd || ! have_prog mariadb-install-db; then
    missing+=(mariadb-server)
fi
have_prog g++ || missing+=(g++)
have_prog make || missing+=(make)
# mysqlclient (the `fast` extra) builds against the MariaDB client library.
have_prog pkg-config || missing+=(pkg-config)
[ -f /usr/include/mariadb/mysql.h ] || missing+=(libmariadb-dev)
if [ ${#missing[@]} -gt 0 ]; then
    say "installing apt packages: ${missing[*]}"
    if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
    "${SUDO[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq "${missing[@]}"
else
    say "apt packages present"
fi

# --- CPython ---------------------------------------------------------------
is_wanted_python() {
    [ -n "$1" ] && "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$PY_VERSION'.split('.'))))" \
        >/dev/null 2>&1
}

find_python() {
    local cand root
    # pyenv's shim exists on PATH even when this version is not selected; it must run.
    if cand=$(command -v "python$PY_VERSION" 2>/dev/null) && is_wanted_python "$cand"; then
        echo "$cand"; return 0
    fi
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for cand in "$root"/versions/"$PY_VERSION".*/bin/"python$PY_VERSION"; do
        if is_wanted_python "$cand"; then echo "$cand"; return 0; fi
    done
    return 1
}

if ! PY=$(find_python); then
    say "error: no runnable CPython $PY_VERSION found (python$PY_VERSION on PATH, or pyenv versions/$PY_VERSION.*)" >&2
    exit 1
fi

# --- virtualenv ------------------------------------------------------------
if ! is_wanted_python "$VENV/bin/python"; then
    say "creating $VENV from $PY"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
    say "upgrading pip"
    "$VENV/bin/python" -m pip install -q --upgrade pip
else
    say "$(basename "$VENV") ok ($("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])'))"
fi

# --- build and install -----------------------------------------------------
SANITIZE="${TABLORA_SANITIZE:-OFF}"
STAMP_FILE="$VENV/.tablora-build-stamp"
stamp=$(bash scripts/build_stamp.sh "$PY_VERSION" "$PANDAS_LINE" "$SANITIZE" "${BUILD_ARGS[@]}" \
    "$EXTRAS")
if [ "${TABLORA_REBUILD:-0}" != 1 ] && [ -f "$STAMP_FILE" ] && [ "$(cat "$STAMP_FILE")" = "$stamp" ]; then
    say "build up to date (nothing changed since the last bootstrap of $(basename "$VENV"))"
    exit 0
fi
rm -f "$STAMP_FILE"
# Build without isolation, so that the persistent build/ dir stays incremental.
bash scripts/install_build_requirements.sh "$VENV"
PIP=("$VENV/bin/python" -m pip install -q --progress-bar off)

# Makefiles build serially unless told otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# Always pass the option: a cached ON would otherwise stick in build/.
say "pip install .[$EXTRAS] (builds the extension, TABLORA_SANITIZE=$SANITIZE, pandas $PANDAS_LINE.x)"
"${PIP[@]}" --no-build-isolation "${BUILD_ARGS[@]}" -Ccmake.define.TABLORA_SANITIZE="$SANITIZE" "$ROOT[$EXTRAS]" \
    "pandas==$PANDAS_LINE.*" "pandas-stubs==$PANDAS_LINE.*"
# The newest release of the line, also in a venv that already had an older one.
"${PIP[@]}" --upgrade "pandas==$PANDAS_LINE.*" "pandas-stubs==$PANDAS_LINE.*"
"$VENV/bin/python" -c 'import sys
from importlib.metadata import version
print("[bootstrap] Python", sys.version.split()[0],
      *(f"{name} {version(name)}" for name in ("pandas", "SQLAlchemy", "PyMySQL")))'
printf '%s\n' "$stamp" >"$STAMP_FILE"
say "done"
