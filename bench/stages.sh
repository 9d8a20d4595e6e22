#!/usr/bin/env bash
# Stage breakdown of the two reference runs, on two cores and on one
# (taskset -c 0): minimum and median ms per stage over REPEATS runs in one
# process. Process start and exit and the first-touch page faults of a fresh
# process are not in it; bench/compare.py times whole processes.
#
# usage: bench/stages.sh [KORVO_STAGES] [REPEATS]
#   KORVO_STAGES  the stage program (default build/release/korvo_stages)
#   REPEATS       runs per case (default 30)
# Inputs come from bench/make_inputs.sh (run it first).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stages=$(realpath "${1:-$here/../build/release/korvo_stages}")
repeats=${2:-30}
inputs=$here/inputs
[ -x "$stages" ] || { echo "no stage program at $stages (build korvo_stages)" >&2; exit 2; }
[ -f "$inputs/typical" ] || { echo "no inputs in $inputs: run bench/make_inputs.sh" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for case in typical worst; do
  for cores in 2 1; do
    echo "== $case, $cores core(s)"
    if [ "$cores" = 1 ]; then
      taskset -c 0 "$stages" "$inputs" "$case" "$repeats"
    else
      "$stages" "$inputs" "$case" "$repeats"
    fi
  done
done
