#!/usr/bin/env bash
# fuzz.sh [SECONDS]: runs every fuzz target for SECONDS (default 600) each,
# on all cores, growing a working corpus under build/fuzz-corpus seeded from
# tests/fuzz/corpus. Findings are written to build/fuzz-findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
bash scripts/setup.sh
source scripts/lib/clang_version.sh
clang=$(clang_version)
CC=clang-$clang CXX=clang++-$clang bash scripts/build.sh fuzz -DTOLVANE_FUZZ=ON -DTOLVANE_BUILD_BENCH=OFF >/dev/null
mkdir -p build/fuzz-findings
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  work=build/fuzz-corpus/$name
  mkdir -p "$work"
  echo "=== $name for ${seconds}s"
  "build/fuzz/tests/fuzz/$name" -max_total_time="$seconds" -jobs="$(nproc)" -workers="$(nproc)" \
    -artifact_prefix=build/fuzz-findings/"$name"- -print_final_stats=1 "$work" "$seeds" 2>&1 | tail -n 12
done
