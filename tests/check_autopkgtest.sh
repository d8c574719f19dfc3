#!/usr/bin/env bash
# check_autopkgtest.sh CHANGES: autopkgtest of the source package and the
# binary packages that the .changes file lists, in a clean testbed: the
# unshare server on the bookworm tarball the chroot build uses, brought up to
# date from the mirror. Every test must pass there, none may be skipped.
# Prints the summary and the installed files the suites ran against; the
# whole log is build/autopkgtest/log.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian_env.sh
changes=$(realpath "$1")
dir=$(dirname "$changes")
ensure_debian_tarball
mapfile -t artifacts < <(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\.\(deb\|dsc\)\)$/\1/p' "$changes" |
  grep -v -- '-dbgsym_' | sed "s|^|$dir/|")
out=build/autopkgtest
rm -rf "$out"
status=0
with_subids autopkgtest --apt-upgrade --output-dir="$out" "${artifacts[@]}" -- \
  unshare --tarball="$PWD/$debian_tarball" >/dev/null 2>&1 || status=$?
cat "$out/summary" 2>/dev/null || true
grep -o 'artifact TOLVANE_TEST_[A-Z_]*: .*' "$out/log" | sort -u || true
# 0: all passed; 2: at least one skipped; anything else failed.
if ((status != 0)) || grep -qv ' PASS' "$out/summary"; then
  grep -E 'FAILED|Failure|SKIPPED|cannot run here' "$out/log" | head -n 40 || true
  echo "FAILED: autopkgtest (exit status $status; the log: $out/log)"
  exit 1
fi
echo "ok: autopkgtest: every test passed against the installed packages"
