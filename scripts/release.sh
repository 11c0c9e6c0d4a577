#!/usr/bin/env bash
# Builds the release artefacts into dist/ (emptied first) from the committed HEAD;
# uncommitted changes are not in them. One sdist, and from that sdist one manylinux
# wheel each for CPython 3.12 and 3.13, with libstdc++ linked in
# (TABLORA_STATIC_RUNTIME). Then checks them (twine check --strict,
# check-wheel-contents, the exported symbols) and installs each wheel into a fresh
# venv with no compiler or CMake on PATH, where it runs `quendsdk --version`, imports
# the module and runs `quendsdk demo`.
# The tools (build, twine, check-wheel-contents, auditwheel) come from PyPI into
# build/release-venv-*; scratch files go to build/release (emptied on each run).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
DIST=$ROOT/dist
WORK=$ROOT/build/release
VERSIONS=(3.12 3.13)

say() { printf '[release] %s\n' "$*"; }
die() { say "error: $*" >&2; exit 1; }

started=$(date +%s)

find_python() {  # python$1 on PATH when it runs, else pyenv's versions/$1.*
    local cand root
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for cand in "$(command -v "python$1" 2>/dev/null || true)" "$root"/versions/"$1".*/bin/"python$1"; do
        if [ -n "$cand" ] && "$cand" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$1')" \
            >/dev/null 2>&1; then
            echo "$cand"; return 0
        fi
    done
    return 1
}

tool_venv() {  # the venv of release tools for Python $1, made or updated
    local venv="$ROOT/build/release-venv-$1" py
    if [ ! -x "$venv/bin/python" ]; then
        py=$(find_python "$1") || die "no runnable CPython $1 (python$1 on PATH or pyenv)"
        "$py" -m venv "$venv"
    fi
    # twine 6.1: the first to check Metadata-Version 2.4 (License-Expression).
    "$venv/bin/python" -m pip install -q --progress-bar off --upgrade pip build \
        'twine>=6.1' check-wheel-contents auditwheel >"$WORK/tools-$1.log" 2>&1 ||
        { cat "$WORK/tools-$1.log" >&2; die "installing the release tools for $1 failed"; }
    echo "$venv"
}

rm -rf "$WORK" "$DIST"
mkdir -p "$WORK" "$DIST"

# --- the sdist, from HEAD --------------------------------------------------
head=$(git rev-parse --short HEAD)
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    say "note: the work tree has uncommitted changes; the release is of HEAD ($head) only"
git archive --format=tar --prefix=checkout/ HEAD | tar -x -C "$WORK"
# Timestamps in the archives are the commit's, not the build's.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

declare -A VENVS
for v in "${VERSIONS[@]}"; do VENVS[$v]=$(tool_venv "$v"); done
TOOLS=${VENVS[${VERSIONS[0]}]}/bin

say "sdist of $head"
"$TOOLS/python" -m build --sdist --outdir "$DIST" "$WORK/checkout" >"$WORK/sdist.log" 2>&1 ||
    { tail -40 "$WORK/sdist.log" >&2; die "sdist build failed (log: $WORK/sdist.log)"; }
