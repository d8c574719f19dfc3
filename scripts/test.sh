#!/usr/bin/env bash
# test.sh [--quick | --help | STEP...]: installs what is missing, then runs
# the full gate's steps (all of them when none is named, as CI does), each
# saying what it cost. Debian 12, 13 and unstable are each covered: the
# sanitized builds, the static analysis, the reproducibility check and the
# cross builds run on this machine's release; the packages are built with
# their tests in clean chroots of the other two releases and tested there as
# installed (trixie and sid on a Debian 12 machine, bookworm and sid on a
# Debian 13 one). Nothing is installed on this machine but the tools.
#   --quick  the loop while working: the plain build's unit suites and lint
#            checks, built and run here, but the hardening checks (which
#            build programs of their own, and which a change to the code
#            seldom touches)
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step, in the order the full gate runs them, with what it does.
steps=(package static asan tsan coverage reproducible arm64 cross)
declare -A about=(
  [package]="packages built with their tests in chroots of the two other releases, blhc, lintian, autopkgtest, piuparts"
  [static]="clang-tidy, cppcheck and clang-format, from a copy of the tree without .git"
  [asan]="every suite under AddressSanitizer and UndefinedBehaviorSanitizer, here"
  [tsan]="every suite under ThreadSanitizer, here"
  [coverage]="every suite in a GCC coverage build, here; each product folder's lines and branches held to tests/coverage/floors.txt"
  [reproducible]="reprotest: the packages built twice here, the second build varied (path, time, locale, file order...), compared byte for byte; blhc on both"
  [arm64]="the packages cross-built for arm64 here, blhc on the build and lintian on them"
  [cross]="products and unit suites cross-built for the other architectures, under qemu-user"
)
# Steps that mostly wait (downloads, chroot and testbed set-up, apt) start
# first and run beside the others.
declare -A beside=([package]=1)

usage() {
  echo "usage: bash scripts/test.sh [--quick | --help | STEP...]; the steps, all run when none is named:"
  local name
  for name in "${steps[@]}"; do printf '  %-13s %s\n' "$name" "${about[$name]}"; done
  printf '  %-13s %s\n' --quick "the plain build's unit suites and lint checks (less hardening), built and run here"
}

if [ "${1:-}" = --help ]; then
  usage
  exit 0
fi
if [ "${1:-}" = --quick ]; then
  bash scripts/setup.sh
  bash scripts/build.sh plain
  exec ctest --test-dir build/plain -L 'unit|lint' -LE hardening --output-on-failure -j "$(nproc)"
fi
chosen=()
for name in "$@"; do
  [ -n "${about[$name]:-}" ] || {
    echo "unknown step '$name'" >&2
    usage >&2
    exit 2
  }
