#!/usr/bin/env bash
# Plants the faults of faults/*.patch one at a time in a private copy of the
# tree, rebuilds it, runs the test suite and tells how many of them the suite
# caught. Not part of the test command: it takes one build of the copy and one
# run of the suite per fault.
#
#   scripts/plant-faults.sh [--tests-from COMMIT] [--new REGEX] [--only PATTERN]
#                           [--exclude REGEX] [--jobs N]
#
#   --tests-from COMMIT  run the tests/ folder of COMMIT instead of the tree's
#   --new REGEX          the tests (ctest names) added since the figure to
#                        compare with: they run only for the faults the rest of
#                        the suite lets through, and two figures are given,
#                        without them and with them
#   --only PATTERN       plant only the patches whose name matches the shell pattern
#   --from NAME          start at this patch (to go on after an interrupted run)
#   --exclude REGEX      ctest -E of the tests left out (default: the long
#                        exactly-once campaigns, the tests that race two
#                        processes, whose failure under load proves nothing,
#                        and the fuzz runs)
#   --jobs N             build and test jobs (default 2)
#   --prepare            only bring the copy in step with the tree and build it
#   --skip-clean         do not run the suite without a fault first (it passed
#                        on this copy before)
#
# The copy lives in build/faults/ (ZEL_FAULT_DIR to move it); the tree itself is
# never patched. A fault counts as caught when the suite fails with it; a patch
# that does not apply or does not build is reported apart and not counted.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${ZEL_FAULT_DIR:-$root/build/faults}
tests_from=""
new=""
only="*"
from=""
exclude='^fuzz\.|FaultMatrix|CrashMatrix|RandomKill|TwoRuns|FailingWrite|ImportBesideRun'
jobs=2
prepare=""
skip_clean=""
while [ $# -gt 0 ]; do
    case $1 in
        --tests-from) tests_from=$2; shift 2 ;;
        --new) new=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --from) from=$2; shift 2 ;;
        --exclude) exclude=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --prepare) prepare=1; shift ;;
        --skip-clean) skip_clean=1; shift ;;
        *) echo "plant-faults: unknown argument $1" >&2; exit 2 ;;
    esac
done

tree=$work/tree
build=$tree/build/faults
log=$work/log
mkdir -p "$work" "$log"

echo "plant-faults: copying $root to $tree"
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage" "$tree"
(cd "$root" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -xf - -C "$stage"
if [ -n "$tests_from" ]; then
    rm -rf "$stage/tests"
    git -C "$root" archive "$tests_from" tests | tar -x -C "$stage"
    echo "plant-faults: tests/ of $(git -C "$root" rev-parse --short "$tests_from")"
fi
# Only what differs is copied (with a new time), so the build of the copy
# redoes only what changed since its last use.
(cd "$stage" && find . -type f) | while IFS= read -r f; do
    if ! cmp -s "$stage/$f" "$tree/$f"; then
        mkdir -p "$(dirname "$tree/$f")"
        cp "$stage/$f" "$tree/$f"
    fi
done
(cd "$tree" && find . -path ./build -prune -o -type f -print) | while IFS= read -r f; do
    [ -e "$stage/$f" ] || rm -f "$tree/$f"
done
# The tests find the shared sample files next to the tree, as they do next to
# the worktree.
ln -sfn "$(cd "$root/.." && pwd)/shared" "$work/shared"

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$root/.." && pwd)}
export CCACHE_NOHASHDIR=1
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DZEL_BENCH=OFF >"$log/configure.txt"

# suite OUT [ctest selection...]: the tests, stopping at the first failure.
suite() {
    local out=$1
    shift
    ctest --test-dir "$build" -j "$jobs" --stop-on-failure --timeout 600 "$@" >>"$out" 2>&1
}
first_failed() { grep -m1 -E 'Test +#[0-9]+: .*\*\*\*' "$1" | awk '{print $4}' || true; }
# The programs run as one test each (they share a database cluster) take the
# longest: they run after the others, and only when the others pass.
heavy='^test_(app|db|external)$'
others="$exclude"
[ -z "$new" ] || others="$exclude|$new"
# The suite without the new tests (all of it when none are named).
rest_suite() {
    : >"$1"
    suite "$1" -E "$others|$heavy" && suite "$1" -R "$heavy" -E "$others"
}
new_suite() {
    : >"$1"
    suite "$1" -R "$new" -E "$exclude"
}

echo "plant-faults: building the copy and running the suite without a fault"
if ! cmake --build "$build" -j "$jobs" >"$log/build-clean.txt" 2>&1; then
    echo "plant-faults: the copy does not build: $log/build-clean.txt" >&2
    exit 2
fi
[ -z "$prepare" ] || exit 0
: >"$log/suite-clean.txt"
if [ -z "$skip_clean" ] && ! suite "$log/suite-clean.txt" -E "$exclude"; then
    echo "plant-faults: the suite fails without a fault; see $log/suite-clean.txt" >&2
    grep -E '\*\*\*|Failed  ' "$log/suite-clean.txt" >&2 || true
    exit 2
fi

total=0 caught=0 caught_new=0
survivors=() survivors_new=() unusable=()
for patch in "$root"/faults/$only.patch; do
    name=$(basename "$patch" .patch)
    [[ -z "$from" || ! "$name" < "$from" ]] || continue
    if ! patch -p1 -s -d "$tree" --dry-run <"$patch" >/dev/null 2>&1; then
        unusable+=("$name (does not apply)")
        continue
    fi
    patch -p1 -s -d "$tree" <"$patch"
    start=$SECONDS
    if ! cmake --build "$build" -j "$jobs" >"$log/build-$name.txt" 2>&1; then
        unusable+=("$name (does not build)")
    else
        total=$((total + 1))
        if ! rest_suite "$log/suite-$name.txt"; then
            caught=$((caught + 1))
            caught_new=$((caught_new + 1))
            verdict="caught by $(first_failed "$log/suite-$name.txt")"
        else
            survivors+=("$name")
            verdict=SURVIVED
            if [ -n "$new" ]; then
                if ! new_suite "$log/suite-new-$name.txt"; then
                    caught_new=$((caught_new + 1))
                    verdict="caught only by the new $(first_failed "$log/suite-new-$name.txt")"
                else
                    survivors_new+=("$name")
                fi
            fi
        fi
        echo "plant-faults: $name: $verdict ($((SECONDS - start)) s)"
    fi
    patch -p1 -R -s -d "$tree" <"$patch"
done
# The copy is left as it was built: the next use rebuilds only what it touches.
cmake --build "$build" -j "$jobs" >"$log/build-restored.txt" 2>&1 || true

percent() { [ "$2" -gt 0 ] && echo "$((100 * $1 / $2))%" || echo "-"; }
echo
if [ -n "$new" ]; then
    echo "without the new tests: caught $caught/$total ($(percent $caught $total))"
    for s in "${survivors[@]}"; do echo "  survived: $s"; done
    echo "with the new tests: caught $caught_new/$total ($(percent $caught_new $total))"
    for s in "${survivors_new[@]}"; do echo "  survived: $s"; done
else
    echo "caught $caught/$total ($(percent $caught $total))"
    for s in "${survivors[@]}"; do echo "  survived: $s"; done
fi
for u in "${unusable[@]}"; do echo "not counted: $u"; done
