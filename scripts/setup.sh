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
# Installed without what they recommend: diffoscope's recommendations are a
# tool for every file format there is, hundreds of packages that a .deb of
# ELF files and text does not need.
bare_packages=(diffoscope-minimal)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"
  done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_bare < <(missing "${bare_packages[@]}")
if ((${#missing_packages[@]} + ${#missing_bare[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  if ((${#missing_packages[@]})); then apt-get install -y "${missing_packages[@]}"; fi
  if ((${#missing_bare[@]})); then apt-get install -y --no-install-recommends "${missing_bare[@]}"; fi
fi
