#!/usr/bin/env bash
# check_package.sh CHANGES: what the binary packages that the .changes file
# lists hold and declare: each package's files and their modes, the plug-in
# as a private shared object (not executable, stripped, no shlibs file, no
# ldconfig trigger), the dependencies (the generator's only on the C and C++
# runtime), the take-over of the old tolvane package, and the path the check
# program looks for the plug-in at.
set -euo pipefail
cd "$(dirname "$0")/.."
changes=$(realpath "$1")
dir=$(dirname "$changes")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0
check() { if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; diff <(echo "$3") <(echo "$2") || true; fail=1; fi; }
deb_of() { sed -n "/^Files:/,/^[^ ]/s|^ .* \\($1_[^ ]*\\.deb\\)\$|$dir/\\1|p" "$changes"; }
mkprofile=$(deb_of tolvane-mkprofile)
notify=$(deb_of tolvane-notify)
multiarch=$(dpkg-architecture -a "$(dpkg-deb -f "$notify" Architecture)" -qDEB_HOST_MULTIARCH 2>/dev/null)

files_with_modes() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $1, $6}' | sed 's| \./| |' | sort -k2; }
# Every manual page in doc/ goes to the plug-in's package, tv-mkprofile's aside.
pages_of() {
  local page owner
  for page in doc/*.[1-8]; do
    page=$(basename "$page")
    owner=notify
    if [ "$page" = tv-mkprofile.8 ]; then owner=mkprofile; fi
    if [ "$owner" = "$1" ]; then echo "-rw-r--r-- usr/share/man/man${page##*.}/$page.gz"; fi
  done
}
# The generator's only override is the first upload's, which a backport drops.
first_upload_override() {
  case $(dpkg-deb -f "$mkprofile" Version) in
    *~bpo*) ;;
    *) echo "-rw-r--r-- usr/share/lintian/overrides/tolvane-mkprofile" ;;
  esac
}
check "tolvane-mkprofile holds the generator and its manual page" "$(files_with_modes "$mkprofile")" "$(sed '/^$/d' <<EOF | sort -k2
-rwxr-xr-x usr/sbin/tv-mkprofile
-rw-r--r-- usr/share/doc/tolvane-mkprofile/changelog.Debian.gz
-rw-r--r-- usr/share/doc/tolvane-mkprofile/copyright
$(first_upload_override)
$(pages_of mkprofile)
EOF
)"
check "tolvane-notify holds the plug-in (not executable), the check, the catalogues and their manual pages" \
  "$(files_with_modes "$notify")" "$(sort -k2 <<EOF
-rwxr-xr-x usr/bin/tolvane-notify-check
-rw-r--r-- usr/lib/$multiarch/tolvane/libtolvane-notify.so
-rw-r--r-- usr/share/doc/tolvane-notify/changelog.Debian.gz
-rw-r--r-- usr/share/doc/tolvane-notify/copyright
-rw-r--r-- usr/share/lintian/overrides/tolvane-notify
-rw-r--r-- usr/share/locale/de/LC_MESSAGES/tolvane.mo
-rw-r--r-- usr/share/locale/es/LC_MESSAGES/tolvane.mo
-rw-r--r-- usr/share/locale/fr/LC_MESSAGES/tolvane.mo
-rw-r--r-- usr/share/locale/zh_CN/LC_MESSAGES/tolvane.mo
$(pages_of notify)
EOF
)"

dpkg-deb -x "$notify" "$scratch/notify"
plugin=$scratch/notify/usr/lib/$multiarch/tolvane/libtolvane-notify.so
check "the plug-in is stripped" "$(readelf -S --wide "$plugin" | grep -oE '\.(symtab|debug_[a-z]+)' | sort -u)" ""
check "the plug-in keeps its two entry points" \
  "$(readelf --dyn-syms --wide "$plugin" | awk '$7 != "UND" {print $8}' | grep -xE 'KRMRegister|KRMUnregister' | sort)" \
  "$(printf '%s\n' KRMRegister KRMUnregister)"
dpkg-deb -e "$notify" "$scratch/notify-control"
check "the plug-in's package has no shlibs file and no trigger" \
  "$(ls "$scratch/notify-control" | grep -xE 'shlibs|symbols|triggers')" ""
check "the check looks where the plug-in is installed" \
  "$(strings "$scratch/notify/usr/bin/tolvane-notify-check" | grep -cFx "/usr/lib/$multiarch/tolvane/libtolvane-notify.so")" 1

depends_on() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort -u | paste -sd' '; }
check "tolvane-mkprofile depends on the C and C++ runtime only" "$(depends_on "$mkprofile")" "libc6 libgcc-s1 libstdc++6"
check "tolvane-notify depends on libsystemd0 and the C and C++ runtime" "$(depends_on "$notify")" \
  "libc6 libgcc-s1 libstdc++6 libsystemd0"
for deb in "$mkprofile" "$notify"; do
  name=$(dpkg-deb -f "$deb" Package)
  check "$name takes over from the old tolvane package" "$(dpkg-deb -f "$deb" Breaks; dpkg-deb -f "$deb" Replaces)" \
    "$(printf '%s\n' 'tolvane (<< 0.1.0-1~)' 'tolvane (<< 0.1.0-1~)')"
done
exit $fail
