#!/usr/bin/env bash
# Times korvo-site --method nonlinear on the two cases its speed goals name:
#  - the 30 m clay column of examples/eql cut into 72 elements, under El
#    Centro (4000 samples and 96 of quiet: 4096) at 0.3 g, 20 substeps (81,900 steps);
#  - a 100 m column of 50 two-metre Darendeli layers, one element each, under
#    the 16384-sample Reston record at 0.2 g, 20 substeps (327,660 steps).
# Prints, for each, the fastest whole-process wall time and the engine's own
# time per element-step (korvo-site's console line) over REPEATS runs.
#
# usage: bench/nonlinear.sh [KORVO_SITE] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
site=$(realpath "${1:-$here/../build/release/bin/korvo-site}")
repeats=${2:-5}
[ -x "$site" ] || { echo "no korvo-site at $site (build it first)" >&2; exit 2; }
eql=$here/../examples/eql
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$eql/elc180.txt" "$work/elc4096.txt"
awk 'END { for (i = 1; i <= 96; i++) printf "%.2f 0\n", $1 + 0.01 * i }' "$eql/elc180.txt" \
  >> "$work/elc4096.txt"
{
  printf 'water_table = 2.0\n'
  for i in $(seq 0 49); do
    printf '\n[[layer]]\nname = "L%d"\nthickness = 2.0\nunit_weight = 18.5\n' "$i"
    printf 'vs = %s\nmodel = "darendeli"\nplasticity_index = 15\nocr = 1.0\nk0 = 0.5\n' \
      "$((180 + 6 * i))"
  done
  printf '\n[halfspace]\nunit_weight = 22.0\nvs = 900.0\ndamping_pct = 1.0\n'
} > "$work/layers50.toml"

run_case() {  # name profile record pga max-element
  local best=999 line=
  for _ in $(seq "$repeats"); do
    local t0 t1 out
    t0=$(date +%s.%N)
    out=$("$site" "$2" "$3" --method nonlinear --scale-pga "$4" --max-element "$5" \
      --substeps 20 -o "$work/out" 2>&1)
    t1=$(date +%s.%N)
    local wall
    wall=$(echo "$t1 - $t0" | bc)
    if (($(echo "$wall < $best" | bc))); then
      best=$wall
      line=$(grep -E '^steps:' <<<"$out")
    fi
    grep -q ' elements ' <<<"$out" && elements=$(grep -oE '[0-9]+ elements' <<<"$out")
  done
  printf '%s: %s, fastest of %d: %.3f s wall; %s\n' "$1" "$elements" "$repeats" "$best" "$line"
}
run_case "clay 30 m" "$eql/clay30.toml" "$work/elc4096.txt" 0.3g 0.48
run_case "50 layers" "$work/layers50.toml" "$eql/reston360.txt" 0.2g 2
