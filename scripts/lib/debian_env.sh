# Sourced by the scripts that build and test the Debian packages in clean
# chroots of a Debian suite (bookworm, trixie or sid): where the chroots come
# from, and how their tools get the subordinate ids they need without a
# change to the host's /etc.

# The suites the packages are built and tested on: oldstable, stable and
# unstable, where an upload goes.
debian_suites=(bookworm trixie sid)

# use_debian_suite SUITE: the suite the following calls work on (bookworm
# unless one is chosen). Sets debian_suite, the tarball of its clean build
# chroot (mmdebstrap's buildd variant), used by sbuild and autopkgtest, and
# piuparts' minimal system (minbase), gzipped as piuparts takes it.
use_debian_suite() {
  case $1 in
    bookworm | trixie | sid) ;;
    *)
      echo "unknown Debian suite '$1' (known: ${debian_suites[*]})" >&2
      return 1
      ;;
  esac
  debian_suite=$1
  debian_tarball=build/chroot/$1-$(dpkg --print-architecture).tar
  debian_minbase_tarball=build/chroot/$1-minbase-$(dpkg --print-architecture).tar.gz
}
use_debian_suite bookworm

# changes_suite CHANGES: the suite that the packages a .changes file lists
# were built for: an upload to unstable is sid's, a backport its release's.
changes_suite() {
  local distribution
  distribution=$(sed -n 's/^Distribution: //p' "$1")
  case $distribution in
    unstable) echo sid ;;
    *-backports) echo "${distribution%-backports}" ;;
    *) echo "$distribution" ;;
  esac
}

