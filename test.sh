#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRELO_TESTS=ON -DMIRELO_BENCH=ON \
  -DMIRELO_WERROR="${MIRELO_WERROR:-OFF}" \
  >/dev/null
cmake --build build
cd build
# Nothing a test starts may leave this machine (no router discovery).
export MIRELO_LOOPBACK_ONLY=1
ctest --output-on-failure --timeout 600 -j2
