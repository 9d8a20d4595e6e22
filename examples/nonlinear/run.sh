#!/bin/sh
# Runs the soft clay column of ../eql nonlinearly under El Centro 1940 (N-S)
# at 0.1 g and 0.4 g, with Masing and with MRDF unloading, into
# out_<pga>g_<unloading>/, with the motion at 12 m
# and the stress-strain loops in the soft clay (7 m) and the firm clay (20 m);
# with figures when gnuplot is installed.
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
for pga in 0.1 0.4; do
  for unloading in masing mrdf; do
    # Every setting spelled out; all but --unloading mrdf are korvo-site's defaults.
    "$site" ../eql/clay30.toml ../eql/elc180.txt --method nonlinear --scale-pga ${pga}g \
      --input outcrop --fmax 25 --max-element 1 --substeps 20 --unloading $unloading \
      --viscous rayleigh --at 12 --loops 7,20 -o out_${pga}g_$unloading $plot
  done
done
# The strong run again with frequency-independent small-strain damping.
"$site" ../eql/clay30.toml ../eql/elc180.txt --method nonlinear --scale-pga 0.4g \
  --input outcrop --fmax 25 --max-element 1 --substeps 20 --unloading mrdf \
  --viscous frequency-independent --at 12 --loops 7,20 -o out_0.4g_mrdf_fi $plot
