#!/usr/bin/env bash
# check_autopkgtest.sh [--null] [--suite=SUITE] CHANGES: autopkgtest of the
# source package and the binary packages that the .changes file lists, in a
# clean testbed of SUITE (by default the release they were built for): the
# unshare server on the tarball the chroot build of that suite uses, brought
# up to date from the mirror. Every test must pass there, none may be
# skipped. Prints the summary and the installed files the suites ran
# against; the whole log is build/autopkgtest-SUITE/log.
#   --null  with autopkgtest's null runner instead, which installs the
#           packages on the machine it runs on: here a throwaway root made
#           from the same tarball and entered as root, in a private mount
#           namespace, so this machine stays as it is. Not part of
#           scripts/test.sh, which runs the same tests in the unshare testbed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian_env.sh
null=0
if [ "$1" = --null ]; then
  null=1
  shift
fi
use_changes "$@"
ensure_debian_tarball
mapfile -t artifacts < <(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\.\(deb\|dsc\)\)$/\1/p' "$changes" |
  grep -v -- '-dbgsym_' | sed "s|^|$dir/|")
out=build/autopkgtest-$debian_suite
rm -rf "$out"
status=0
if ((null)); then
  out=build/autopkgtest-null-$debian_suite
  root=$(realpath -m "build/null-testbed-$debian_suite")
  rm -rf --one-file-system "$out" "$root"
  mkdir -p "$root/srv/tolvane"
  tar -xf "$debian_tarball" -C "$root" --exclude='./dev/*'
  # The packages, and the files the source package's .dsc names.
  cp "${artifacts[@]}" "$dir"/*.orig.tar.* "$dir"/*.debian.tar.* "$root/srv/tolvane/"
  unshare --mount --propagation private --pid --fork -- sh -ec '
    mount -t proc proc "$1/proc"
    mount --rbind /sys "$1/sys"
    mount --rbind /dev "$1/dev"
    mount -t tmpfs tmpfs "$1/tmp"
    exec chroot "$1" sh -ec "
      apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install autopkgtest
      autopkgtest --output-dir=/srv/out /srv/tolvane/*.deb /srv/tolvane/*.dsc -- null"' sh "$root" \
    >"$out.log" 2>&1 || status=$?
  mv "$root/srv/out" "$out" || true
  rm -rf --one-file-system "$root"
else
  with_subids autopkgtest --apt-upgrade --output-dir="$out" "${artifacts[@]}" -- \
    unshare --tarball="$PWD/$debian_tarball" >/dev/null 2>&1 || status=$?
fi
cat "$out/summary" 2>/dev/null || true
grep -o 'artifact TOLVANE_TEST_[A-Z_]*: .*' "$out/log" | sort -u || true
# 0: all passed; 2: at least one skipped; anything else failed.
if ((status != 0)) || grep -qv ' PASS' "$out/summary"; then
  grep -E 'FAILED|Failure|SKIPPED|cannot run here' "$out/log" | head -n 40 || true
  echo "FAILED: autopkgtest (exit status $status; the log: $out/log)"
  exit 1
fi
echo "ok: autopkgtest on $debian_suite ($( ((null)) && echo null runner in a throwaway root || echo unshare testbed)):" \
  "every test passed against the installed packages"
