#!/usr/bin/env bash
# Builds for Debian's arm64 and s390x (64-bit, big-endian) with the cross
# toolchains, and runs the suites under qemu-user (no binfmt handler: CMake
# runs each test through the emulator the toolchain file names). Only what
# the suites need is built; the end-to-end suites stay native (see HACKING.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cross

# cross_suite NAME TOOLCHAIN [cmake options...]
cross_suite() {
  local name=$1 toolchain=$2
  shift 2
  echo "=== $name cross build, suites under qemu-user"
  cmake -S . -B "build/$name" -G Ninja -DTOLVANE_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
    -DTOLVANE_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "build/$name" --target unit_suites -j "$(nproc)"
  ctest --test-dir "build/$name" -E '^notify_e2e_' --output-on-failure -j "$(nproc)"
}

cross_suite arm64 aarch64-linux-gnu

# No libsystemd-dev:s390x nor libssl-dev:s390x to install (their libraries'
# versions differ from amd64's): the generator and its tests alone, without
# the OpenSSL oracle.
gtest=()
dpkg-query -W -f='${Status}' libgtest-dev:s390x 2>/dev/null | grep -q 'ok installed' ||
  gtest=(-DTOLVANE_GTEST_SOURCE_DIR=/usr/src/googletest)
cross_suite s390x s390x-linux-gnu -DTOLVANE_BUILD_NOTIFY=OFF -DTOLVANE_OPENSSL_ORACLE=OFF "${gtest[@]}"
