#!/usr/bin/env bash
# build.sh NAME [cmake options...]: configures and builds into build/NAME.
# The project's own builds treat warnings as errors; a plain cmake does not.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1; shift
cmake -S . -B "build/$name" -G Ninja -DTOLVANE_WERROR=ON "$@" >/dev/null
cmake --build "build/$name" -j "$(nproc)"
