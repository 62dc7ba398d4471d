#!/usr/bin/env bash
# Background training queue: trains (or continues) every topology in table
# order up to the given epoch counts, exporting each weight file as soon as
# its run ends, so that every file exists early and improves on later passes.
#   nice -n 10 bash tools/train/queue.sh 6 5       # epochs for Ch<=32, epochs for Ch=64
#   NAMES="two_rq randles" nice -n 10 bash tools/train/queue.sh 20 12
set -uo pipefail
cd "$(dirname "$0")/../.."
PY=${PY:-.venv-train/bin/python}
SMALL=${1:-6}
LARGE=${2:-5}
NAMES=${NAMES:-"rc rc_l rq rq_l two_rc two_rc_l two_rq two_rq_l randles sei_randles sei_randles_wo"}
EXTRA=${EXTRA:-}
for n in $NAMES; do
    case $n in sei_*) e=$LARGE ;; *) e=$SMALL ;; esac
    "$PY" tools/train/train.py "$n" --epochs "$e" $EXTRA || { echo "[$n] training failed"; continue; }
    "$PY" tools/train/export.py "$n" $EXTRA || echo "[$n] export failed"
done
echo "queue done"
