#!/usr/bin/env bash
# make_old_package.sh OUT_DIR TOLVANE_MKPROFILE_DEB TOLVANE_NOTIFY_DEB: writes
# OUT_DIR/tolvane_0.1.0_ARCH.deb, a stand-in for the single package that
# scripts/package.sh made with CPack before the source package replaced it,
# for piuparts' test of the upgrade from it. It has that package's name,
# version, fields and file layout: the programs, the plug-in, the catalogues
# and the manual pages taken from the two new packages, and the documents
# under /usr/share/doc/tolvane. Like CPack's, it has no maintainer scripts.
set -euo pipefail
tree=$(dirname "$0")/..
out=$1 mkprofile_deb=$2 notify_deb=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/DEBIAN" "$scratch/new"
for deb in "$mkprofile_deb" "$notify_deb"; do
  dpkg-deb -x "$deb" "$scratch/new"
done
# Exactly the files that package held, whatever the new ones hold besides.
multiarch=$(dpkg-architecture -a "$(dpkg-deb -f "$notify_deb" Architecture)" -qDEB_HOST_MULTIARCH 2>/dev/null)
for file in usr/sbin/tv-mkprofile usr/bin/tolvane-notify-check "usr/lib/$multiarch/tolvane/libtolvane-notify.so" \
  usr/share/locale/{de,es,fr,zh_CN}/LC_MESSAGES/tolvane.mo usr/share/man/man1/tolvane-notify-check.1.gz \
  usr/share/man/man8/tv-mkprofile.8.gz; do
  mkdir -p "$root/$(dirname "$file")"
  cp -p "$scratch/new/$file" "$root/$file"
done
mkdir -p "$root/usr/share/doc/tolvane"
cp "$tree/debian/copyright" "$root/usr/share/doc/tolvane/copyright"
# The changelog that package carried, its only entry.
gzip -9 -n >"$root/usr/share/doc/tolvane/changelog.gz" <<'EOF'
tolvane (0.1.0) unstable; urgency=medium

  * First release: tv-mkprofile, the desktop notification plug-in and
    tolvane-notify-check.

 -- tolvane developers <maintainers@tolvane.invalid>  Mon, 07 Dec 2026 09:00:00 +0000
EOF
arch=$(dpkg-deb -f "$notify_deb" Architecture)
depends=$( (dpkg-deb -f "$mkprofile_deb" Depends; dpkg-deb -f "$notify_deb" Depends) | tr ',' '\n' |
  sed 's/^ *//; /^$/d' | sort -u | paste -sd, | sed 's/,/, /g')
cat >"$root/DEBIAN/control" <<EOF
Package: tolvane
Version: 0.1.0
Architecture: $arch
Maintainer: tolvane developers <maintainers@tolvane.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: admin
Priority: optional
Description: profile generator and desktop notifications for the tolvane file protection
 tv-mkprofile writes the starter profile of a program into /etc/tolvane.d.
 The notification plug-in tells desktop users when the kernel module has
 blocked a program's access to the camera or to their private folders;
 tolvane-notify-check tells them why such notifications do not appear.
EOF
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
mkdir -p "$out"
dpkg-deb --root-owner-group -Zgzip -b "$root" "$out/tolvane_0.1.0_$arch.deb" >/dev/null
echo "$out/tolvane_0.1.0_$arch.deb"
