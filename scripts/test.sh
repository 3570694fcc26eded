#!/usr/bin/env bash
# The whole test suite: builds each preset once and runs its tests.
#   release  optimised build: unit, database and end-to-end tests
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer: the same tests, and
#            every fuzz target for a few seconds
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${ZEL_JOBS:-$(nproc)}
for preset in release asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
for preset in release asan; do
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
