#!/usr/bin/env bash
# Builds every fuzz target with clang and runs each for a bounded time.
# Usage: tests/fuzz/run.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-20}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIRELO_FUZZ=ON >/dev/null
cmake --build "$build"
shopt -s nullglob
targets=("$build"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
# AddressSanitizer keeps freed memory in quarantine; a small one keeps a long
# run of large pictures from reaching the memory limit on freed blocks alone.
export ASAN_OPTIONS="quarantine_size_mb=64${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
for t in "${targets[@]}"; do
  [ -f "$t" ] && [ -x "$t" ] || continue  # skip the logs beside the programs
  name=$(basename "$t")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=tests/fuzz/seeds/${name#fuzz_}
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "== $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 "${args[@]}" \
    >"$build/$name.log" 2>&1 || { tail -n 60 "$build/$name.log"; echo "$name failed"; exit 1; }
  grep -E '^#[0-9]+.*DONE' "$build/$name.log" | tail -n 1 || true
done
