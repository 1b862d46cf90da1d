#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time.
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
status=0
for harness in zarn_stream zarn_transactions cl_stream config_decode; do
    corpus=build-fuzz/corpus/$harness
    mkdir -p "$corpus"
    echo "== fuzzing $harness for ${seconds}s"
    if ! build-fuzz/fuzz/${harness}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$harness-" \
            "$corpus" "tests/regression/$harness" >"build-fuzz/artifacts/$harness.log" 2>&1; then
        echo "fuzz: $harness FAILED; see build-fuzz/artifacts/$harness.log" >&2
        tail -n 40 "build-fuzz/artifacts/$harness.log" >&2
        status=1
    else
        grep -E "^(Done|stat::number_of_executed_units)" "build-fuzz/artifacts/$harness.log"
    fi
done
exit "$status"
