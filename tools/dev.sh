#!/usr/bin/env bash
# Developer entry point. Installs what the project needs on a fresh machine of
# this kind (Debian packages, the CPython 3.13 interpreter from pyenv, a
# virtual environment), then:
#   tools/dev.sh main      build and install the module, fit the bundled example
#   tools/dev.sh test      every test stage below (the trainer's tests too, in
#                          .venv-train; the wheel built, installed in a fresh
#                          venv outside the tree and smoke-tested there), with a
#                          table of stage times
#                          (KORVANE_VERBOSE=1: the C++ tests' tables too)
#   tools/dev.sh quick     build, then the C++ and Python suites and type checks
#   tools/dev.sh wheel     the three wheel stages only
#   tools/dev.sh sanitize  build with AddressSanitizer and UBSan (build/asan),
#                          run the C++ and Python suites under them
#   tools/dev.sh fuzz      the weight-file and circuit-string fuzzers, sanitized
#   tools/dev.sh format    check C++ formatting (clang-format --dry-run -Werror)
#                          and Python lint and formatting (ruff)
#   tools/dev.sh reformat  apply clang-format to src/ and tests/, ruff format to
#                          the Python trees
#   tools/dev.sh build     build everything (C++ tests, benchmarks, module) only
#   tools/dev.sh setup     install the prerequisites only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv
BUILD=$ROOT/build/dev
ASAN_BUILD=$ROOT/build/asan
JOBS=${JOBS:-$(nproc)}
# Fuzz budgets: fixed seeds, sized so the whole `test` run stays well inside
# half an hour on a two-core machine.
WEIGHT_FUZZ_VARIANTS=${WEIGHT_FUZZ_VARIANTS:-150000}
CIRCUIT_FUZZ_STRINGS=${CIRCUIT_FUZZ_STRINGS:-300000}
READER_FUZZ_CASES=${READER_FUZZ_CASES:-5000}
SERIAL_FUZZ_SECONDS=${SERIAL_FUZZ_SECONDS:-60}

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

# On a fresh machine unattended upgrades often hold the package manager for
# minutes after boot. `apt-get -o DPkg::Lock::Timeout=` waits for the dpkg
# lock, but `apt-get update` does not wait for the lists lock, so first wait
# until none of apt's locks is held: they are fcntl locks, listed in
# /proc/locks by device and inode.
wait_for_package_manager() {
    local deadline=$((SECONDS + 600)) lock inode held
    while :; do
        held=
        for lock in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock \
            /var/cache/apt/archives/lock; do
            [ -e "$lock" ] || continue
            inode=$(stat -c %i "$lock")
            if grep -qE "^[0-9]+: .* [0-9a-f]+:[0-9a-f]+:$inode " /proc/locks 2>/dev/null; then
                held=$lock
            fi
        done
        [ -n "$held" ] || return 0
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "the package manager is still busy after 10 minutes ($held is held)" >&2
            exit 1
        fi
        log "waiting for the package manager ($held is held by another process)"
        sleep 10
    done
}

