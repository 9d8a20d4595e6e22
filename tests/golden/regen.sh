#!/usr/bin/env bash
# Rewrites expected/ of the named golden cases from the current korvo build.
# Run it by hand, on purpose, and check the new numbers against independent
# values before committing them. Never run it on the reference_* cases: those
# came from an independent implementation.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
korvo=${KORVO:-$here/../../build/release/bin/korvo}
[ $# -gt 0 ] || { echo "usage: $0 CASE..." >&2; exit 2; }
for name in "$@"; do
  case $name in reference_*) echo "refusing to regenerate $name" >&2; exit 2 ;; esac
  src=$here/$name
  work=$(mktemp -d)
  cp "$src/accel.dat" "$src/soil.dat" "$work/"
  status=0
  (cd "$work" && "$korvo" < "$src/answers" > console.txt 2> /dev/null) || status=$?
  mkdir -p "$src/expected"
  echo "$status" > "$src/expected/status"
  cp "$work/console.txt" "$src/expected/console.txt"
  for f in S_amp1 amp_dat korvo_dat; do
    if [ -f "$work/$f" ]; then cp "$work/$f" "$src/expected/$f"; else rm -f "$src/expected/$f"; fi
  done
  rm -rf "$work"
  echo "regenerated $name (status $status)"
done
