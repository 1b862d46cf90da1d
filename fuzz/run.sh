#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time, two at
# a time (one per core).
#   fuzz/run.sh [SECONDS_PER_TARGET]   (default 60)
# Each target starts from the inputs kept in tests/regression/<harness>/ and its own growing
# corpus in build-fuzz/corpus/<harness>/. A crash, leak, time-out or sanitizer report stops that
# target, leaves the input as build-fuzz/artifacts/<harness>-crash-... and makes the script fail:
# fix the fault, then copy the input to tests/regression/<harness>/ so the tests replay it.
set -u
cd "$(dirname "$0")/.." || exit 1
seconds=${1:-60}

# The "fuzz" presets of CMakePresets.json: clang, the four targets.
if [ ! -f build-fuzz/CMakeCache.txt ]; then
    cmake --preset fuzz || exit 1
fi
cmake --build --preset fuzz || exit 1

mkdir -p build-fuzz/artifacts

# fuzz_one HARNESS: runs one target for the given time; its output goes to its log.
fuzz_one() {
    corpus=build-fuzz/corpus/$1
    mkdir -p "$corpus"
    build-fuzz/fuzz/${1}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$1-" \
        "$corpus" "tests/regression/$1" >"build-fuzz/artifacts/$1.log" 2>&1
}

# report HARNESS STATUS: the target's figures, or its failure with the end of its log.
report() {
    if [ "$2" -ne 0 ]; then
        echo "fuzz: $1 FAILED; see build-fuzz/artifacts/$1.log" >&2
        tail -n 40 "build-fuzz/artifacts/$1.log" >&2
        status=1
    else
        grep -E "^(Done|stat::number_of_executed_units)" "build-fuzz/artifacts/$1.log"
    fi
}

# Two targets at a time, one on each core: each still gets its whole time.
status=0
for pair in "zarn_stream zarn_transactions" "cl_stream config_decode"; do
    set -- $pair
    echo "== fuzzing $1 and $2 side by side for ${seconds}s"
    fuzz_one "$1" & first=$!
    fuzz_one "$2" & second=$!
    first_status=0; second_status=0
    wait "$first" || first_status=$?
    wait "$second" || second_status=$?
    report "$1" "$first_status"
    report "$2" "$second_status"
done
exit "$status"
