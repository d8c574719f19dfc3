#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite in every
# build flavour, and the cross builds' suites under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
# One apt update for everything, the cross builds' packages included.
bash scripts/setup.sh cross

run_suite() {
  local name=$1; shift
  echo "=== $name build"
  bash scripts/build.sh "$name" "$@"
  ctest --test-dir "build/$name" --output-on-failure -j "$(nproc)"
}

# The products alone first, as a build without the tests makes them; the
# same directory then builds the rest without compiling them again.
echo "=== plain build without the tests"
bash scripts/build.sh plain -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCH=OFF
run_suite plain -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_BUILD_BENCH=ON

# What depends on the tree's layout (listing the sources, configuring) runs
# from a copy without .git and with git out of reach, as it must in an
# unpacked tarball on a bare system.
echo "=== static analysis, from a copy of the tree without .git"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tree" "$scratch/bin"
tar --exclude=./.git --exclude=./build -cf - . | tar -xf - -C "$scratch/tree"
printf '#!/bin/sh\necho "git: not available in this check" >&2\nexit 127\n' >"$scratch/bin/git"
chmod +x "$scratch/bin/git"
(
  cd "$scratch/tree"
  export PATH="$scratch/bin:$PATH"
  cmake -S . -B build/plain -G Ninja -DTOLVANE_WERROR=ON >/dev/null
  bash scripts/static_analysis.sh build/plain
)
run_suite asan -DTOLVANE_SANITIZE=address,undefined -DTOLVANE_BUILD_BENCH=OFF
run_suite tsan -DTOLVANE_SANITIZE=thread -DTOLVANE_BUILD_BENCH=OFF

echo "=== package"
bash tests/check_package.sh
echo "=== package reproducible, from two directories"
bash tests/check_reproducible.sh

bash scripts/cross.sh

# Fuzz targets, each for a short fixed number of runs from its seed corpus.
echo "=== fuzz smoke (clang, libFuzzer)"
CC=clang-14 CXX=clang++-14 bash scripts/build.sh fuzz -DTOLVANE_FUZZ=ON -DTOLVANE_BUILD_BENCH=OFF
ctest --test-dir build/fuzz -R '_smoke$' --output-on-failure
