#!/usr/bin/env bash
# check_package.sh: builds the product as a distribution would (prefix /usr),
# then checks the staged installation, the Debian package's contents and
# dependencies, lintian's verdict, and an installation into a scratch root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/package
rm -rf "$build"
deb=$(bash scripts/package.sh)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0
check() { if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; diff <(echo "$3") <(echo "$2") || true; fail=1; fi; }

multiarch=$(gcc -print-multiarch)
# Debian installs shared objects without the execute bits.
expected="644 usr/lib/$multiarch/tolvane/libtolvane-notify.so
644 usr/share/doc/tolvane/changelog.gz
644 usr/share/doc/tolvane/copyright
644 usr/share/locale/de/LC_MESSAGES/tolvane.mo
644 usr/share/locale/es/LC_MESSAGES/tolvane.mo
644 usr/share/locale/fr/LC_MESSAGES/tolvane.mo
644 usr/share/locale/zh_CN/LC_MESSAGES/tolvane.mo
644 usr/share/man/man1/tolvane-notify-check.1.gz
644 usr/share/man/man8/libtolvane-notify.8.gz
644 usr/share/man/man8/tv-mkprofile.8.gz
755 usr/bin/tolvane-notify-check
755 usr/sbin/tv-mkprofile"
files_with_modes() { (cd "$1" && find . -type f -printf '%m %P\n' | sort -k2); }

DESTDIR="$scratch/stage" cmake --install "$build" >/dev/null
check "cmake --install stages exactly the product's files" "$(files_with_modes "$scratch/stage")" "$(sort -k2 <<<"$expected")"

listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
check "the package holds the same files" "$listed" "$(awk '{print $2}' <<<"$expected" | sort)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsystemd0 libstdc++6 libc6; do
  check "depends on $lib" "$(grep -o "$lib" <<<"$depends" | head -n1)" "$lib"
done
check "lintian finds no error" "$(lintian --fail-on error "$deb" >/dev/null 2>&1 && echo clean)" clean

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless --log=/dev/null -i "$deb" >/dev/null 2>&1
check "dpkg installs it into a scratch root" "$(dpkg --root="$root" -s tolvane | sed -n 's/^Status: //p')" \
  "install ok installed"
installed=$(cd "$root" && find usr -type f | sort)
check "with the expected layout" "$installed" "$(awk '{print $2}' <<<"$expected" | sort)"
check "the installed command runs" "$("$root/usr/sbin/tv-mkprofile" -h | head -n1)" "Usage: tv-mkprofile file_path"
check "the installed check runs" "$("$root/usr/bin/tolvane-notify-check" --help | head -n1)" \
  "Usage: tolvane-notify-check [--send-test]"
# The check looks for the plug-in where the package puts it.
check "the check looks where the plug-in is installed" \
  "$(strings "$root/usr/bin/tolvane-notify-check" | grep -cFx "/usr/lib/$multiarch/tolvane/libtolvane-notify.so")" 1
exit $fail
