#!/usr/bin/env bash
# mutants.sh [--seed N] [--sample N|all] [--files REGEX] [--timeout S] [--list]:
# mutation testing of the product sources in a scratch copy under
# build/mutants (the working tree is never touched). Not part of test.sh;
# see "Mutation testing" in HACKING.md. python3 comes with clang-tidy,
# which scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
exec nice -n 10 python3 scripts/mutants.py "$@"
