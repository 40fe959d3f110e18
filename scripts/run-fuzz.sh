#!/bin/sh
# Runs every libFuzzer target of a -DCERT_FUZZ=ON build for SECONDS each.
#   scripts/run-fuzz.sh BUILD SECONDS [--merge]
# The saved corpus (tests/fuzz/corpus/<name>/, <name> = target without the
# fuzz_ prefix) seeds a work corpus in BUILD/fuzz-work/<name>; crashes land
# in BUILD/fuzz-artifacts/. With --merge the work corpus is minimised back
# into the saved corpus afterwards (review the result before committing).
set -eu
BUILD=${1:?usage: run-fuzz.sh BUILD SECONDS [--merge]}
SECONDS_EACH=${2:?usage: run-fuzz.sh BUILD SECONDS [--merge]}
MERGE=${3:-}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# Targets that go through files (list files) sync what they write: on a
# memory file system that costs nothing, on a disk it would halve their pace.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
found=0
status=0
for bin in "$BUILD"/tests/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    found=1
    name=$(basename "$bin")
    short=${name#fuzz_}
    saved="$ROOT/tests/fuzz/corpus/$short"
    work="$BUILD/fuzz-work/$short"
    art="$BUILD/fuzz-artifacts/$short"
    mkdir -p "$saved" "$work" "$art"
    log="$BUILD/fuzz-$short.log"
    echo "fuzz: $name for ${SECONDS_EACH}s (log $log)"
    if ! nice -n 10 "$bin" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$art/" "$work" "$saved" >"$log" 2>&1; then
        status=1
        echo "fuzz: $name found a fault:"
        tail -40 "$log"
    fi
    grep -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$log" || true
    if [ "$MERGE" = "--merge" ]; then
        tmp="$BUILD/fuzz-merge/$short"
        rm -rf "$tmp" && mkdir -p "$tmp"
        "$bin" -merge=1 -max_len=4096 "$tmp" "$saved" "$work" >/dev/null 2>&1
        echo "fuzz: minimised corpus of $(ls "$tmp" | wc -l) inputs in $tmp"
    fi
done
[ "$found" = 1 ] || { echo "fuzz: no fuzz_* programs in $BUILD/tests/fuzz" >&2; exit 2; }
exit $status