sdists=("$DIST"/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || die "expected one sdist, got: ${sdists[*]}"
sdist=${sdists[0]}
# The wheels are built from the unpacked sdist: a file it misses fails the build.
mkdir "$WORK/sdist"
tar -xzf "$sdist" -C "$WORK/sdist"
srcs=("$WORK"/sdist/*/)
src=${srcs[0]}
[ -f "$src/LICENSE" ] || die "the sdist has no LICENSE"

# --- the wheels ------------------------------------------------------------
for v in "${VERSIONS[@]}"; do
    say "wheel for CPython $v"
    raw="$WORK/raw-$v"
    log="$WORK/wheel-$v.log"
    "${VENVS[$v]}/bin/python" -m build --wheel --outdir "$raw" \
        -Ccmake.define.TABLORA_STATIC_RUNTIME=ON -Cbuild-dir="$WORK/cmake-$v" "$src" \
        >"$log" 2>&1 || { tail -40 "$log" >&2; die "wheel build for $v failed (log: $log)"; }
    wheels=("$raw"/*.whl)
    [ ${#wheels[@]} -eq 1 ] || die "expected one wheel for $v, got: ${wheels[*]}"
    "$TOOLS/auditwheel" show "${wheels[0]}" | tee "$WORK/show-$v.txt"
    # With no --plat auditwheel takes the oldest manylinux policy the wheel meets.
    # No patcher: the wheel must need no library grafted in, only its tags set.
    "$TOOLS/auditwheel" repair --patcher none --wheel-dir "$DIST" "${wheels[0]}" \
        >"$WORK/repair-$v.log" 2>&1 || { cat "$WORK/repair-$v.log" >&2; die "auditwheel repair failed for $v"; }
done

# --- checks ----------------------------------------------------------------
say "twine check --strict"
"$TOOLS/twine" check --strict "$DIST"/*
say "check-wheel-contents"
"$TOOLS/check-wheel-contents" "$DIST"/*.whl
for wheel in "$DIST"/*.whl; do
    unpacked="$WORK/unpacked/$(basename "$wheel")"
    mkdir -p "$unpacked"
    "$TOOLS/python" -m zipfile -e "$wheel" "$unpacked"
    so=$(find "$unpacked" -name 'tablora*.so')
    exported=$(nm -D --defined-only "$so" | awk '{print $3}')
    [ "$exported" = PyInit_tablora ] || die "$(basename "$wheel") exports more than PyInit_tablora: $exported"
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    case " $needed" in
        *" libstdc++"*) die "$(basename "$wheel") links libstdc++ dynamically: $needed" ;;
    esac
    say "$(basename "$wheel"): exports PyInit_tablora only; needs $needed"
done

# --- each wheel in a fresh venv, with nothing to build with ---------------
version=$("$TOOLS/python" -c 'import tomllib
print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
# Only what mariadb-install-db (a shell script) runs for the demo's throwaway server;
# the demo finds mariadbd and mariadb-install-db in /usr/sbin and /usr/bin itself.
BIN="$WORK/smoke-bin"
mkdir -p "$BIN"
for prog in sh cat dirname mkdir sed; do
    path=$(command -v "$prog") || die "$prog missing"
    ln -s "$path" "$BIN/$prog"
done
for v in "${VERSIONS[@]}"; do
    tag=cp${v/./}
    wheels=("$DIST"/*-"$tag"-"$tag"-*.whl)
    wheel=${wheels[0]}
    [ -f "$wheel" ] || die "no $tag wheel in dist/"
    venv="$WORK/smoke-$v"
    say "fresh venv for $(basename "$wheel")"
    "$(find_python "$v")" -m venv "$venv"
    run=(env -i HOME="$HOME" LANG="${LANG:-C.UTF-8}" PATH="$venv/bin:$BIN")
    # pip's index and certificate settings still apply.
    for name in $(compgen -e); do
        case $name in PIP_* | SSL_CERT_* | REQUESTS_CA_BUNDLE) run+=("$name=${!name}") ;; esac
    done
    for prog in cc gcc g++ c++ clang cmake ninja make; do
        ! "${run[@]}" sh -c "command -v $prog" >/dev/null || die "$prog is on the smoke PATH"
    done
    (cd "$WORK" && "${run[@]}" pip install -q --progress-bar off --only-binary :all: "$wheel") \
        >"$WORK/install-$v.log" 2>&1 ||
        { cat "$WORK/install-$v.log" >&2; die "pip install --only-binary :all: failed for $v"; }
    got=$(cd "$WORK" && "${run[@]}" quendsdk --version)
    [ "$got" = "quendsdk $version" ] || die "quendsdk --version says '$got', not 'quendsdk $version'"
    module=$(cd "$WORK" && "${run[@]}" python -c 'import quendsdk.tablora as t; print(t.__file__)')
    [[ "$module" == "$venv"/* ]] || die "imported $module, not the venv's"
    say "$got; imports $module"
    (cd "$WORK" && "${run[@]}" quendsdk demo </dev/null) >"$WORK/demo-$v.log" 2>&1 ||
        { cat "$WORK/demo-$v.log" >&2; die "quendsdk demo failed in the fresh $v venv"; }
    tail -3 "$WORK/demo-$v.log"
done

say "artefacts in dist/:"
ls -l "$DIST" | tail -n +2
say "done in $(($(date +%s) - started))s"
