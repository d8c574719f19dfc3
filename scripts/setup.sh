#!/usr/bin/env bash
# setup.sh [cross] [packaging]: installs the Debian packages the build, the
# tests and the demonstration need; with "cross", also what scripts/cross.sh
# needs (the arm64 and s390x cross toolchains, arm64 libraries, qemu-user);
# with "packaging", what builds the Debian packages in a clean chroot and
# checks them (sbuild, mmdebstrap, lintian, autopkgtest, piuparts). apt is
# only consulted when something is missing, and then updated once, after the
# foreign architectures are added.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsystemd-dev libgtest-dev libbenchmark-dev libssl-dev
  dbus systemd util-linux binutils gettext locales groff-base man-db valgrind strace
  dpkg-dev debhelper
  clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
)
# Installed without what they recommend: diffoscope's recommendations are a
# tool for every file format there is, hundreds of packages that a .deb of
# ELF files and text does not need; qemu-user's would register binfmt
# handlers, which change how the whole machine runs foreign programs.
bare_packages=(diffoscope-minimal)
optional_packages=()
foreign_architectures=()
wants() { local word; for word in "${@:2}"; do [ "$word" = "$1" ] && return 0; done; return 1; }
if wants packaging "$@"; then
  # uidmap: the subordinate ids of the chroots' user namespaces.
  packages+=(lintian sbuild mmdebstrap uidmap autopkgtest piuparts)
fi
if wants cross "$@"; then
  foreign_architectures=(arm64 s390x)
  bare_packages+=(
    qemu-user
    crossbuild-essential-arm64 pkgconf:arm64 libsystemd-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
    libssl-dev:arm64 libstdc++6:arm64
    g++-s390x-linux-gnu
  )
  # Where the mirror's s390x lists lag behind amd64's these cannot be had;
  # scripts/cross.sh then builds GoogleTest from its sources.
  optional_packages=(libgtest-dev:s390x libgmock-dev:s390x)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
missing=() missing_bare=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${bare_packages[@]}"; do installed "$p" || missing_bare+=("$p"); done
if ((${#missing[@]} + ${#missing_bare[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  for arch in "${foreign_architectures[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  apt-get update
  ((${#missing[@]} == 0)) || apt-get install -y "${missing[@]}"
  ((${#missing_bare[@]} == 0)) || apt-get install -y --no-install-recommends "${missing_bare[@]}"
  for p in "${optional_packages[@]}"; do
    if ! installed "$p" && apt-get install -s --no-install-recommends "$p" >/dev/null 2>&1; then
      apt-get install -y --no-install-recommends "$p"
    fi
  done
fi
