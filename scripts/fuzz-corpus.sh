#!/usr/bin/env bash
# Grows the committed fuzz corpora: runs each fuzz target of a build made with
# ZEL_FUZZ=ON (the asan preset) for a while, seeded with its committed corpus
# and the shared sample packets, then adds to fuzz/corpus/<target>/ a few
# dozen small inputs that reach new code. Inputs that make a target fail are
# always kept there (crash-*, timeout-*, oom-*), to be replayed by the test
# suite once the fault is mended.
#
#   scripts/fuzz-corpus.sh [BUILD_DIR] [SECONDS_PER_TARGET] [KEEP_PER_TARGET]
#
# No sample file, nor the start of one, is kept: the samples are read from
# where they lie, never copied here.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/asan}
seconds=${2:-60}
keep=${3:-40}
samples=$(cd "$root/.." && pwd)/shared/testdata/datapackets
max_len=1024

is_sample() {
    local f=$1 size
    size=$(stat -c %s "$f")
    [ "$size" -ge 64 ] || return 1
    for s in "$samples"/*; do
        if [ "$size" -le "$(stat -c %s "$s")" ] && cmp -s -n "$size" "$f" "$s"; then return 0; fi
    done
    return 1
}

for bin in "$build"/fuzz/fuzz_*; do
    [ -x "$bin" ] && [ -f "$bin" ] || continue
    name=$(basename "$bin")
    committed=$root/fuzz/corpus/$name
    found=$build/fuzz/${name}_corpus
    merged=$build/fuzz/${name}_merged
    artifacts=$build/fuzz/${name}_artifacts/
    mkdir -p "$committed" "$found" "$artifacts"
    echo "fuzz-corpus: $name for $seconds s"
    "$bin" -max_total_time="$seconds" -max_len=$max_len -rss_limit_mb=2048 -artifact_prefix="$artifacts" \
        "$found" "$committed" "$samples" >"$build/fuzz/$name.log" 2>&1 || true
    # The inputs that reach new code, beyond what the committed corpus reaches.
    rm -rf "$merged"
    mkdir -p "$merged"
    "$bin" -merge=1 -max_len=$max_len "$merged" "$committed" "$found" >>"$build/fuzz/$name.log" 2>&1
    for f in "$merged"/*; do
        [ -f "$f" ] || continue
        if [ -e "$committed/$(basename "$f")" ] || is_sample "$f"; then rm -f "$f"; fi
    done
    # A few dozen of them, spread over their sizes.
    n=$(find "$merged" -type f | wc -l)
    step=$(((n + keep - 1) / (keep > 0 ? keep : 1)))
    [ "$step" -ge 1 ] || step=1
    ls -Sr "$merged" | awk -v step="$step" 'NR % step == 0' | while IFS= read -r f; do
        cp "$merged/$f" "$committed/"
    done
    for a in "$artifacts"*; do
        [ -f "$a" ] || continue
        cp "$a" "$committed/"
        echo "fuzz-corpus: $name: kept failing input $(basename "$a")"
    done
    echo "fuzz-corpus: $name: $(find "$committed" -type f | wc -l) inputs, $(du -sk "$committed" | cut -f1) KiB"
done
