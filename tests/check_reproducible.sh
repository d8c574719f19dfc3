#!/usr/bin/env bash
# check_reproducible.sh: builds the Debian package twice, from two copies of the
# tree (without .git) at different paths, under different umasks, source file
# times and build times, the second with git out of reach, and compares the two
# .deb files byte for byte. When they differ it names the members that do and
# shows how with diffoscope. Then every time in the package must be
# SOURCE_DATE_EPOCH: the newest changelog entry's, the last commit's, the
# builder's.
set -euo pipefail
cd "$(dirname "$0")/.."
export TZ=UTC0
unset SOURCE_DATE_EPOCH
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0
check() { if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; diff <(echo "$3") <(echo "$2") || true; fail=1; fi; }

one=$scratch/a/tolvane
two=$scratch/second/builder/tolvane-0.1.0
for tree in "$one" "$two"; do
  mkdir -p "$tree"
  tar --exclude=./.git --exclude=./build -cf - . | tar -xf - -C "$tree"
done
find "$two" -exec touch {} +
mkdir "$scratch/bin"
printf '#!/bin/sh\necho "git: not available in this check" >&2\nexit 127\n' >"$scratch/bin/git"
chmod +x "$scratch/bin/git"
deb_one=$(umask 022 && bash "$one/scripts/package.sh")
deb_two=$(umask 077 && PATH="$scratch/bin:$PATH" bash "$two/scripts/package.sh")

# One line per thing the package holds, its name last: each ar member's header
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
if cmp -s "$deb_one" "$deb_two"; then
  echo "ok: the two builds give the same package, byte for byte"
else
  echo "FAILED: the two builds give different packages; the members that differ:"
  diff <(manifest "$deb_one") <(manifest "$deb_two") | sed -n 's/^[<>] //p' | awk '{print "  " $1, $NF}' | sort -u || true
  diffoscope --no-progress "$deb_one" "$deb_two" | head -n 200 || true
  fail=1
fi

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
check "without SOURCE_DATE_EPOCH or .git, every time is the newest changelog entry's" \
  "$(times_in "$deb_one")" "$(dpkg-parsechangelog -l "$one/packaging/changelog" -STimestamp)"
repack() { (cd "$one/build/package" && cpack -G DEB >/dev/null 2>&1); }
if command -v git >/dev/null; then
  git -C "$one" init -q
  git -C "$one" add -A
  GIT_COMMITTER_DATE=@1700000000 git -C "$one" -c user.name=check -c user.email=check@invalid commit -qm tree
  repack
  check "in a clone, every time is the last commit's" "$(times_in "$deb_one")" 1700000000
else
  echo "skipped: in a clone, every time is the last commit's (no git here)"
fi
SOURCE_DATE_EPOCH=1600000000 repack
check "every time is the builder's SOURCE_DATE_EPOCH" "$(times_in "$deb_one")" 1600000000
exit $fail