setup() {
    if ! [ -f /usr/include/gtest/gtest.h ] || ! command -v g++ >/dev/null 2>&1 ||
        ! command -v clang-format >/dev/null 2>&1; then
        log "installing Debian packages (googletest, g++, clang-format)"
        export DEBIAN_FRONTEND=noninteractive
        wait_for_package_manager
        apt-get -o DPkg::Lock::Timeout=600 update -qq
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq libgtest-dev g++ clang-format >/dev/null
    fi
    if ! command -v chromium >/dev/null 2>&1 || ! [ -x /usr/bin/chromedriver ]; then
        log "installing Chromium and its driver (the browser app's test)"
        export DEBIAN_FRONTEND=noninteractive
        wait_for_package_manager
        apt-get -o DPkg::Lock::Timeout=600 update -qq
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq chromium chromium-driver >/dev/null
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

# The trainer's own environment (CPython 3.11, the CPU build of PyTorch), for
# its tests; created once, by the set-up stage, never inside a timed test stage.
setup_trainer() {
    if ! [ -x "$ROOT/.venv-train/bin/python" ] ||
        ! "$ROOT/.venv-train/bin/python" -c 'import torch, numpy' 2>/dev/null; then
        log "creating .venv-train (PyTorch CPU build) for the trainer's tests"
        bash tools/train/setup.sh --no-module >/dev/null
    fi
}

# The network's own tests in the PyTorch environment; the labelling of
# measurement-like spectra needs the module, so it runs against this build.
trainer_tests() {
    "$ROOT/.venv-train/bin/python" -m unittest -q tools/train/test_train.py
    PYTHONPATH="$BUILD:$ROOT/python" "$VENV/bin/python" -m unittest -q tools/train/test_measured_like.py
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

# The wheel `pip wheel .` makes, built without isolation for the reason above
# (it shares install_module's build directory), then installed with its
# dependencies into a fresh virtual environment outside the tree and tried
# there by tools/wheel_smoke.py. The dependencies' wheels (pyproject.toml's
# list) are downloaded once, ahead of the test stages, which then need no
# network; building, installing and testing are separate stages.
DIST=$ROOT/build/dist
WHEELHOUSE=$ROOT/build/wheelhouse
SMOKE_DIR=
wheel_dependencies() {
    [ -f "$WHEELHOUSE/.complete" ] && [ "$WHEELHOUSE/.complete" -nt pyproject.toml ] && return 0
    rm -rf "$WHEELHOUSE"
    mkdir -p "$WHEELHOUSE"
    "$VENV/bin/python" -c 'import sys, tomllib; print(*tomllib.load(sys.stdin.buffer)["project"]["dependencies"], sep="\n")' \
        <pyproject.toml >"$WHEELHOUSE/requirements.txt"
    "$VENV/bin/python" -m pip download -q --disable-pip-version-check --only-binary=:all: \
        -d "$WHEELHOUSE" -r "$WHEELHOUSE/requirements.txt"
    touch "$WHEELHOUSE/.complete"
}
wheel_build() {
    rm -rf "$DIST"
    "$VENV/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$DIST" .
}
wheel_install() {
    local wheels=("$DIST"/korvane-*.whl)
    [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "expected one wheel in $DIST" >&2; exit 1; }
    SMOKE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/korvane-wheel-smoke.XXXXXX")
    "$VENV/bin/python" -m venv "$SMOKE_DIR/venv"
    # The wheel by its path; its dependencies from the wheelhouse, offline.
    "$SMOKE_DIR/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$WHEELHOUSE" "${wheels[0]}"
}
wheel_smoke() {
    (cd "$SMOKE_DIR" && "$SMOKE_DIR/venv/bin/python" -I "$ROOT/tools/wheel_smoke.py" \
        "$ROOT/examples/data/randles_spectrum.csv" >wheel-smoke.log 2>&1) ||
        { cat "$SMOKE_DIR/wheel-smoke.log" >&2; exit 1; }
    tail -n 1 "$SMOKE_DIR/wheel-smoke.log" >&2
    rm -rf "$SMOKE_DIR"
}

# ---- stages -----------------------------------------------------------------

STAGE_TIMES=()
stage() {
    local name=$1 start=$SECONDS
    shift
    log "$name"
    "$@"
    STAGE_TIMES+=("$(printf '%-26s %5ds' "$name" $((SECONDS - start)))")
}
print_stage_times() {
    [ ${#STAGE_TIMES[@]} -gt 0 ] || return 0
    {
        echo "== stage times"
        printf '   %s\n' "${STAGE_TIMES[@]}"
        printf '   %-26s %5ds\n' "total" "$SECONDS"
    } >&2
}

cpp_tests() { "$BUILD/korvane_tests" --gtest_brief=1; }

python_tests() {
    KORVANE_BUILD_DIR="$BUILD" MPLBACKEND=Agg "$VENV/bin/python" -m pytest -q tests/python tests/korvane_tools
}

# Sanitizer findings end the run: UBSan stops at the first report instead of
# printing and carrying on.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

sanitized_build() {
    cmake -S . -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=ON \
        -DKORVANE_BUILD_BENCH=OFF -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
    cmake --build "$ASAN_BUILD" -j "$JOBS"
}

sanitized_cpp_tests() {
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} "$ASAN_BUILD/korvane_tests" --gtest_brief=1
}

# The interpreter is not built with the sanitizer, so its runtime is preloaded
# ahead of everything the module pulls in. libstdc++ is preloaded with it:
# ASan finds the real __cxa_throw at start-up only if libstdc++ is already
# mapped, and without it the first C++ exception of any extension (matplotlib's
# font module throws one on import) aborts the interpreter. CPython keeps
# objects alive to the end of the process by design, so leak reports are off
# for this run.
sanitized_python_tests() {
    local preload
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 KORVANE_BUILD_DIR="$ASAN_BUILD" \
        MPLBACKEND=Agg "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python tests/korvane_tools
}

fuzz_weight_files() {
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
        "$ASAN_BUILD/weight_file_fuzz_tool" "$WEIGHT_FUZZ_VARIANTS" 1
}

fuzz_circuit_strings() {
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
        "$ASAN_BUILD/circuit_fuzz_tool" "$CIRCUIT_FUZZ_STRINGS" 1
}

# Mutated copies of every instrument file (fixed seed): each read gives frames
# or a ValueError/OSError naming the file, within a time bound per case.
fuzz_instrument_files() {
    PYTHONPATH="$BUILD" "$VENV/bin/python" tests/korvane_tools/reader_fuzz_tool.py \
        --count "$READER_FUZZ_CASES" --seed 1 --seconds 90
}

# Damaged saved documents and pickle states (fixed seed): each load gives a
# valid object or a ValueError naming the file or field.
fuzz_saved_fits() {
    PYTHONPATH="$ROOT/python:$BUILD" "$VENV/bin/python" tests/korvane_tools/serial_fuzz_tool.py \
        --seconds "$SERIAL_FUZZ_SECONDS" --seed 1
}

cxx_sources() { find src tests -name '*.cpp' -o -name '*.hpp' | LC_ALL=C sort; }

format_check() { cxx_sources | xargs clang-format --dry-run -Werror; }

# The stubs of the korvane module against the built module; korvane_tools and
# the examples under mypy --strict.
type_checks() {
    MYPYPATH="$ROOT/python" PYTHONPATH="$BUILD" "$VENV/bin/python" -m mypy.stubtest korvane
    MYPYPATH="$ROOT/python" "$VENV/bin/python" -m mypy --strict python/korvane_tools examples/
}

PY_TREES=(python tests tools bench examples)
python_lint() {
    "$VENV/bin/ruff" check "${PY_TREES[@]}"
    "$VENV/bin/ruff" format --check "${PY_TREES[@]}"
}

trap print_stage_times EXIT

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
        stage "setup" setup
        stage "trainer set-up" setup_trainer
        stage "wheel dependencies" wheel_dependencies
        stage "format check" format_check
        stage "Python lint" python_lint
        stage "build" build_all
        stage "C++ tests" cpp_tests
        stage "Python tests" python_tests
        stage "type checks" type_checks
        stage "trainer tests" trainer_tests
        stage "wheel build" wheel_build
        stage "wheel install (fresh venv)" wheel_install
        stage "wheel smoke test" wheel_smoke
        stage "sanitized build" sanitized_build
        stage "sanitized C++ tests" sanitized_cpp_tests
        stage "sanitized Python tests" sanitized_python_tests
        stage "fuzz weight files" fuzz_weight_files
        stage "fuzz circuit strings" fuzz_circuit_strings
        stage "fuzz instrument files" fuzz_instrument_files
        stage "fuzz saved fits" fuzz_saved_fits
        ;;
    quick)
        stage "setup" setup
        stage "build" build_all
        stage "C++ tests" cpp_tests
        stage "Python tests" python_tests
        stage "type checks" type_checks
        ;;
    sanitize)
        stage "setup" setup
        stage "sanitized build" sanitized_build
        stage "sanitized C++ tests" sanitized_cpp_tests
        stage "sanitized Python tests" sanitized_python_tests
        ;;
    fuzz)
        stage "setup" setup
        stage "build" build_all
        stage "sanitized build" sanitized_build
        stage "fuzz weight files" fuzz_weight_files
        stage "fuzz circuit strings" fuzz_circuit_strings
        stage "fuzz instrument files" fuzz_instrument_files
        stage "fuzz saved fits" fuzz_saved_fits
        ;;
    wheel)
        stage "setup" setup
        stage "wheel dependencies" wheel_dependencies
        stage "wheel build" wheel_build
        stage "wheel install (fresh venv)" wheel_install
        stage "wheel smoke test" wheel_smoke
        ;;
    format)
        setup
        stage "format check" format_check
        stage "Python lint" python_lint
        ;;
    reformat)
        setup
        cxx_sources | xargs clang-format -i
        "$VENV/bin/ruff" format "${PY_TREES[@]}"
        ;;
    *)
        echo "usage: tools/dev.sh main|test|quick|wheel|sanitize|fuzz|format|reformat|build|setup" >&2
        exit 2
        ;;
esac
