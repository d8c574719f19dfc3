#!/usr/bin/env bash
# static_analysis.sh BUILD_DIR: clang-tidy and cppcheck on the product's
# sources, and a check that the whole tree is formatted. Any finding fails.
# Sources are listed from the tree itself, so that this runs in an unpacked
# tarball and on a system without git.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
source scripts/lib/clang_version.sh
clang=$(clang_version)
mapfile -t sources < <(find profile_generator notify_plugin notify_check -name '*.cpp' | LC_ALL=C sort)
mapfile -t formatted < <(find profile_generator notify_plugin notify_check test_rig tests bench \( -name '*.cpp' -o -name '*.h' \) \
  | LC_ALL=C sort)
if ((${#sources[@]} == 0 || ${#formatted[@]} == 0)); then
  echo "static analysis: no sources found" >&2
  exit 1
fi

echo "--- clang-tidy"
# One source a run, as many runs as CPUs: xargs fails if any run found something.
printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$(nproc)" "clang-tidy-$clang" -p "$build" --quiet

echo "--- cppcheck"
cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability --inline-suppr \
  --error-exitcode=1 --quiet --suppress=missingIncludeSystem \
  --suppress=normalCheckLevelMaxBranches \
  -I profile_generator -I notify_plugin -I notify_check -I test_rig "${sources[@]}"

echo "--- clang-format"
"clang-format-$clang" --dry-run --Werror "${formatted[@]}"
echo "static analysis: clean (${#sources[@]} sources, ${#formatted[@]} files formatted)"
