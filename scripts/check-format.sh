#!/usr/bin/env bash
# Fails when a C/C++ file of the project differs from what clang-format makes
# of it with the repository's .clang-format (written for clang-format 14).
# Only tracked files are read, so build folders and third-party trees stay out.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format: run clang-format -i on the files above" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
