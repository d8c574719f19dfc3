#!/usr/bin/env bash
# check_reproducible.sh: reprotest builds the binary packages twice on this
# machine (dpkg-buildpackage -b, without the tests) from the source package
# that scripts/package.sh makes, with git out of reach, the second build
# varied, and fails when any .deb differs; diffoscope shows how. Run as a
# user who may unshare, or as root. Varied: the build path, the time
# (faketime, more than a year ahead), the locale (et_EE.UTF-8, whose order
# of letters is not ASCII's, made here with localedef), the time zone, the
# umask, the CPU count (1, then all), the file order (disorderfs), HOME,
# PATH, an added variable, the kernel's name and version (setarch), address
# space randomisation, and the host and domain names. Not varied: the user
# and group, as reprotest does that with sudo to an account named in
# sudoers, and this check leaves the machine's accounts and /etc alone.
# Where FUSE cannot mount, the file order is not varied; where no user
# namespace can be made, the host and domain names are not; with one CPU,
# the count cannot vary: the output says so. Then what reprotest does not
# see, as both builds agree on it: every time in the packages must be
# SOURCE_DATE_EPOCH, the newest changelog entry's or, when a builder sets
# it, the builder's; and blhc on both builds' log. Everything is kept in
# build/reproducible/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/tree_copy.sh
source scripts/lib/debian_env.sh
work=$(realpath -m build/reproducible)
rm -rf "$work"
mkdir -p "$work/locale"
unset SOURCE_DATE_EPOCH
# The times below are read in UTC; reprotest sets the builds' own.
export TZ=UTC0
bash scripts/setup.sh packaging >&2
fail=0
check() { if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; diff <(echo "$3") <(echo "$2") || true; fail=1; fi; }

changes=$(TOLVANE_PACKAGE_DIR=$work/source bash scripts/package.sh -S 2>"$work/source.log") || {
  tail -n 30 "$work/source.log"
  echo "FAILED: the source package"
  exit 1
}
dsc=${changes%_source.changes}.dsc
source_files="${dsc##*/} $(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\)$/\1/p' "$dsc" | tr '\n' ' ')"

variations=+all
off() {
  variations+=,-$1
  echo "not varied: $1, $2"
}
off user_group "which needs sudo to another account named in sudoers"
# disorderfs needs /dev/fuse and the right to mount with it.
probe=$work/fuse-probe
mkdir -p "$probe/in" "$probe/out"
if disorderfs -q "$probe/in" "$probe/out" 2>"$probe.err"; then
  fusermount -u "$probe/out"
else
  off fileordering "as disorderfs cannot mount here: $(tail -n 1 "$probe.err")"
fi
rm -rf "$probe" "$probe.err"
# Without sudo, reprotest sets the names in a user namespace of its own.
why=$(unshare --user --map-root-user --uts true 2>&1) || off domain_host "as no user namespace can be made here (${why##*: })"
(($(nproc) > 1)) || echo "not varied: num_cpus, as this machine has one CPU"
localedef -i et_EE -f UTF-8 "$work/locale/et_EE.UTF-8"
# Where LOCPATH is set, the C.UTF-8 of the first build is looked for there too.
cp -r /usr/lib/locale/C.utf8 "$work/locale/"
git_out_of_reach "$work/bin"

# Each build also makes the packages again as a builder who sets
# SOURCE_DATE_EPOCH would have them, into builder/.
build='dpkg-source -x '"${dsc##*/}"' "$(basename "$PWD")" && cd "$(basename "$PWD")" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage --no-sign -b -Pnocheck &&
  mkdir ../builder && SOURCE_DATE_EPOCH=1600000000 dh_builddeb --destdir=../builder'
status=0
PATH="$work/bin:$PATH" LOCPATH=$work/locale reprotest --verbosity=1 --store-dir="$work/artifacts" \
  --variations="$variations,time.faketimes=+400days+5hours" --source-pattern="$source_files" -s "$work/source" \
  "$build" '*.deb builder/*.deb' -- null >"$work/reprotest.log" 2>&1 || status=$?
# What each build had, as reprotest says.
awk '/^INFO:reprotest:build "control"/ { build = "first build" } /^INFO:reprotest:build "experiment-1"/ { build = "second build" }
  /^INFO:reprotest.build:[A-Z_]+ variation|num_cpus is ineffective/ { sub(/^INFO:reprotest.build:/, ""); print "  " build ": " $0 }' \
  "$work/reprotest.log"
if ((status != 0)); then
  if [ -s "$work/artifacts/experiment-1.diffoscope.out" ]; then
    head -n 200 "$work/artifacts/experiment-1.diffoscope.out"
    echo "FAILED: the packages differ between the two builds (diffoscope: $work/artifacts/experiment-1.diffoscope.out)"
  else
    tail -n 40 "$work/reprotest.log"
    echo "FAILED: reprotest, exit status $status (its log: $work/reprotest.log)"
  fi
  exit 1
fi
echo "ok: reprotest: every package is the same from both builds, byte for byte:"
sed 's/^/  /' "$work/artifacts/SHA256SUMS"
# Both builds' compile and link lines, with this release's blhc.
debian_suite=$(host_suite)
check_build_log "$work/reprotest.log" || fail=1
# The control build's packages, kept where the build put them.
debs=$work/artifacts/control/source-root

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
all_times() { local deb; for deb in "$@"; do times_in "$deb"; done | sort -u; }
# The changelog as built: a backport's has an entry of its own.
check "without SOURCE_DATE_EPOCH, every time is the newest changelog entry's" \
  "$(all_times "$debs"/*.deb)" \
  "$(dpkg-parsechangelog -l "$(echo "$work"/source/tolvane-*/debian/changelog)" -STimestamp)"
check "every time is the builder's SOURCE_DATE_EPOCH" "$(all_times "$debs"/builder/*.deb)" 1600000000
exit $fail
