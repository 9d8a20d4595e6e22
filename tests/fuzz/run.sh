#!/usr/bin/env bash
# Runs each fuzz target for a bounded time: tests/fuzz/run.sh [seconds] [target...]
# Targets default to all of tests/fuzz/*_fuzz.cpp; seconds to 60 per target.
# The seed corpus is copied, never grown in place; anything found is kept in
# build/fuzz/findings/<target>/ and the script then exits with status 1.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  corpus="$work/corpus-$name"
  findings="$PWD/build/fuzz/findings/$name"
  mkdir -p "$corpus" "$findings"
  cp tests/fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  echo "== $t: ${seconds}s"
  # Record lines beyond the 4096-character limit need inputs longer than it.
  if ! TMPDIR="$work" "$PWD/build/fuzz/$t" "$corpus" -max_total_time="$seconds" -max_len=12000 \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    2>"$work/$name.log"; then
    status=1
    tail -n 40 "$work/$name.log"
  fi
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$name.log" || true
  echo "   corpus: $(ls "$corpus" | wc -l) inputs"
done
exit $status
