#!/bin/sh
# Runs the two example columns into out_clay30/ and out_layered100/, with
# figures when gnuplot is installed.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ -x "$root/build/release/bin/korvo-site" ]; then
  site="$root/build/release/bin/korvo-site"
elif command -v korvo-site > /dev/null 2>&1; then
  site=korvo-site
else
  echo "run.sh: no korvo-site in build/release/bin or on the PATH; build it with" \
    "cmake --preset release && cmake --build --preset release" >&2
  exit 1
fi
plot=
if command -v gnuplot > /dev/null 2>&1; then plot=--plot; fi
cd "$here"
# 30 m of clay with Darendeli curves under El Centro 1940 (N-S) scaled to 0.3 g,
# with the motion at mid-depth and at the top of the rock.
"$site" clay30.toml elc180.txt --scale-pga 0.3g --at 12 --at 30 -o out_clay30 $plot
# 100 m of sands and clays with tabulated curves under the 2011 Mineral,
# Virginia record at Reston (cm/s^2) scaled to 0.25 g: 50 sublayers, 16384 samples.
"$site" layered100.toml reston360.txt --unit cm/s^2 --scale-pga 0.25g -o out_layered100 $plot
