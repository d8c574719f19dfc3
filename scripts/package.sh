#!/usr/bin/env bash
# package.sh [--chroot] [OPTION...]: builds the source package tolvane and,
# from it, the binary packages tolvane-mkprofile and tolvane-notify into
# build/package/, and prints the path of the .changes file that lists them.
#   (default)  dpkg-buildpackage on this machine, whose build dependencies
#              scripts/setup.sh installs; OPTIONs go to dpkg-buildpackage
#              (-Pnocheck builds without the tests)
#   --chroot   sbuild in a clean bookworm chroot made from this machine's
#              Debian mirror (build/chroot/), as a distribution's builder
#              does: a missing build dependency fails the build there;
#              OPTIONs go to sbuild (--profiles=nocheck)
# DEB_BUILD_OPTIONS is honoured (parallel=N, nocheck). The build's own
# output goes to standard error and to build.log beside the packages.
# TOLVANE_PACKAGE_DIR puts them elsewhere than build/package, so that a
# cross build (-aarm64 -Pcross,nocheck) leaves the native packages alone.
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
source scripts/debian_env.sh
chroot=0
if [ "${1:-}" = --chroot ]; then
  chroot=1
  shift
fi
if ((chroot)); then
  bash scripts/setup.sh packaging >&2
else
  bash scripts/setup.sh >&2
fi

version=$(dpkg-parsechangelog -SVersion)
upstream=${version%-*}
out=${TOLVANE_PACKAGE_DIR:-build/package}
tree=$out/tolvane-$upstream
rm -rf "$out"
mkdir -p "$tree"

# The upstream tarball: the tree less its packaging, git and build
# directories. Its bytes depend on the files' contents alone, not on their
# owners, times or the umask of the checkout: every file gets the time of
# the changelog's entry, which the build then clamps every time to.
epoch=$(dpkg-parsechangelog -STimestamp)
pack() {
  tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --mode=u+rwX,go=rX --exclude-vcs "$@"
}
pack --exclude=./build --exclude=./debian --exclude='./obj-*' --transform="s,^\.,tolvane-$upstream," -cf - . |
  xz -T1 -6 >"$out/tolvane_$upstream.orig.tar.xz"
tar -xf "$out/tolvane_$upstream.orig.tar.xz" -C "$out"
# debian/ as committed, less what a build inside the working tree leaves.
pack --exclude=./debian/.debhelper --exclude=./debian/tmp --exclude=./debian/files --exclude='./debian/*.substvars' \
  --exclude='./debian/*.debhelper*' --exclude=./debian/tolvane-mkprofile --exclude=./debian/tolvane-notify \
  --exclude='./debian/*-dbgsym' -cf - ./debian | tar -xf - -C "$tree"

if ((chroot)); then
  ensure_debian_tarball
  (cd "$out" && dpkg-source -b "tolvane-$upstream") >&2
  # sbuild's settings, read after the user's own: the build runs as the
  # unprivileged user sbuild, as on Debian's builders.
  cat >"$out/sbuild.conf" <<'EOF'
$build_user = 'sbuild';
$run_lintian = 0;
$run_piuparts = 0;
$run_autopkgtest = 0;
1;
EOF
  # -sa: the upstream tarball goes into the upload, as for a first one.
  with_subids env SBUILD_CONFIG="$PWD/$out/sbuild.conf" \
    sbuild --chroot-mode=unshare --chroot="$PWD/$debian_tarball" --dist=bookworm --source --build-dir="$out" \
    --debbuildopt=-sa --nolog "$@" "$out/tolvane_$version.dsc" 2>&1 | tee "$out/build.log" >&2
else
  (cd "$tree" && dpkg-buildpackage -us -uc -sa "$@") 2>&1 | tee "$out/build.log" >&2
fi
host_arch=$(dpkg --print-architecture)
for option in "$@"; do
  case $option in
    -a?*) host_arch=${option#-a} ;;
    --host-arch=*) host_arch=${option#--host-arch=} ;;
  esac
done
ls "$PWD/$out/tolvane_${version}_$host_arch.changes"
