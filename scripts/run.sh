#!/usr/bin/env bash
# Builds the optimised preset and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release > /dev/null
cmake --build --preset release --target geracupom
exec build/release/app/geracupom table show ../shared/testdata/datapackets/country.cds
