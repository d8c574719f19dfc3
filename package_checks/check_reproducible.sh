#!/usr/bin/env bash
# check_reproducible.sh: builds the Debian packages twice with
# scripts/package.sh (dpkg-buildpackage, without the tests), from two copies
# of the tree (without .git) at different paths, under different umasks and
# source file times, the second with git out of reach, and compares every
# .deb byte for byte. When they differ it names the members that do and
# shows how with diffoscope. Then every time in the packages must be
# SOURCE_DATE_EPOCH: the newest changelog entry's, or the builder's when set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/tree_copy.sh
export TZ=UTC0
unset SOURCE_DATE_EPOCH
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0
check() { if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; diff <(echo "$3") <(echo "$2") || true; fail=1; fi; }

one=$scratch/a/tolvane
two=$scratch/second/builder/tolvane-0.1.0
copy_tree "$one"
copy_tree "$two"
find "$two" -exec touch {} +
git_out_of_reach "$scratch/bin"
# The two builds side by side, one core each.
(umask 022 && DEB_BUILD_OPTIONS="nocheck parallel=1" bash "$one/scripts/package.sh" -Pnocheck \
  >"$scratch/one.changes" 2>"$scratch/one.log") &
first=$!
(umask 077 && PATH="$scratch/bin:$PATH" DEB_BUILD_OPTIONS="nocheck parallel=1" bash "$two/scripts/package.sh" -Pnocheck \
  >"$scratch/two.changes" 2>"$scratch/two.log") &
second=$!
for build in "$first:one" "$second:two"; do
  if ! wait "${build%%:*}"; then
    tail -n 30 "$scratch/${build#*:}.log"
    echo "FAILED: the build from the ${build#*:}'s tree"
    exit 1
  fi
done
dir_one=$(dirname "$(cat "$scratch/one.changes")")
dir_two=$(dirname "$(cat "$scratch/two.changes")")
mapfile -t debs < <(cd "$dir_one" && ls ./*.deb | sed 's|^\./||')
check "both builds give the same packages" "$(cd "$dir_two" && ls ./*.deb | sed 's|^\./||')" "$(printf '%s\n' "${debs[@]}")"

# One line per thing a package holds, its name last: each ar member's header
# and digest, then each control and data file's header and digest.
manifest() {
  local deb=$1 member part
  ar tv "$deb" | sed 's/^/deb /'
  for member in $(ar t "$deb"); do echo "deb $(ar p "$deb" "$member" | md5sum | cut -c1-32) $member"; done
  for part in ctrl fsys; do
    dpkg-deb --$part-tarfile "$deb" | tar -tv --full-time | sed "s/^/$part /"
    (cd "$scratch" && dpkg-deb --$part-tarfile "$deb" |
      tar -x --to-command="echo \"$part \$(md5sum | cut -c1-32) \$TAR_FILENAME\"")
  done
}
for deb in "${debs[@]}"; do
  if cmp -s "$dir_one/$deb" "$dir_two/$deb"; then
    echo "ok: $deb is the same from both builds, byte for byte"
  else
    echo "FAILED: $deb differs between the builds; the members that differ:"
    diff <(manifest "$dir_one/$deb") <(manifest "$dir_two/$deb") | sed -n 's/^[<>] //p' | awk '{print "  " $1, $NF}' |
      sort -u || true
    diffoscope --no-progress "$dir_one/$deb" "$dir_two/$deb" | head -n 200 || true
    fail=1
  fi
done

# Every distinct time in a package, in seconds: the ar headers' (a 60-byte
# header, its mtime at byte 16, its size at byte 48, the member padded to even
# length), then the control and data files'.
times_in() {
  local deb=$1 offset=8 header size total part stamp
  total=$(stat -c %s "$deb")
  {
    while ((offset < total)); do
      header=$(dd if="$deb" bs=1 skip="$offset" count=60 2>/dev/null)
      echo $((${header:16:12}))
      size=$((${header:48:10}))
      offset=$((offset + 60 + size + size % 2))
    done
    for part in ctrl fsys; do
      dpkg-deb --$part-tarfile "$deb" | tar -tv --full-time | awk '{print $4 " " $5}' | sort -u |
        while read -r stamp; do date -d "$stamp" +%s; done
    done
  } | sort -u
}
all_times() { local deb; for deb in "${debs[@]}"; do times_in "$dir_one/$deb"; done | sort -u; }
# The changelog as built: a backport's has an entry of its own.
check "without SOURCE_DATE_EPOCH, every time is the newest changelog entry's" \
  "$(all_times)" "$(dpkg-parsechangelog -l "$(echo "$dir_one"/tolvane-*/debian/changelog)" -STimestamp)"
# The packages made again from the same build, as a builder who sets
# SOURCE_DATE_EPOCH would have them.
(cd "$dir_one"/tolvane-*/ && SOURCE_DATE_EPOCH=1600000000 dh_builddeb >/dev/null 2>&1)
check "every time is the builder's SOURCE_DATE_EPOCH" "$(all_times)" 1600000000
exit $fail
