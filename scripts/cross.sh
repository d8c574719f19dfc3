#!/usr/bin/env bash
# cross.sh [--prepare] [ARCH...]: builds and tests the named architectures,
# every one of scripts/lib/cross_machines.sh when none is named, with Debian's
# cross compilers against a sysroot of each machine's own packages
# (scripts/sysroot.sh, under build/sysroot), and runs the suites under
# qemu-user on that sysroot (no binfmt handler: CMake runs each test through
# the emulator the toolchain file names). Each architecture builds with the
# compiler, libraries and emulator of one Debian release: on this machine
# when that is its own release, else in a root of that release's tools
# (build/chroot/cross-RELEASE-HOSTARCH, made once by mmdebstrap from this
# machine's mirror and kept while its sources and packages are the same),
# entered read-only but for this tree, at its own path, and a private /tmp.
# Each machine first builds without its tests, which must build the products
# alone, then only what the suites need; the suites that read the plug-in's
# threads in /proc stay native (ctest -LE native). One architecture that
# fails does not stop the others; the command fails if any did.
#
# --prepare makes the sysroots and roots the named architectures need, and
# builds nothing: it can run while something else builds. A build waits for
# a preparation under way.
# --here ARCH (used by the command itself) builds ARCH with the tools of the
# system it runs in, which must be of ARCH's release.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian_env.sh
source scripts/lib/cross_machines.sh

# build_here ARCH: the products without the tests, then the unit suites,
# built and run with this system's tools.
build_here() {
  local arch=$1 dir=build/$1
  cross_machine "$arch"
  if [ "$machine_release" != "$(host_suite)" ]; then
    echo "$arch builds with $machine_release's tools, and this system is $(host_suite)" >&2
    return 1
  fi
  # A directory configured with another release's compiler is not reused.
  if [ "$(cat "$dir/.cross-release" 2>/dev/null)" != "$machine_release" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    echo "$machine_release" >"$dir/.cross-release"
  fi
  echo "=== $arch cross build without the tests ($machine_release, $("$machine_triplet-g++" -dumpfullversion))"
  # Without debug information, which would cost a third of the compile time.
  cmake -S . -B "$dir" -G Ninja -DTOLVANE_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="cmake/$machine_triplet.cmake" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DTOLVANE_BUILD_BENCH=OFF -DTOLVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  # The same directory with the tests: the products' objects are not rebuilt.
  echo "=== $arch cross build of the unit suites, run under qemu-user"
  cmake -S . -B "$dir" -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_OPENSSL_ORACLE="$machine_oracle" >/dev/null
  # The host of the end-to-end suites too: it is the rig's one program whose
  # code differs from machine to machine (its confinement).
  cmake --build "$dir" --target unit_suites tolvane-notify-host -j "$(nproc)"
  ctest --test-dir "$dir" -LE native --output-on-failure -j "$(nproc)"
}

cross_root() { echo "build/chroot/cross-$1-$(dpkg --print-architecture)"; }

# What the unit suites need to build and run, besides a cross compiler;
# valgrind because configuring the tests looks for it, though the memcheck
# suite is native and never built here.
cross_root_tools=(cmake ninja-build pkg-config binutils strace gettext groff-base man-db valgrind qemu-user)

# make_cross_root RELEASE: the root of RELEASE's tools for its architectures,
# unless one with the same sources and packages is there.
make_cross_root() {
  local release=$1 dir sources packages stamp
  dir=$(cross_root "$release")
  use_debian_suite "$release"
  mapfile -t sources < <(debian_sources)
  packages=$(cross_compilers "$release" | paste -sd, -),$(
    IFS=,
    echo "${cross_root_tools[*]}"
  )
  stamp="$release ${sources[*]} $packages"
  [ "$(cat "$dir/.cross-root-stamp" 2>/dev/null)" != "$stamp" ] || return 0
  if ((EUID != 0)); then
    echo "the root of $release's tools ($dir) is made by root alone" >&2
    return 1
  fi
  echo "=== root of $release's cross tools in $dir, from $(debian_mirror)"
  # Made beside the old one, which stays until the new one is whole.
  mkdir -p "$(dirname "$dir")"
  remove_root "$dir.part" || return 1
  # mmdebstrap mounts /proc, /sys and /dev in the root it makes, and a run
  # that fails or is stopped can leave them mounted: in a mount namespace of
  # its own they end with it, and nothing removes the host's through them.
  fetch() {
    remove_root "$dir.part" || return 1
    unshare --mount --propagation private -- \
      mmdebstrap --quiet --mode=root --variant=minbase --include="$packages" "$release" "$dir.part" "${sources[@]}"
  }
  from_mirror fetch
  echo "$stamp" >"$dir.part/.cross-root-stamp"
  swap_root "$dir.part" "$dir"
}

# in_root DIR COMMAND...: runs COMMAND in the system at DIR, with this tree at
# its own path. A chrooted process may not make user namespaces, which the
# suites need, so the root is entered with pivot_root, in mount and process
# namespaces of its own that end with COMMAND. The system itself is mounted
# read-only, so every run finds it as it was made.
in_root() {
  local root tree=$PWD
  root=$(realpath "$1")
  shift
  unshare --mount --propagation private --pid --fork --kill-child -- bash -c '
    set -e
    root=$1 tree=$2
    shift 2
    mount --bind "$root" "$root"
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    # Made after the tmpfs, which would hide a tree under /tmp.
    mkdir -p "$root$tree"
    mount --bind "$tree" "$root$tree"
    mount -o remount,bind,ro "$root"
    cd "$root"
    pivot_root . .
    umount -l .
    cd "$tree"
    exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LANG=C.UTF-8 "$@"' in_root "$root" "$tree" "$@"
}

# prepare ARCH...: the sysroots of the architectures, and the roots of the
# releases other than this machine's that they build with, all made at once;
# fails once all are done if any failed.
prepare() {
  local arch release releases=() jobs=() job failed=0
  for arch; do
    cross_machine "$arch"
    bash scripts/sysroot.sh "$arch" "build/sysroot/$arch" "$machine_release" &
    jobs+=($!)
    [ "$machine_release" = "$(host_suite)" ] || [[ " ${releases[*]} " == *" $machine_release "* ]] ||
      releases+=("$machine_release")
  done
  for release in "${releases[@]}"; do
    make_cross_root "$release" &
    jobs+=($!)
  done
  for job in "${jobs[@]}"; do wait "$job" || failed=1; done
  return $failed
}

mode=build
case ${1:-} in
  --prepare)
    mode=prepare
    shift
    ;;
  --here)
    build_here "$2"
    exit 0
    ;;
esac
arches=("$@")
((${#arches[@]})) || mapfile -t arches < <(cross_arches)
for arch in "${arches[@]}"; do cross_machine "$arch" >/dev/null; done

bash scripts/setup.sh cross
mkdir -p build
(
  flock 9
  prepare "${arches[@]}"
) 9>build/.cross-prepare.lock
[ $mode = build ] || exit 0

failed=()
for arch in "${arches[@]}"; do
  cross_machine "$arch"
  started=$SECONDS
  if [ "$machine_release" = "$(host_suite)" ]; then
    bash scripts/cross.sh --here "$arch" || failed+=("$arch")
  else
    in_root "$(cross_root "$machine_release")" bash scripts/cross.sh --here "$arch" || failed+=("$arch")
  fi
  echo "--- $arch: $((SECONDS - started)) s"
done
if ((${#failed[@]})); then
  echo "FAILED: the cross builds of ${failed[*]}"
  exit 1
fi