# use_changes [--suite=SUITE] CHANGES: sets changes (the file's absolute
# path) and dir (its directory), and uses SUITE or else the suite that the
# packages it lists were built for.
use_changes() {
  local suite=""
  if [[ $1 == --suite=* ]]; then
    suite=${1#--suite=}
    shift
  fi
  changes=$(realpath "$1")
  dir=$(dirname "$changes")
  use_debian_suite "${suite:-$(changes_suite "$changes")}"
}

# archive_uri SUITE DEFAULT: the archive this machine's apt takes SUITE from,
# else DEFAULT, so that the chroots are made from the same place. Read as apt
# reads them: sources.list if there is one, then sources.list.d's *.list
# (one-line entries) and *.sources (deb822 stanzas) in the order of their
# names; of a stanza's URIs the first, a stanza that is not enabled skipped.
# TOLVANE_APT_ROOT, if set, is the directory that holds etc/apt instead of /.
archive_uri() {
  local dir=${TOLVANE_APT_ROOT:-}/etc/apt files=() file uri
  [ ! -f "$dir/sources.list" ] || files+=("$dir/sources.list")
  for file in "$dir"/sources.list.d/*; do
    case $file in
      *.list | *.sources) [ ! -f "$file" ] || files+=("$file") ;;
    esac
  done
  ((${#files[@]})) || {
    echo "$2"
    return
  }
  uri=$(awk -v suite="$1" '
    function words(list, w) {
      gsub(/^[[:space:]]+|[[:space:]]+$/, "", list)
      return list == "" ? 0 : split(list, w, /[[:space:]]+/)
    }
    function has(list, word,   n, i, w) {
      n = words(list, w)
      for (i = 1; i <= n; i++) if (w[i] == word) return 1
      return 0
    }
    function take(uri) { print uri; found = 1; exit }
    # The stanza read so far: taken if it is for SUITE, then forgotten.
    function stanza_end(   first) {
      if (has(value["types"], "deb") && has(value["suites"], suite) && words(value["uris"], first) &&
          tolower(value["enabled"]) !~ /^[[:space:]]*(no|false|off|without|disable)[[:space:]]*$/)
        take(first[1])
      split("", value)
      field = ""
    }
    FNR == 1 { stanza_end() }
    FILENAME !~ /\.sources$/ {
      sub(/#.*/, "")
      if ($1 != "deb") next
      sub(/^[[:space:]]*deb[[:space:]]+/, "")
      sub(/^\[[^]]*\][[:space:]]*/, "")
      if (words($0, entry) >= 2 && entry[2] == suite) take(entry[1])
      next
    }
    /^#/ { next }
    /^[[:space:]]*$/ { stanza_end(); next }
    /^[[:space:]]/ { if (field != "") value[field] = value[field] " " $0; next }
    index($0, ":") {
      field = tolower(substr($0, 1, index($0, ":") - 1))
      value[field] = substr($0, index($0, ":") + 1)
    }
    END { if (!found) stanza_end() }' "${files[@]}")
  echo "${uri:-$2}"
}
# The machine's own release, whose sources name the mirror every suite is
# taken from.
host_suite() { (. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}"); }
debian_mirror() { archive_uri "$(host_suite)" http://deb.debian.org/debian; }
debian_security_mirror() { archive_uri "$(host_suite)-security" http://deb.debian.org/debian-security; }
# The archives of a system of the chosen suite, as sources.list lines. A
# release has its updates and security suites; unstable has neither, and a
# mirror may serve it with a Release file past its Valid-Until date (it is
# renewed with every push to unstable, which a mirror frozen in time never
# sees), which apt refuses unless told otherwise for that suite alone.
debian_sources() {
  local mirror security
  mirror=$(debian_mirror)
  security=$(debian_security_mirror)
  case $debian_suite in
    sid) printf '%s\n' "deb [check-valid-until=no] $mirror sid main" ;;
    *)
      printf '%s\n' "deb $mirror $debian_suite main" "deb $mirror $debian_suite-updates main" \
        "deb $security $debian_suite-security main"
      ;;
  esac
}

# user_namespaces WHAT: whether a user namespace can be made here, which
# WHAT needs (sbuild's, mmdebstrap's and autopkgtest's unshare mode); where
# not, one line says so at once, with the likely causes and what to do.
user_namespaces() {
  local why
  why=$(unshare --user --map-root-user true 2>&1) && return 0
  echo "FAILED: $1 needs a user namespace, and none can be made here (${why##*: }): in a chroot, which may not make one, run it on the system itself or in a VM; in a container, allow unshare in its seccomp profile; else set the sysctls kernel.unprivileged_userns_clone=1 and user.max_user_namespaces above 0" >&2
  return 1
}

# with_subids COMMAND...: runs COMMAND where the user running it has
# subordinate ids, which sbuild, mmdebstrap and autopkgtest need for their
# user namespaces. Root has none on a stock system: it gets a range from
# files of our own, mounted over /etc/subuid and /etc/subgid in a private
# mount namespace that ends with COMMAND, so the host's files stay as they
# are. Another user needs an entry of its own in /etc/subuid.
with_subids() {
  if ((EUID != 0)); then
    if ! grep -q "^$(id -un):" /etc/subuid 2>/dev/null; then
      echo "$(id -un) has no subordinate ids in /etc/subuid; add a range (usermod --add-subuids) or run as root" >&2
      return 1
    fi
    "$@"
    return
  fi
  local ids
  if [ ! -f /etc/subuid ] || [ ! -f /etc/subgid ]; then
    echo "/etc/subuid or /etc/subgid is missing (Debian package passwd makes them)" >&2
    return 1
  fi
  ids=$(realpath -m build/chroot/subids)
  mkdir -p "$ids"
  # A range far above the host's own accounts; the chroots' users map into it.
  echo "root:1000000:65536" >"$ids/subuid"
  echo "root:1000000:65536" >"$ids/subgid"
  unshare --mount --propagation private -- sh -ec '
    mount --bind "$1/subuid" /etc/subuid
    mount --bind "$1/subgid" /etc/subgid
    shift
    exec "$@"' sh "$ids" "$@"
}

# from_mirror COMMAND...: runs COMMAND, which fetches from the mirror, and
# runs it again a minute later, then three, while it fails: a mirror in the
# middle of its update serves files that do not match their index for a few
# minutes. COMMAND starts afresh each time.
from_mirror() {
  local wait
  for wait in 60 180; do
    "$@" && return 0
    echo "fetching from $(debian_mirror) failed; once more in $wait s" >&2
    sleep "$wait"
  done
  "$@"
}

# remove_root DIR: removes a root made here, crossing no mount: what is
# mounted below it (left by a run that was stopped) is unmounted first, the
# deepest first; where that fails, nothing is removed and the mounts are
# named.
remove_root() {
  local dir mounts=() mount left=()
  [ -e "$1" ] || [ -L "$1" ] || return 0
  dir=$(realpath -s "$1")
  mapfile -t mounts < <(awk '{ print $5 }' /proc/self/mountinfo | while IFS= read -r mount; do
    mount=$(printf '%b' "$mount")
    [[ $mount != "$dir"/* ]] || echo "$mount"
  done | sort -r)
  for mount in "${mounts[@]}"; do
    umount "$mount" 2>/dev/null || left+=("$mount")
  done
  if ((${#left[@]})); then
    echo "not removing $dir: mounted below it, and not unmounted here: ${left[*]} (unmount them and run again)" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

# swap_root NEW DIR: NEW, a whole root, in the place of DIR, whose old root
# is kept until then and removed after.
swap_root() {
  remove_root "$2.old" || return 1
  [ ! -e "$2" ] || mv "$2" "$2.old"
  mv "$1" "$2"
  remove_root "$2.old"
}

# make_tarball VARIANT FILE [gzip]: a system of the chosen suite, of
# mmdebstrap's VARIANT, from the mirror, unless FILE is there already.
make_tarball() {
  local variant=$1 file=$2 compress=${3:-cat} sources
  [ -s "$file" ] && return
  mkdir -p "$(dirname "$file")"
  mapfile -t sources < <(debian_sources)
  echo "making $file from $(debian_mirror)" >&2
  fetch() {
    with_subids mmdebstrap --quiet --variant="$variant" --mode=unshare --format=tar "$debian_suite" - "${sources[@]}" |
      $compress >"$file.new"
  }
  from_mirror fetch
  mv "$file.new" "$file"
}
ensure_debian_tarball() { make_tarball buildd "$debian_tarball"; }
ensure_minbase_tarball() { make_tarball minbase "$debian_minbase_tarball" "gzip -1"; }

# blhc_in_chroot DIR ARG...: blhc ARG... on DIR/build.log, in a throwaway
# copy of the chosen suite's build chroot where it is installed from the
# mirror; its tags in DIR/blhc.txt, its exit status in DIR/blhc.status.
blhc_in_chroot() {
  local dir=$1 sources
  shift
  mapfile -t sources < <(debian_sources)
  with_subids mmdebstrap --quiet --mode=unshare --variant=custom \
    --setup-hook="tar -C \"\$1\" --exclude=./dev/* -xf $PWD/$debian_tarball" \
    --customize-hook='chroot "$1" apt-get -q -y install --no-install-recommends blhc >/dev/null' \
    --customize-hook="upload $dir/build.log /tmp/build.log" \
    --customize-hook="chroot \"\$1\" sh -c 'blhc $* /tmp/build.log >/tmp/blhc.txt 2>&1; echo \$? >/tmp/blhc.status'" \
    --customize-hook="download /tmp/blhc.txt $dir/blhc.txt" \
    --customize-hook="download /tmp/blhc.status $dir/blhc.status" \
    "$debian_suite" /dev/null "${sources[@]}" >"$dir/mmdebstrap.log" 2>&1 || {
    cat "$dir/mmdebstrap.log" >&2
    return 1
  }
}

# check_build_log LOG: blhc on the log of a package build for the chosen
# suite: every compile and link line must carry the hardening flags (--all,
# as debian/rules asks for all of them; --debian, as Debian's compiler makes
# PIE by default), and any tag fails. It is the suite's own blhc, which
# knows the flags that release's dpkg-buildflags gives (a newer one wants
# flags an older dpkg does not give, an older one misses new ones): this
# machine's for its own release, else blhc_in_chroot's.
check_build_log() {
  local log=$1 args=(--all --debian) tags status=0 scratch
  if [ "$debian_suite" = "$(host_suite)" ]; then
    tags=$(blhc "${args[@]}" "$log" 2>&1) || status=$?
  else
    ensure_debian_tarball
    scratch=$(mktemp -d)
    cp "$log" "$scratch/build.log"
    from_mirror blhc_in_chroot "$scratch" "${args[@]}" || {
      rm -rf "$scratch"
      echo "FAILED: blhc could not run in a copy of the $debian_suite chroot" >&2
      return 1
    }
    tags=$(cat "$scratch/blhc.txt")
    status=$(cat "$scratch/blhc.status")
    rm -rf "$scratch"
  fi
  if ((status != 0)) || [ -n "$tags" ]; then
    # Each tag names the whole command line: the first few, cut short.
    head -n 20 <<<"$tags" | cut -c1-400
    echo "$(grep -c . <<<"$tags") tags, by kind:"
    sed -E 's/^([A-Z]+ missing \([^)]*\)|[^:]*:).*/\1/' <<<"$tags" | sort | uniq -c
    echo "FAILED: blhc from $debian_suite on $log (exit status $status)"
    return 1
  fi
  echo "ok: blhc ${args[*]} from $debian_suite on ${log#"$PWD"/}: no tag"
}
