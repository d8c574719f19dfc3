#!/usr/bin/env bash
# sysroot.sh ARCH DIR: makes DIR a root of Debian's ARCH libraries for the
# cross builds (the toolchain files in cmake/ link against it, qemu-user runs
# the programs on its loader and C library), from the machine's own Debian
# mirror and release. Nothing is installed on the machine itself: packages
# are only unpacked into DIR. A DIR made complete by an earlier run with the
# same mirror, release and packages is kept as it is.
set -euo pipefail
arch=$1 dir=$2
packages=libc6-dev,libstdc++-12-dev,libgcc-12-dev,libsystemd-dev,libgtest-dev,libssl-dev

suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
# The first source of the machine's apt that serves its release itself (not
# its updates or security suites), in either format apt reads.
mirror=$(
  {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v suite="$suite" '{ sub(/\[[^]]*\]/, "") } $1 == "deb" && $3 == suite { print $2 }'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" }
        {
          types = uris = suites = ""; enabled = "yes"
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^Types:/) types = " " substr($i, 7) " "
            else if ($i ~ /^URIs:/) uris = substr($i, 6)
            else if ($i ~ /^Suites:/) suites = " " substr($i, 8) " "
            else if ($i ~ /^Enabled:/) enabled = substr($i, 9)
          }
          gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites); gsub(/[ \t]/, "", enabled)
          if (types ~ / deb / && suites ~ (" " suite " ") && enabled != "no") { split(uris, u, " "); print u[1] }
        }'
  } | sed -n 1p
)
if [ -z "$mirror" ]; then
  echo "sysroot.sh: no apt source for $suite in /etc/apt/sources.list*" >&2
  exit 1
fi

stamp="$arch $suite $mirror $packages"
if [ "$(cat "$dir/.sysroot-stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi
echo "=== $arch sysroot from $mirror ($suite)"
rm -rf "$dir" "$dir.part"
mkdir -p "$(dirname "$dir")"
mmdebstrap --quiet --mode=unshare --variant=extract --arch="$arch" --include="$packages" \
  "$suite" "$dir.part" "$mirror"
# Links to absolute paths (the loader's among them, on some architectures)
# would lead the linker and qemu-user out of the sysroot, into the machine's
# own root: each is made relative, to the same file inside.
find "$dir.part" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  ln -sfn "$(realpath -s -m --relative-to="$(dirname "$link")" "$dir.part$(readlink "$link")")" "$link"
done
echo "$stamp" >"$dir.part/.sysroot-stamp"
mv "$dir.part" "$dir"
