#!/usr/bin/env bash
# Builds the Debian package mirelo-share_<version>_<arch>.deb (the version is
# the one in CMakeLists.txt's project()) into build-package/ and prints its path.
# Install it with: sudo apt install ./build-package/mirelo-share_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
# dpkg-shlibdeps (dpkg-dev) finds the Debian packages of the linked libraries.
if ! command -v dpkg-shlibdeps >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq --no-install-recommends dpkg-dev
fi
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRELO_TESTS=OFF \
  -DMIRELO_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package --target mirelo-share mirelo-tracker
(cd build-package && cpack -G DEB -B "$PWD" >/dev/null)
ls "$PWD"/build-package/mirelo-share_*.deb
