#!/usr/bin/env bash
# sysroot.sh ARCH DIR [RELEASE]: makes DIR a root of Debian's ARCH libraries
# of RELEASE (this machine's own by default) for the cross builds (the
# toolchain files in cmake/ link against it, qemu-user runs the programs on
# its loader and C library), from the mirror this machine's apt uses.
# Nothing is installed on the machine itself: packages are only unpacked
# into DIR. A DIR made complete by an earlier run with the same sources and
# packages is kept as it is.
set -euo pipefail
arch=$1 dir=$2
source "$(dirname "$0")/lib/debian_env.sh"
use_debian_suite "${3:-$(host_suite)}"
# The C++ headers and the libraries the compiler itself links come with the
# cross compiler, of the same release; the sysroot gives the runtime that the
# programs load under the emulator. No version in a name: any release has these.
packages=libc6-dev,libstdc++6,libgcc-s1,libsystemd-dev,libgtest-dev,libssl-dev
mapfile -t sources < <(debian_sources)

# stamp SOURCE...: what a sysroot made from SOURCEs holds.
stamp() { echo "$arch $debian_suite $* $packages"; }
if [ "$(cat "$dir/.sysroot-stamp" 2>/dev/null)" = "$(stamp "${sources[@]}")" ]; then
  exit 0
fi
echo "=== $arch sysroot of $debian_suite from $(debian_mirror)"
user_namespaces "making a sysroot (mmdebstrap's unshare mode)"
# Made beside the old one, which stays until the new one is whole.
mkdir -p "$(dirname "$dir")"
remove_root "$dir.part"
fetch() {
  remove_root "$dir.part" || return 1
  made_from=("$@")
  mmdebstrap --quiet --mode=unshare --variant=extract --arch="$arch" --include="$packages" \
    "$debian_suite" "$dir.part" "$@"
}
# A sysroot only builds and runs the suites, so where the mirror serves an
# index of the updates or the security suite that its Release does not list
# (seen for one architecture, for days), the release alone will do. The
# stamp then names fewer sources, and the next run tries them all again.
whole_or_release_alone() {
  fetch "${sources[@]}" && return 0
  ((${#sources[@]} > 1)) || return 1
  echo "warning: the $arch sysroot is made from $debian_suite alone, without its updates: ${sources[*]:1}" >&2
  fetch "${sources[0]}"
}
from_mirror whole_or_release_alone
# Links to absolute paths (the loader's among them, on some architectures)
# would lead the linker and qemu-user out of the sysroot, into the machine's
# own root: each is made relative, to the same file inside.
find "$dir.part" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  ln -sfn "$(realpath -s -m --relative-to="$(dirname "$link")" "$dir.part$(readlink "$link")")" "$link"
done
# A merged-/usr release ships its files under usr/ alone, and the links from
# the top (/lib to usr/lib, ...) are made by the installation, which an
# unpacked root never has; the programs' loader and the C library's linker
# script name /lib.
for top in bin sbin lib lib32 lib64 libx32; do
  if [ -d "$dir.part/usr/$top" ] && [ ! -e "$dir.part/$top" ] && [ ! -L "$dir.part/$top" ]; then
    ln -s "usr/$top" "$dir.part/$top"
  fi
done
stamp "${made_from[@]}" >"$dir.part/.sysroot-stamp"
swap_root "$dir.part" "$dir"
