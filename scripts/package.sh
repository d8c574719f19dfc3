#!/usr/bin/env bash
# package.sh [--chroot [--suite=SUITE]] [OPTION...]: builds the source
# package tolvane and, from it, the binary packages tolvane-mkprofile and
# tolvane-notify into build/package/, and prints the path of the .changes
# file that lists them.
#   (default)  dpkg-buildpackage on this machine, whose build dependencies
#              scripts/setup.sh installs; OPTIONs go to dpkg-buildpackage
#              (-Pnocheck builds without the tests, -S the source package
#              alone)
#   --chroot   sbuild in a clean chroot of SUITE (bookworm, the default,
#              trixie or sid) made from this machine's Debian mirror
#              (build/chroot/), as a distribution's builder does: a missing
#              build dependency fails the build there. Then that release's
#              lintian, inside the chroot, on the source and binary
#              packages (their tags in lintian.txt): on sid any tag fails
#              the build (but the ITP bug's, below), elsewhere an error or a
#              warning does. OPTIONs go to sbuild (--profiles=nocheck)
# debian/ is what an upload to unstable carries. For an older release
# (bookworm or trixie, in its chroot or as this machine's own) the unpacked
# copy becomes that release's backport: an entry and version of its own in
# the changelog, and the debhelper compat level that is stable there.
# DEB_BUILD_OPTIONS is honoured (parallel=N, nocheck). The build's own
# output goes to standard error and to build.log beside the packages, which
# the release's blhc then reads: a compile or link line without its
# hardening flags fails the build (check_build_log, scripts/lib/debian_env.sh).
# TOLVANE_PACKAGE_DIR puts them elsewhere than build/package, so that a
# cross build (-aarm64 -Pcross,nocheck) leaves the native packages alone.
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
source scripts/lib/debian_env.sh
chroot=0
suite=$(host_suite)
if [ "${1:-}" = --chroot ]; then
  chroot=1
  suite=bookworm
  shift
  if [[ ${1:-} == --suite=* ]]; then
    suite=${1#--suite=}
    shift
  fi
  use_debian_suite "$suite"
  user_namespaces "a package build in a clean chroot (sbuild's unshare mode)"
  bash scripts/setup.sh packaging >&2
else
  bash scripts/setup.sh >&2
fi

upstream=$(dpkg-parsechangelog -SVersion)
upstream=${upstream%-*}
# Absolute from here on: the build runs in other directories, and sbuild reads
# its settings from a path given to it.
out=$(realpath -m "${TOLVANE_PACKAGE_DIR:-build/package}")
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
# Nor the packages' own directory, where it is in the tree.
own=()
[[ $out != "$PWD"/* ]] || own=(--exclude="./${out#"$PWD"/}")
pack --exclude=./build "${own[@]}" --exclude=./debian --exclude='./obj-*' --transform="s,^\.,tolvane-$upstream," -cf - . |
  xz -T1 -6 >"$out/tolvane_$upstream.orig.tar.xz"
tar -xf "$out/tolvane_$upstream.orig.tar.xz" -C "$out"
# debian/ as committed, less what a build inside the working tree leaves.
pack --exclude=./debian/.debhelper --exclude=./debian/tmp --exclude=./debian/files --exclude='./debian/*.substvars' \
  --exclude='./debian/*.debhelper*' --exclude=./debian/tolvane-mkprofile --exclude=./debian/tolvane-notify \
  --exclude='./debian/*-dbgsym' -cf - ./debian | tar -xf - -C "$tree"

# backport SUITE: the copy as the backport of unstable's upload to SUITE.
backport() {
  local number changelog=$tree/debian/changelog previous maintainer stamp
  case $1 in
    bookworm) number=12 ;;
    trixie) number=13 ;;
    *) return 0 ;;
  esac
  previous=$(dpkg-parsechangelog -l "$changelog" -SVersion)
  maintainer=$(dpkg-parsechangelog -l "$changelog" -SMaintainer)
  # A second after unstable's entry: the newest entry must be the newest in time.
  stamp=$(($(dpkg-parsechangelog -l "$changelog" -STimestamp) + 1))
  {
    printf 'tolvane (%s~bpo%s+1) %s-backports; urgency=medium\n\n' "$previous" "$number" "$1"
    printf '  * Rebuild for %s-backports.\n\n -- %s  %s\n\n' "$1" "$maintainer" "$(date -R -u -d "@$stamp")"
    cat "$changelog"
  } >"$changelog.new"
  mv "$changelog.new" "$changelog"
  sed -i 's/debhelper-compat (= [0-9]*)/debhelper-compat (= 13)/' "$tree/debian/control"
  # A backport follows unstable's entry: it is no first upload, and the
  # override for one would be left unused.
  sed -i '/^# No ITP bug/,/^tolvane-[a-z]*: initial-upload-closes-no-bugs /d' "$tree"/debian/*.lintian-overrides
  find "$tree/debian" -name '*.lintian-overrides' -empty -delete
  # valgrind came to riscv64 after Debian 13.
  sed -i 's/^\( valgrind[^[]*\[.*\) riscv64\(.*\]\)/\1\2/' "$tree/debian/control" "$tree/debian/tests/control"
  # The lintian of Debian 12 and 13 wants a Priority and knows watch files
  # up to version 4; Debian 12's dpkg builds as root unless told otherwise.
  sed -i 's/^Section: admin$/&\nPriority: optional\nRules-Requires-Root: no/' "$tree/debian/control"
  sed -i 's/^Version: 5$/version=4/' "$tree/debian/watch"
  # debian/ as packed, at the time of its newest entry.
  find "$tree/debian" -exec touch -h -d "@$stamp" {} +
}
backport "$suite"
version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -SVersion)

if ((chroot)); then
  ensure_debian_tarball
  (cd "$out" && dpkg-source -b "tolvane-$upstream") >&2
  # lintian prints every tag; an error or a warning fails the build, and on
  # sid, where an upload goes, any tag does.
  fail_on=error,warning
  [ "$suite" != sid ] || fail_on=error,warning,info,pedantic,experimental
  # sbuild's settings, read after the user's own: the build runs as the
  # unprivileged user sbuild, as on Debian's builders; lintian runs in the
  # chroot, from its own release.
  cat >"$out/sbuild.conf" <<EOF
\$build_user = 'sbuild';
\$run_lintian = 1;
\$lintian_opts = ['-I', '-E', '--pedantic', '--fail-on=$fail_on'];
\$lintian_require_success = 1;
\$run_piuparts = 0;
\$run_autopkgtest = 0;
1;
EOF
  # -sa: the upstream tarball goes into the upload, as for a first one.
  status=0
  with_subids env SBUILD_CONFIG="$out/sbuild.conf" \
    sbuild --chroot-mode=unshare --chroot="$PWD/$debian_tarball" \
    --dist="$(dpkg-parsechangelog -l "$tree/debian/changelog" -SDistribution)" --source --build-dir="$out" \
    --debbuildopt=-sa --nolog "$@" "$out/tolvane_$version.dsc" 2>&1 | tee "$out/build.log" >&2 || status=$?
  # lintian's tags, beside the packages.
  sed -n '/^Running lintian\.\.\.$/,/^[IE]: Lintian run /p' "$out/build.log" | grep -E '^[EWIPX]: ' |
    grep -vE '^[IE]: Lintian run ' >"$out/lintian.txt" || true
  ((status == 0)) || exit $status
  if [ "$suite" = sid ] && [ -s "$out/lintian.txt" ]; then
    echo "FAILED: lintian from sid: $(wc -l <"$out/lintian.txt") tags" >&2
    exit 1
  fi
else
  (cd "$tree" && dpkg-buildpackage -us -uc -sa "$@") 2>&1 | tee "$out/build.log" >&2
  debian_suite=$suite
fi
host_arch=$(dpkg --print-architecture)
for option in "$@"; do
  case $option in
    -a?*) host_arch=${option#-a} ;;
    --host-arch=*) host_arch=${option#--host-arch=} ;;
    -S | --build=source) host_arch=source ;;
  esac
done
# Whatever was compiled, with the flags it should have.
[ "$host_arch" = source ] || check_build_log "$out/build.log" >&2
ls "$out/tolvane_${version}_$host_arch.changes"
