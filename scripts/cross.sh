#!/usr/bin/env bash
# Builds for Debian's other 64-bit release architectures (arm64, ppc64el,
# s390x, which is big-endian, and mips64el) with Debian's cross compilers,
# against a sysroot of each machine's own packages (scripts/sysroot.sh,
# under build/sysroot), and runs the suites under qemu-user on that sysroot
# (no binfmt handler: CMake runs each test through the emulator the toolchain
# file names). Each machine first builds without its tests, which must build
# the products alone, then only what the suites need; the end-to-end suites
# stay native (see HACKING.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cross

# cross_suite ARCH TRIPLET [cmake options of the tests...]
cross_suite() {
  local arch=$1 triplet=$2
  shift 2
  bash scripts/sysroot.sh "$arch" "build/sysroot/$arch"
  echo "=== $arch cross build without the tests"
  # Without debug information, which would cost a third of the compile time.
  cmake -S . -B "build/$arch" -G Ninja -DTOLVANE_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DTOLVANE_BUILD_BENCH=OFF -DTOLVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "build/$arch" -j "$(nproc)"
  # The same directory with the tests: the products' objects are not rebuilt.
  echo "=== $arch cross build of the unit suites, run under qemu-user"
  cmake -S . -B "build/$arch" -DTOLVANE_BUILD_TESTS=ON "$@" >/dev/null
  # The host of the end-to-end suites too: it is the rig's one program whose
  # code differs from machine to machine (its confinement).
  cmake --build "build/$arch" --target unit_suites tolvane-notify-host -j "$(nproc)"
  ctest --test-dir "build/$arch" -LE native --output-on-failure -j "$(nproc)"
}

# The comparison with OpenSSL's digest is slow under the emulator: it runs on
# one machine, the big-endian one, where the digest's byte order is most
# likely to go wrong. The digest's own vectors run everywhere.
cross_suite arm64 aarch64-linux-gnu -DTOLVANE_OPENSSL_ORACLE=OFF
cross_suite ppc64el powerpc64le-linux-gnu -DTOLVANE_OPENSSL_ORACLE=OFF
cross_suite s390x s390x-linux-gnu -DTOLVANE_OPENSSL_ORACLE=ON
cross_suite mips64el mips64el-linux-gnuabi64 -DTOLVANE_OPENSSL_ORACLE=OFF
