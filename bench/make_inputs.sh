#!/usr/bin/env bash
# Writes the inputs of the two reference runs into DIR (default bench/inputs,
# which git ignores):
#   r16k.txt     the first 16384 pairs of the 2011 Mineral, Virginia record
#                (tests/data/tools/2516b_a.smc, 200 samples/s, cm/s^2)
#   r32k.txt     its first 32768 pairs
#   soil50.dat   20 degrees, IFLAG 1, 49 damped layers over a half-space, QEXP 0.3
#   typical      answers: r16k.txt, horizontal, input-wave reference, no options
#   worst        answers: r32k.txt, vertical, integrate, band-pass 1 3 150 250 rad/s
#
# usage: bench/make_inputs.sh [DIR] [KORVO_RECORD]
#   KORVO_RECORD  the korvo-record converter (default build/release/bin/korvo-record)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$here/inputs}
convert=${2:-$here/../build/release/bin/korvo-record}
smc=$here/../tests/data/tools/2516b_a.smc
[ -x "$convert" ] || { echo "no korvo-record at $convert (build it first)" >&2; exit 2; }
mkdir -p "$dir"

"$convert" --max 16384 -o "$dir/r16k.txt" "$smc" > /dev/null
"$convert" --max 32768 -o "$dir/r32k.txt" "$smc" > /dev/null
rm -f "$dir"/r16k.txt.note "$dir"/r32k.txt.note

# Shear velocity rising from 150 to 1130 with depth, layers 3 to 7.8 thick,
# Q from 10 up: every line has its own damped velocities.
awk 'BEGIN {
  printf "%10.3f\n%10d\n%10d%10.3f\n", 20.0, 1, 50, 0.3
  for (k = 0; k < 50; k++) {
    vs = 150 + 20 * k
    printf "%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f\n", 1.7 + 0.01 * k, 2.1 * vs, 20 + 2 * k, vs, 10 + k, (k < 49 ? 3 + 0.1 * k : 0)
  }
}' > "$dir/soil50.dat"

printf 'r16k.txt\nsoil50.dat\n0\n1\n0\n0\n' > "$dir/typical"
printf 'r32k.txt\nsoil50.dat\n1\n1\n1\n1\n1 3 150 250\n' > "$dir/worst"
echo "inputs in $dir"
