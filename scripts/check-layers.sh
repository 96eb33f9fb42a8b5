#!/usr/bin/env bash
# Fails when a source file includes a header of a layer it may not use.
# The layers, lowest first, and what each may include besides itself:
#
#   base      -
#   net       base
#   imaging   base
#   server    base net imaging
#   network   base net
#   shell     base net imaging server network
#   controls  base net imaging server network shell
#   window    base net imaging server network shell controls
#
# A file's layer is its folder: src/<layer>/..., with src/shell/window/ being
# the window (src/shell/main.cpp, the program, may use every layer); the tests
# of tests/<layer>/ keep to their layer's rule too.
# An include's layer is the first folder of its quoted path ("shell/window/"
# for the window); includes without a folder stay in the including folder.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A MAY_USE=(
  [base]="base"
  [net]="base net"
  [imaging]="base imaging"
  [server]="base net imaging server"
  [network]="base net network"
  [shell]="base net imaging server network shell"
  [controls]="base net imaging server network shell controls"
  [window]="base net imaging server network shell controls window"
)

roots=(src)
for layer in base net imaging server network shell; do
  [[ -d tests/$layer ]] && roots+=("tests/$layer")
done
files=$(find "${roots[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
if [[ -z "$files" ]]; then
  echo "check-layers: no source files found" >&2
  exit 1
fi

bad=0
# One line per quoted include: file:line:the include's path.
while IFS=: read -r file line target; do
  if [[ "$file" == src/shell/main.cpp ]]; then
    continue  # the program itself sits on top of every layer
  fi
  rest=${file#*/}  # src/shell/window/X.cpp -> window; tests/server/X.cpp -> server
  case "$rest" in
    shell/window/*) from=window ;;
    *) from=${rest%%/*} ;;
  esac
  [[ -n "${MAY_USE[$from]+x}" ]] || continue
  case "$target" in  # shell/window/X.h -> window; base/X.h -> base; X.h -> none
    shell/window/*) to=window ;;
    */*) to=${target%%/*} ;;
    *) to= ;;
  esac
  [[ -z "$to" || -z "${MAY_USE[$to]+x}" ]] && continue
  if [[ " ${MAY_USE[$from]} " != *" $to "* ]]; then
    echo "$file:$line: $from may not include $target ($to)" >&2
    bad=1
  fi
done < <(grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' $files |
  sed -E 's/^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1:\2:\3/')

if [[ $bad -ne 0 ]]; then
  echo "check-layers: includes point the wrong way (see above)" >&2
  exit 1
fi
echo "check-layers: $(wc -w <<<"$files") files keep to their layers"
