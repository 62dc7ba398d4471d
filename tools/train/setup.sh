#!/usr/bin/env bash
# Creates the training environment: a Python 3.11 venv with the CPU build of
# PyTorch, NumPy and korvane itself (training data comes from korvane's own
# impedance, so the formulas of trainer and module can never disagree).
#   bash tools/train/setup.sh            venv + torch + numpy + korvane
#   bash tools/train/setup.sh --no-module   skip building korvane into the venv
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
VENV=$ROOT/.venv-train

find_python311() {
    local c=()
    if command -v pyenv >/dev/null 2>&1; then c+=("$(pyenv root)"/versions/3.11*/bin/python3.11); fi
    c+=(/root/.pyenv/versions/3.11*/bin/python3.11 "$(command -v python3.11 || true)")
    for p in "${c[@]}"; do
        if [ -n "$p" ] && [ -x "$p" ]; then echo "$p"; return 0; fi
    done
    if command -v pyenv >/dev/null 2>&1 && pyenv install -s 3.11 >/dev/null 2>&1; then
        find_python311; return $?
    fi
    return 1
}

py=$(find_python311) || { echo "no CPython 3.11 interpreter found" >&2; exit 1; }
if ! [ -x "$VENV/bin/python" ]; then
    "$py" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
# This exact version resolves to a CPU-only wheel; an unpinned torch pulls a
# multi-gigabyte CUDA build.
"$VENV/bin/python" -m pip install -q torch==2.13.0 numpy
if [ "${1:-}" != "--no-module" ]; then
    "$VENV/bin/python" -m pip install -q "$ROOT"
fi
"$VENV/bin/python" -c 'import torch, numpy; print("torch", torch.__version__, "numpy", numpy.__version__)'
