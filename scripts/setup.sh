#!/usr/bin/env bash
# setup.sh [cross] [packaging]: installs the Debian packages the build, the
# tests and the demonstration need; with "cross", also what scripts/cross.sh
# needs (the cross compilers for arm64, ppc64el, s390x and mips64el,
# qemu-user, and mmdebstrap, which makes each machine's sysroot; its
# libraries are not installed here) and what a cross build of the Debian
# package for arm64 needs (arm64's libraries, by multiarch); with
# "packaging", what builds the Debian packages in a clean chroot and checks
# them (sbuild, mmdebstrap, lintian, autopkgtest, piuparts, blhc, reprotest).
# apt is only updated when something is missing (or when it knows no clang
# yet, whose version comes from the release), and then once, after the
# foreign architecture is added. A held package counts as installed and is
# never upgraded. A package counts as installed only for this machine's own
# architecture (or Architecture: all) unless it is named with another
# (libsystemd-dev:arm64).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/clang_version.sh
export DEBIAN_FRONTEND=noninteractive
# Another apt or dpkg may hold the lock (an unattended upgrade): wait for it.
apt_get() { apt-get -o DPkg::Lock::Timeout=900 "$@"; }
updated=0
clang=$(clang_version)
if [ -z "$clang" ]; then
  apt_get update
  updated=1
  clang=$(clang_version)
fi
if [ -z "$clang" ]; then
  echo "apt knows no clang package on this machine" >&2
  exit 1
fi

packages=(
  build-essential cmake ninja-build pkg-config
  libsystemd-dev libgtest-dev libbenchmark-dev libssl-dev
  dbus systemd util-linux binutils gettext locales groff-base man-db valgrind strace gcovr
  dpkg-dev debhelper
  clang "clang-$clang" "libclang-rt-$clang-dev" "clang-tidy-$clang" "clang-format-$clang" cppcheck
)
# Installed without what they recommend: diffoscope's recommendations are a
# tool for every file format there is, hundreds of packages that a .deb of
# ELF files and text does not need; reprotest's, every locale there is
# (package_checks/check_reproducible.sh makes the one it varies to) and
# sudo; qemu-user's would register binfmt handlers, which change how the
# whole machine runs foreign programs.
bare_packages=()
foreign_architectures=()
wants() { local word; for word in "${@:2}"; do [ "$word" = "$1" ] && return 0; done; return 1; }
if wants packaging "$@"; then
  # uidmap: the subordinate ids of the chroots' user namespaces.
  packages+=(lintian sbuild mmdebstrap uidmap autopkgtest piuparts blhc)
  # reprotest's file order and time variations.
  bare_packages+=(reprotest diffoscope-minimal disorderfs faketime)
fi
if wants cross "$@"; then
  foreign_architectures=(arm64)
  # The cross compilers of the architectures that build with this machine's
  # own release; scripts/cross.sh builds the others in a root of their
  # release's tools, which mmdebstrap makes.
  source "$(dirname "$0")/lib/cross_machines.sh"
  mapfile -t cross_compiler_packages < <(cross_compilers "$(. /etc/os-release && echo "$VERSION_CODENAME")")
  bare_packages+=(
    qemu-user mmdebstrap "${cross_compiler_packages[@]}"
    # The package's cross build (dpkg-buildpackage -aarm64 -Pcross,nocheck):
    # its build dependencies for arm64, and the C++ runtime that
    # dpkg-shlibdeps looks for among arm64's libraries.
    crossbuild-essential-arm64 pkgconf:arm64 libsystemd-dev:arm64 libstdc++6:arm64
  )
fi

# What is installed, as NAME:ARCH lines, asked of dpkg once (which fails
# on a name it has never seen). A package the administrator holds is
# installed too: it is neither named to apt nor upgraded.
native=$(dpkg --print-architecture)
present=$(dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "${packages[@]%:*}" "${bare_packages[@]%:*}" \
  2>/dev/null | sed -nE 's/ (install|hold) ok installed$//p' || true)
installed() {
  case $1 in
    *:*) grep -qxF -e "$1" <<<"$present" ;;
    *) grep -qxF -e "$1:$native" -e "$1:all" <<<"$present" ;;
  esac
}
missing=() missing_bare=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${bare_packages[@]}"; do installed "$p" || missing_bare+=("$p"); done
if ((${#missing[@]} + ${#missing_bare[@]})); then
  added=0
  for arch in "${foreign_architectures[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || { dpkg --add-architecture "$arch"; added=1; }
  done
  ((updated && !added)) || apt_get update
  # apt changes no held package unless told to; where one is in the way of
  # what is missing, it refuses, and the held ones are named.
  status=0
  ((${#missing[@]} == 0)) || apt_get install -y "${missing[@]}" || status=$?
  ((status || ${#missing_bare[@]} == 0)) ||
    apt_get install -y --no-install-recommends "${missing_bare[@]}" || status=$?
  if ((status)); then
    held=$(apt-mark showhold)
    [ -z "$held" ] || echo "could not install ${missing[*]} ${missing_bare[*]}; held here, and left as they are: $(tr '\n' ' ' <<<"$held")" >&2
    exit "$status"
  fi
fi
