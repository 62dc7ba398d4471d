#!/usr/bin/env bash
# Developer entry point. Installs what the project needs on a fresh machine of
# this kind (Debian packages, the CPython 3.13 interpreter from pyenv, a
# virtual environment), then:
#   tools/dev.sh main    build and install the module, fit the bundled example
#   tools/dev.sh test    build everything, run the C++ and Python test suites
#                        and the type checks (KORVANE_VERBOSE=1: the C++ tests'
#                        tables too)
#   tools/dev.sh build   build everything (C++ tests, benchmarks, module) only
#   tools/dev.sh setup   install the prerequisites only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv
BUILD=$ROOT/build/dev
JOBS=${JOBS:-$(nproc)}

log() { printf '== %s\n' "$*" >&2; }

find_python313() {
    local candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        local root; root=$(pyenv root)
        candidates+=("$root"/versions/3.13*/bin/python3.13)
    fi
    candidates+=(/root/.pyenv/versions/3.13*/bin/python3.13 "$(command -v python3.13 || true)")
    for p in "${candidates[@]}"; do
        if [ -n "$p" ] && [ -x "$p" ]; then echo "$p"; return 0; fi
    done
    if command -v pyenv >/dev/null 2>&1 && pyenv install -s 3.13 >/dev/null 2>&1; then
        find_python313; return $?
    fi
    return 1
}

setup() {
    if ! [ -f /usr/include/gtest/gtest.h ] || ! command -v g++ >/dev/null 2>&1; then
        log "installing Debian packages (googletest, g++)"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq libgtest-dev g++ >/dev/null
    fi
    local py
    py=$(find_python313) || { echo "no CPython 3.13 interpreter found (pyenv or PATH)" >&2; exit 1; }
    if ! [ -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        log "creating $VENV with $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    if ! [ -f "$VENV/.deps-installed" ] || [ requirements-dev.txt -nt "$VENV/.deps-installed" ]; then
        log "installing Python packages"
        "$VENV/bin/python" -m pip install -q --upgrade pip
        "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
        touch "$VENV/.deps-installed"
    fi
    export PATH="$VENV/bin:$PATH"
}

build_all() {
    log "building (C++ core, tests, benchmarks, module)"
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
    cmake --build "$BUILD" -j "$JOBS"
}

# pip install of this tree into the venv, without build isolation: an
# isolated build gets a fresh scikit-build-core path each time, and on seeing a
# new one scikit-build-core clears the CMake cache and CMakeFiles/, the object
# files with it. With scikit-build-core, CMake and Ninja from the venv the
# build directory (build/wheel-<tag>, pyproject.toml) is reused and Ninja
# recompiles only what changed. pip hides the build's output unless -v, so the
# whole log goes to a file and only the build steps are shown.
install_module() {
    local log_file=$ROOT/build/pip-install.log status=0
    mkdir -p "$ROOT/build"
    log "building and installing the module (pip install .; full log: build/pip-install.log)"
    "$VENV/bin/python" -m pip install --no-build-isolation -v . 2>&1 | tee "$log_file" |
        { grep --line-buffered -E '^ *(\*\*\*|\[[0-9]+/[0-9]+\]|ninja: no work)' || true; } ||
        status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 30 "$log_file" >&2
        echo "pip install failed (exit $status); full log: $log_file" >&2
        exit "$status"
    fi
}

case "${1:-}" in
    main)
        setup
        install_module
        log "fitting the bundled example: $VENV/bin/python examples/fit_example.py"
        "$VENV/bin/python" examples/fit_example.py
        log "korvane and korvane_tools are installed in $VENV: run your scripts with" \
            "$VENV/bin/python (or after 'source $VENV/bin/activate')"
        ;;
    setup)
        setup
        ;;
    build)
        setup
        build_all
        ;;
    test)
        setup
        build_all
        log "C++ tests"
        "$BUILD/korvane_tests" --gtest_brief=1
        log "Python tests"
        KORVANE_BUILD_DIR="$BUILD" MPLBACKEND=Agg "$VENV/bin/python" -m pytest -q tests/python tests/tools
        log "type stubs against the built module, examples under mypy --strict"
        MYPYPATH="$ROOT/python" PYTHONPATH="$BUILD" "$VENV/bin/python" -m mypy.stubtest korvane
        "$VENV/bin/python" -m mypy --strict examples/
        ;;
    *)
        echo "usage: tools/dev.sh main|test|build|setup" >&2
        exit 2
        ;;
esac
