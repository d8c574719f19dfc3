#!/usr/bin/env bash
# static_analysis.sh BUILD_DIR: clang-tidy and cppcheck on the product's
# sources, and a check that the whole tree is formatted. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
sources=$(git ls-files 'profile_generator/*.cpp' 'notify_plugin/*.cpp' 'notify_check/*.cpp')

echo "--- clang-tidy"
clang-tidy-14 -p "$build" --quiet $sources

echo "--- cppcheck"
cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability --inline-suppr \
  --error-exitcode=1 --quiet --suppress=missingIncludeSystem \
  -I profile_generator -I notify_plugin -I notify_check -I tools $sources

echo "--- clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
echo "static analysis: clean"
