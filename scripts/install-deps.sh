#!/usr/bin/env bash
# Installs the Debian packages (and the browser driver from npm) that building,
# running or testing needs, and only those that are missing.
# Usage: scripts/install-deps.sh run|test|bench
# (scripts/package.sh adds dpkg-dev for the Debian package.)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-run}

packages=(g++ cmake ninja-build pkg-config ccache libjpeg-dev libpng-dev libgif-dev zlib1g-dev
  libqrencode-dev qt6-base-dev libgl-dev libminiupnpc-dev libnatpmp-dev libheif-dev libwebp-dev
  liblcms2-dev)
if [ "$what" = test ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev libfuzzer-14-dev
    clang-format chromium xvfb xauth nodejs npm curl wget zbar-tools unzip python3
    desktop-file-utils dpkg-dev man-db groff-base systemd ffmpeg)
fi
if [ "$what" = bench ]; then
  # Only the web benchmarks (bench/web-bench.sh) use these; no test does.
  packages+=(nginx-light lighttpd wrk curl python3)
  # Real photos for bench/memory-bench.sh, bench/browser-bench.sh and
  # bench/thumbs-bench.py: the wallpapers of these packages.
  packages+=(ukui-wallpapers mate-backgrounds)
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    # npm and nodejs may come from elsewhere; what counts is that they run.
    case "$p" in
      nodejs) command -v node >/dev/null && continue ;;
      npm) command -v npm >/dev/null && continue ;;
    esac
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$what" = test ] && [ -f tests/e2e/package.json ] &&
  { [ ! -d tests/e2e/node_modules/playwright-core ] || [ ! -d tests/e2e/node_modules/axe-core ]; }; then
  (cd tests/e2e && npm install --no-audit --no-fund --loglevel=error)
fi
