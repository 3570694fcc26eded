#!/usr/bin/env bash
# Builds the optimised preset and runs the demo: a new station on SQLite in a
# directory of its own under build/, a batch of a day's passages, the summary
# and the last coupon.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release > /dev/null
cmake --build --preset release --target geracupom
exec build/release/app/geracupom demo "build/demo-$(date +%Y%m%d-%H%M%S)"
