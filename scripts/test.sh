#!/usr/bin/env bash
# Installs what is missing, then builds and runs every suite once: under
# ASan+UBSan and TSan; as the Debian packages are built, in a clean bookworm
# chroot (the unit suites); against the installed packages in a clean
# autopkgtest testbed (the suites that run the product as a whole); the
# cross builds' suites under qemu-user; the fuzz targets' smoke runs. The
# packages also pass lintian, piuparts and the reproducibility check. Nothing
# is installed on this machine but the tools.
set -euo pipefail
cd "$(dirname "$0")/.."
# One apt update for everything, the cross builds' and the packaging's tools included.
bash scripts/setup.sh cross packaging
mkdir -p build

# Each step says what it cost.
started=$SECONDS
current="" current_started=$SECONDS
step() {
  [ -z "$current" ] || echo "--- $current: $((SECONDS - current_started)) s"
  current=$1 current_started=$SECONDS
  echo "=== $1"
}

run_suite() {
  local name=$1
  shift
  step "$name build and suites"
  bash scripts/build.sh "$name" "$@"
  ctest --test-dir "build/$name" --output-on-failure -j "$(nproc)"
}

# What depends on the tree's layout (listing the sources, configuring) runs
# from a copy without .git and with git out of reach, as it must in an
# unpacked tarball on a bare system.
step "static analysis, from a copy of the tree without .git"
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

# The plain build's suites run in the Debian packages' steps: the unit suites
# as the packages are built, those that run the product as a whole (which
# need private namespaces, which a build chroot refuses) by autopkgtest
# against the installed packages.
step "Debian packages, built with their tests in a clean bookworm chroot"
changes=$(DEB_BUILD_OPTIONS="parallel=$(nproc)" bash scripts/package.sh --chroot 2>build/package.log) || {
  tail -n 60 build/package.log
  exit 1
}
# What the build's own tests gave, and why the skipped ones could not run there.
grep -E '^[0-9]+% tests passed|\*\*\*(Skipped|Failed)' build/package/build.log || true
grep -o 'SKIPPED \] all .*' build/package/build.log | sed 's/all [0-9]* tests: //' | sort | uniq -c || true
# The project's own builds make warnings errors; the distribution's does not, so they are looked for here.
if grep -E '\.(c|cc|cpp|h):[0-9]+:[0-9]+: warning:' build/package/build.log; then
  echo "FAILED: the compiler warns in the package build"
  exit 1
fi
bash tests/check_package.sh "$changes"
# lint CHANGES: lintian at every level on the packages a .changes lists.
lint() {
  local tags
  tags=$(lintian -I -E --pedantic --fail-on error,warning,info,pedantic "$1" 2>&1) || {
    echo "$tags"
    echo "FAILED: lintian on $1"
    exit 1
  }
  grep -v '^running with root privileges' <<<"$tags" || echo "ok: lintian -I -E --pedantic on ${1##*/}: no tag"
}
step "lintian"
lint "$changes"
step "Debian packages cross-built for arm64, and lintian on them"
cross_changes=$(TOLVANE_PACKAGE_DIR=build/package-arm64 bash scripts/package.sh -aarm64 -Pcross,nocheck 2>build/package-arm64.log) || {
  tail -n 60 build/package-arm64.log
  exit 1
}
lint "$cross_changes"
step "autopkgtest in a clean testbed, piuparts beside it"
bash tests/check_piuparts.sh "$changes" >build/piuparts.log 2>&1 &
piuparts=$!
autopkgtest_status=0
bash tests/check_autopkgtest.sh "$changes" || autopkgtest_status=$?
piuparts_status=0
wait $piuparts || piuparts_status=$?
cat build/piuparts.log
if ((autopkgtest_status != 0 || piuparts_status != 0)); then
  exit 1
fi
step "package reproducible, from two directories"
bash tests/check_reproducible.sh

step "cross builds"
bash scripts/cross.sh

# Fuzz targets, each for a short fixed number of runs from its seed corpus.
step "fuzz smoke (clang, libFuzzer)"
CC=clang-14 CXX=clang++-14 bash scripts/build.sh fuzz -DTOLVANE_FUZZ=ON -DTOLVANE_BUILD_BENCH=OFF
ctest --test-dir build/fuzz -L fuzz --output-on-failure
step "done"
echo "the test command took $((SECONDS - started)) s"