done
for name in "${steps[@]}"; do
  if (($# == 0)) || [[ " $* " == *" $name "* ]]; then chosen+=("$name"); fi
done

# One apt update for everything, the cross builds' and the packaging's tools included.
bash scripts/setup.sh cross packaging
source scripts/lib/debian_env.sh
source scripts/lib/tree_copy.sh
source scripts/lib/clang_version.sh
mkdir -p build/steps
started=$SECONDS

step_static() {
  # What depends on the tree's layout (listing the sources, configuring) runs
  # from a copy without .git and with git out of reach, as it must in an
  # unpacked tarball on a bare system.
  local scratch
  scratch=$(mktemp -d)
  copy_tree "$scratch/tree"
  git_out_of_reach "$scratch/bin"
  (
    cd "$scratch/tree"
    export PATH="$scratch/bin:$PATH"
    cmake -S . -B build/plain -G Ninja -DTOLVANE_WERROR=ON >/dev/null
    bash scripts/static_analysis.sh build/plain
  ) || {
    rm -rf "$scratch"
    return 1
  }
  rm -rf "$scratch"
}

run_suites() {
  local name=$1
  shift
  bash scripts/build.sh "$name" "$@"
  ctest --test-dir "build/$name" --output-on-failure -j "$(nproc)"
}
step_asan() { run_suites asan -DTOLVANE_SANITIZE=address,undefined; }
step_tsan() { run_suites tsan -DTOLVANE_SANITIZE=thread; }
# The lint checks run none of the product's code; the counters start from
# nothing, so that the figures are this run's. Each suite writes its counters
# under build/coverage-counters/SUITE, and each host that strace fails under
# SUITE/traced-host-N (see tests/CMakeLists.txt and the failure tables); they
# are folded into the build's once all have ended.
step_coverage() {
  bash scripts/build.sh coverage -DTOLVANE_COVERAGE=ON
  find build/coverage -name '*.gcda' -delete
  rm -rf --one-file-system build/coverage-counters
  ctest --test-dir build/coverage -LE lint --output-on-failure -j "$(nproc)"
  local tree=$PWD/build/coverage suite
  for suite in build/coverage-counters/*/ build/coverage-counters/*/traced-host-*/; do
    [ -d "$suite$tree" ] || continue
    # gcov-tool merges into a tree that holds counters already.
    if [ -z "$(find "$tree" -name '*.gcda' -print -quit)" ]; then
      cp -r "$suite$tree/." "$tree/"
    else
      gcov-tool merge -o "$tree" "$tree" "$suite$tree" || {
        echo "FAILED: gcov-tool could not fold ${suite%/}'s counters into $tree"
        return 1
      }
    fi
  done
  python3 scripts/coverage_report.py build/coverage build/coverage-report
}

# lint CHANGES: this machine's lintian at every level on the packages a
# .changes file lists; an error or a warning fails (see package.sh).
lint() {
  local tags
  tags=$(lintian -I -E --pedantic --fail-on error,warning "$1" 2>&1) || {
    echo "$tags"
    echo "FAILED: lintian on $1"
    return 1
  }
  grep -v '^running with root privileges' <<<"$tags" || echo "ok: lintian -I -E --pedantic on ${1##*/}: no tag"
}

# release_checks SUITE: the packages built in a clean chroot of SUITE with
# their tests and that release's lintian, then checked as installed there.
release_checks() {
  local suite=$1 out=build/package-$1 changes
  local log=build/steps/package-$suite-build.log
  changes=$(TOLVANE_PACKAGE_DIR=$out DEB_BUILD_OPTIONS="parallel=1" bash scripts/package.sh --chroot --suite="$suite" \
    2>"$log") || {
    tail -n 80 "$log"
    echo "FAILED: the package build in a clean $suite chroot (whole log: $log)"
    return 1
  }
  echo "ok: built in a clean $suite chroot: $changes"
  grep '^ok: blhc ' "$log"
  # What the build's own tests gave, and why the skipped ones could not run there.
  grep -E '^[0-9]+% tests passed|\*\*\*(Skipped|Failed)' "$out/build.log" || true
  grep -o 'SKIPPED \] all .*' "$out/build.log" | sed 's/all [0-9]* tests: //' | sort | uniq -c || true
  # The project's own builds make warnings errors; the distribution's does not, so they are looked for here.
  if grep -E '\.(c|cc|cpp|h):[0-9]+:[0-9]+: warning:' "$out/build.log"; then
    echo "FAILED: the compiler warns in the $suite package build"
    return 1
  fi
  # What that release's lintian said, inside the chroot.
  sed "s/^/lintian from $suite: /" "$out/lintian.txt"
  [ -s "$out/lintian.txt" ] || echo "ok: lintian from $suite at -I -E --pedantic: no tag"
  bash package_checks/check_package.sh "$changes"
  local piuparts_status=0 autopkgtest_status=0
  bash package_checks/check_piuparts.sh --suite="$suite" "$changes" >"build/steps/piuparts-$suite.log" 2>&1 &
  local piuparts=$!
  bash package_checks/check_autopkgtest.sh --suite="$suite" "$changes" || autopkgtest_status=$?
  wait $piuparts || piuparts_status=$?
  cat "build/steps/piuparts-$suite.log"
  ((autopkgtest_status == 0 && piuparts_status == 0))
}
# The releases the packages are built on: every one but this machine's,
# whose toolchain the sanitized builds already use.
package_suites() {
  local suite
  for suite in "${debian_suites[@]}"; do [ "$suite" = "$(host_suite)" ] || echo "$suite"; done | head -n 2
}
step_package() {
  local suite suites pids=() status=0 i
  mapfile -t suites < <(package_suites)
  for suite in "${suites[@]}"; do
    release_checks "$suite" >"build/steps/package-$suite.log" 2>&1 &
    pids+=($!)
  done
  i=0
  for suite in "${suites[@]}"; do
    wait "${pids[$i]}" || status=1
    echo "--- $suite"
    cat "build/steps/package-$suite.log"
    i=$((i + 1))
  done
  return $status
}

step_reproducible() { bash package_checks/check_reproducible.sh; }

step_arm64() {
  local changes
  changes=$(TOLVANE_PACKAGE_DIR=build/package-arm64 bash scripts/package.sh -aarm64 -Pcross,nocheck \
    2>build/steps/arm64-build.log) || {
    tail -n 60 build/steps/arm64-build.log
    return 1
  }
  grep '^ok: blhc ' build/steps/arm64-build.log
  lint "$changes"
}

step_cross() { bash scripts/cross.sh; }

# Steps beside the others run in process groups of their own, so that a
# failure elsewhere can end them whole.
declare -A running=() began=()
failed=()
# The package step's builders make user namespaces: where none can be made,
# it fails at once, saying why, instead of after its downloads.
if [[ " ${chosen[*]} " == *" package "* ]] && ! user_namespaces "the package step"; then
  failed+=(package)
  mapfile -t chosen < <(printf '%s\n' "${chosen[@]}" | grep -vx package)
fi
stop_beside() {
  local name
  for name in "${!running[@]}"; do kill -- "-${running[$name]}" 2>/dev/null || true; done
}
trap stop_beside EXIT
for name in "${chosen[@]}"; do
  if [ -n "${beside[$name]:-}" ]; then
    echo "=== $name: started beside the others"
    began[$name]=$SECONDS
    set -m
    "step_$name" >"build/steps/$name.log" 2>&1 &
    running[$name]=$!
    set +m
  fi
done
for name in "${chosen[@]}"; do
  [ -z "${beside[$name]:-}" ] || continue
  echo "=== $name: ${about[$name]}"
  began[$name]=$SECONDS
  # Started apart and waited for, so that the step stops at its first failure.
  "step_$name" &
  wait $! || failed+=("$name")
  echo "--- $name: $((SECONDS - began[$name])) s"
done
for name in "${chosen[@]}"; do
  [ -n "${beside[$name]:-}" ] || continue
  echo "=== $name (beside the others): ${about[$name]}"
  status=0
  wait "${running[$name]}" || status=$?
  unset "running[$name]"
  cat "build/steps/$name.log"
  ((status == 0)) || failed+=("$name")
  echo "--- $name: $((SECONDS - began[$name])) s, beside the others"
done
echo "the test command took $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "FAILED steps: ${failed[*]}"
  exit 1
fi
