#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need.
# apt is only consulted when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsystemd-dev libgtest-dev libbenchmark-dev libssl-dev
  dbus systemd util-linux binutils gettext locales groff-base man-db valgrind strace
  dpkg-dev lintian
  clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi
