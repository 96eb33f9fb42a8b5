#!/usr/bin/env bash
# Installs what is missing, builds the Release program and starts it with the
# options given (see ./run.sh --help).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target mirelo-share
exec build/mirelo-share "$@"
