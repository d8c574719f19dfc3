#!/usr/bin/env bash
# Builds the Debian package as a distribution would (prefix /usr) into
# build/package and prints its path. The builder's umask would reach the
# modes of the package's directories and members: it is fixed, as
# dpkg-buildpackage fixes it.
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
bash scripts/build.sh package -DCMAKE_INSTALL_PREFIX=/usr -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCH=OFF >/dev/null
(cd build/package && cpack -G DEB >/dev/null 2>&1)
ls "$PWD"/build/package/tolvane_*.deb
