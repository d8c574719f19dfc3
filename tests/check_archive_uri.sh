#!/usr/bin/env bash
# check_archive_uri.sh ENV: fails unless archive_uri, from the sourced ENV,
# finds in each row's apt sources the archive apt would take the suite from,
# or the default where none names it.
set -u
env_script=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$env_script" || exit 1

fail=0
rows=0
# NAME | SUITE | EXPECTED | FILE=CONTENT ... (files under etc/apt, the
# contents with printf's backslash escapes; "-" for none)
while IFS='|' read -r name suite expected files; do
  [[ -z $name || $name == \#* ]] && continue
  rows=$((rows + 1))
  root=$scratch/$rows
  mkdir -p "$root/etc/apt/sources.list.d"
  read -ra sources <<<"$files"
  for source in "${sources[@]}"; do
    [ "$source" = - ] && continue
    printf '%b' "${source#*=}" >"$root/etc/apt/${source%%=*}"
  done
  got=$(TOLVANE_APT_ROOT=$root archive_uri "$suite" http://default.invalid/debian)
  if [ "$got" != "$expected" ]; then
    echo "FAILED $name: archive_uri $suite gave '$got', expected '$expected'"
    fail=1
  fi
done <<'ROWS'
one-line only|bookworm|http://one.invalid/debian|sources.list=deb\thttp://one.invalid/debian\tbookworm\tmain\n
one-line with options|bookworm|http://opt.invalid/d|sources.list=deb\t[\tarch=amd64\tsigned-by=/k.gpg\t]\thttp://opt.invalid/d\tbookworm\tmain\n
one-line, the suite's own line and not its neighbour's|bookworm|http://two.invalid/d|sources.list=deb\thttp://one.invalid/d\tbookworm-security\tmain\ndeb\thttp://two.invalid/d\tbookworm\tmain\n
one-line commented out or for sources|bookworm|http://default.invalid/debian|sources.list=#deb\thttp://one.invalid/d\tbookworm\tmain\ndeb-src\thttp://src.invalid/d\tbookworm\tmain\n
missing sources.list, a .list in the directory|trixie|http://dir.invalid/d|sources.list.d/mirror.list=deb\thttp://dir.invalid/d\ttrixie\tmain\n
deb822 only|trixie|http://822.invalid/debian|sources.list.d/debian.sources=Types:\tdeb\nURIs:\thttp://822.invalid/debian\nSuites:\ttrixie\ttrixie-updates\nComponents:\tmain\nSigned-By:\t/k.gpg\n
deb822, a later suite of several|trixie-updates|http://822.invalid/debian|sources.list.d/debian.sources=Types:\tdeb\nURIs:\thttp://822.invalid/debian\nSuites:\ttrixie\ttrixie-updates\nComponents:\tmain\n
deb822, the first of several URIs|trixie|http://first.invalid/d|sources.list.d/debian.sources=Types:\tdeb\tdeb-src\nURIs:\thttp://first.invalid/d\thttp://second.invalid/d\nSuites:\ttrixie\n
deb822, URIs and suites on continuation lines|sid|http://cont.invalid/d|sources.list.d/debian.sources=types:\tdeb\nuris:\n\thttp://cont.invalid/d\n\thttp://other.invalid/d\nsuites:\ttrixie\n\tsid\n
deb822, a disabled stanza skipped|trixie|http://on.invalid/d|sources.list.d/debian.sources=Types:\tdeb\nURIs:\thttp://off.invalid/d\nSuites:\ttrixie\nEnabled:\tno\n\nTypes:\tdeb\nURIs:\thttp://on.invalid/d\nSuites:\ttrixie\nEnabled:\tyes\n
deb822, only deb-src|trixie|http://default.invalid/debian|sources.list.d/debian.sources=Types:\tdeb-src\nURIs:\thttp://src.invalid/d\nSuites:\ttrixie\n
deb822, a stanza ended by the end of its file|sid|http://b.invalid/d|sources.list.d/a.sources=Types:\tdeb\nURIs:\thttp://a.invalid/d\nSuites:\ttrixie\nEnabled:\tno sources.list.d/b.sources=Types:\tdeb\nURIs:\thttp://b.invalid/d\nSuites:\tsid
both, sources.list first|bookworm|http://list.invalid/d|sources.list=deb\thttp://list.invalid/d\tbookworm\tmain\n sources.list.d/debian.sources=Types:\tdeb\nURIs:\thttp://822.invalid/d\nSuites:\tbookworm\n
both, the suite only in the deb822 file|trixie|http://822.invalid/d|sources.list=deb\thttp://list.invalid/d\tbookworm\tmain\n sources.list.d/debian.sources=Types:\tdeb\nURIs:\thttp://822.invalid/d\nSuites:\ttrixie\n
files apt does not read|trixie|http://default.invalid/debian|sources.list.d/old.list.save=deb\thttp://save.invalid/d\ttrixie\tmain\n sources.list.d/off.sources.disabled=Types:\tdeb\nURIs:\thttp://x.invalid/d\nSuites:\ttrixie\n
neither|bookworm|http://default.invalid/debian|-
ROWS
((rows == 16)) || {
  echo "FAILED: $rows rows read, 16 expected"
  fail=1
}
((fail == 0)) && echo "ok: $rows rows"
exit $fail
