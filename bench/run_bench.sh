#!/usr/bin/env bash
# Times whole korvo runs on the largest case: a 32768-pair record and a
# 50-layer damped profile at oblique incidence, integration and the band-pass
# filter on, once for each wave type. Reports wall time and peak memory from
# GNU time (Debian package "time": apt-get install -y time).
#
# usage: bench/run_bench.sh [KORVO] [REPEATS]
#   KORVO    the korvo executable (default build/release/bin/korvo)
#   REPEATS  runs per wave type; the fastest wall time and the largest peak
#            memory are reported (default 5)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
korvo=$(realpath "${1:-$here/../build/release/bin/korvo}")
repeats=${2:-5}
gtime=/usr/bin/time

[ -x "$korvo" ] || { echo "no korvo executable at $korvo (build it first)" >&2; exit 2; }
if ! "$gtime" -f %e true 2> /dev/null; then
  echo "GNU time is missing: install it with 'apt-get install -y time'" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Record: 32768 pairs at 0.005 s, a few sines and a deterministic noise
# (linear congruential), so the spectrum is full on every line.
awk 'BEGIN {
  s = 12345; pi = 3.141592653589793
  for (i = 0; i < 32768; i++) {
    s = (s * 1103515245 + 12345) % 2147483648
    t = i * 0.005
    a = 300 * sin(2 * pi * 1.3 * t) + 120 * sin(2 * pi * 7.1 * t) + 80 * (s / 2147483648 - 0.5)
    printf "%.4f %.5f\n", t, a
  }
}' > "$work/accel.dat"

# Profile: 30 degrees, IFLAG 1, 49 damped layers over a half-space, QEXP 0.3
# so every line forms its own velocities.
awk 'BEGIN {
  printf "%10.3f\n%10d\n%10d%10.3f\n", 30.0, 1, 50, 0.3
  for (k = 0; k < 50; k++) {
    vs = 150 + 20 * k
    printf "%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f\n", 1.7 + 0.01 * k, 2.1 * vs, 20 + 2 * k, vs, 10 + k, (k < 49 ? 3 + 0.1 * k : 0)
  }
}' > "$work/soil.dat"

printf '%-10s %10s %12s\n' wave "wall (s)" "peak (KB)"
for wave in 0 1 2; do
  # record, soil, wave type, reference 1 (input wave), integrate, band-pass
  # corners in rad/s
  printf 'accel.dat\nsoil.dat\n%d\n1\n1\n1\n1 3 150 250\n' "$wave" > "$work/answers"
  best="" peak=0
  for ((r = 0; r < repeats; r++)); do
    (cd "$work" && "$gtime" -f '%e %M' -o "$work/time" "$korvo" < answers > console.txt)
    read -r wall kb < "$work/time"
    if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    ((kb > peak)) && peak=$kb
  done
  grep -q "Program terminated" "$work/console.txt" || { echo "run failed:" >&2; cat "$work/console.txt" >&2; exit 1; }
  case $wave in 0) name=horizontal ;; 1) name=vertical ;; 2) name=P-wave ;; esac
  printf '%-10s %10s %12s\n' "$name" "$best" "$peak"
done
