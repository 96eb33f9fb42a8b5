#!/usr/bin/env bash
# Installs what is missing, builds the Release program (and the tracker,
# build/mirelo-tracker) and starts the program with the options given (see
# ./run.sh --help).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh run
# Tests and benchmarks need packages that only ./test.sh installs.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRELO_TESTS=OFF -DMIRELO_BENCH=OFF \
  >/dev/null
cmake --build build --target mirelo-share mirelo-tracker
exec build/mirelo-share "$@"
