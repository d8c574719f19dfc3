#!/usr/bin/env bash
# check_piuparts.sh [--suite=SUITE] CHANGES: piuparts on the binary packages
# that the .changes file lists, in a minimal system of SUITE (by default the
# release they were built for) made from the mirror (build/chroot/): each package alone is installed, removed and purged, and
# both are installed over the tolvane package that CPack made before them
# (package_checks/make_old_package.sh makes its stand-in), which must go, before they
# are removed and purged in turn. Each run fails on anything left behind.
# piuparts mounts in its chroots: it runs in a private mount namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian_env.sh
use_changes "$@"
ensure_minbase_tarball
mapfile -t debs < <(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\.deb\)$/\1/p' "$changes" | grep -v -- '-dbgsym_' |
  sed "s|^|$dir/|")
mkprofile_deb=$(printf '%s\n' "${debs[@]}" | grep '/tolvane-mkprofile_')
notify_deb=$(printf '%s\n' "${debs[@]}" | grep '/tolvane-notify_')

work=$(realpath -m "build/piuparts-$debian_suite")
rm -rf "$work"
mkdir -p "$work/old" "$work/scripts" "$work/tmp"
old_deb=$(bash package_checks/make_old_package.sh "$work/old" "$mkprofile_deb" "$notify_deb")
# Run in the chroot before the packages are installed (twice: piuparts asks
# for these scripts before its own preparations and before the packages).
cat >"$work/scripts/pre_install_old_tolvane" <<EOF
#!/bin/sh
set -e
dpkg -i "$old_deb"
EOF
# And after they are installed: the old package is gone, its files are theirs.
cat >"$work/scripts/post_install_old_tolvane_replaced" <<'EOF'
#!/bin/sh
set -e
if dpkg-query -W -f='${Status}\n' tolvane 2>/dev/null | grep -q 'ok installed'; then
  echo "the old tolvane package is still installed" >&2
  exit 1
fi
for file in /usr/sbin/tv-mkprofile /usr/bin/tolvane-notify-check; do
  dpkg-query -S "$file"
done
dpkg-query -S /usr/sbin/tv-mkprofile | grep -q '^tolvane-mkprofile:'
dpkg-query -S /usr/bin/tolvane-notify-check | grep -q '^tolvane-notify:'
EOF
chmod +x "$work"/scripts/*

run_piuparts() {
  local log=$1
  shift
  # debconf's dpkg-preconfigure keeps its working directory, tmp.ci, on
  # trixie and sid, which Debian 12's piuparts does not count as debconf's.
  unshare --mount --propagation private -- piuparts --basetgz="$PWD/$debian_minbase_tarball" --distribution="$debian_suite" \
    --keep-sources-list --no-upgrade-test --ignore=/var/cache/debconf/tmp.ci/ --tmpdir="$work/tmp" \
    --log-file="$work/$log" "$@" >/dev/null 2>&1 || {
    tail -n 40 "$work/$log"
    echo "FAILED: piuparts $log (whole log: $work/$log)"
    return 1
  }
  echo "ok: piuparts on $debian_suite, $log: $(grep -o 'PASS: .*' "$work/$log" | sort -u | paste -sd ' ')"
}
fail=0
run_piuparts tolvane-mkprofile.log "$mkprofile_deb" || fail=1
run_piuparts tolvane-notify.log "$notify_deb" || fail=1
run_piuparts upgrade-from-tolvane-0.1.0.log --bindmount="$work/old" --scriptsdir="$work/scripts" \
  "$mkprofile_deb" "$notify_deb" || fail=1
exit $fail
