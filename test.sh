#!/bin/sh
# Installs what is missing, builds everything and runs every test: once in build/ (then builds the
# Debian package from build/ and checks it, packaging/check.sh), then once more under
# ThreadSanitizer in build-tsan/; then the soak, fault and control tests under
# AddressSanitizer and LeakSanitizer in build-asan/, and every fuzz target for a minute, two at a time (fuzz/run.sh,
# build-fuzz/). The builds and test runs are the presets of CMakePresets.json.
#   ./test.sh         everything (what CI runs)
#   ./test.sh quick   only the build in build/ and its tests but the conformance catalogue: the
#                     edit-compile-test loop
# Exits non-zero when anything fails. Each stage reports how long it took.
set -e
. "$(dirname "$0")/scripts/setup.sh"

mode=${1:-all}
case "$mode" in
    all|quick) ;;
    *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac

stage_started=$(date +%s)
stage_done() {
    now=$(date +%s)
    echo "== stage \"$1\" took $((now - stage_started)) s"
    stage_started=$now
}

gallion_prepare
gallion_build normal
stage_done "install and build (build/)"

status=0
if [ "$mode" = quick ]; then
    # The conformance catalogue waits on its lines for about a minute in each of its two halves: the
    # full run has it.
    ctest --preset normal -LE conformance || status=1
else
    ctest --preset normal || status=1
fi
stage_done "tests (build/)"

if [ "$mode" = quick ]; then
    if [ "$status" -ne 0 ]; then
        echo "test.sh quick: FAILED" >&2
    else
        echo "test.sh quick: all tests of build/ passed"
    fi
    exit "$status"
fi

echo
echo "== Debian package (build/package/): built from build/, unpacked and checked =="
if deb=$(scripts/package.sh | tail -n 1) && [ -f "$deb" ]; then
    packaging/check.sh "$deb" || status=1
else
    echo "test.sh: the package could not be built" >&2
    status=1
fi
stage_done "Debian package and its checks (build/package/)"

echo
echo "== ThreadSanitizer build (build-tsan/) =="
gallion_build tsan || exit 1
ctest --preset tsan || status=1
stage_done "ThreadSanitizer build and tests (build-tsan/)"

echo
echo "== AddressSanitizer and LeakSanitizer build (build-asan/): soak, fault and control socket tests =="
gallion_build asan || exit 1
ctest --preset asan || status=1
stage_done "AddressSanitizer build and tests (build-asan/)"

echo
echo "== Fuzzing (build-fuzz/, 60 s per target, two targets at a time) =="
fuzz/run.sh 60 || status=1
stage_done "fuzz build and fuzzing (build-fuzz/)"

if [ "$status" -ne 0 ]; then
    echo "test.sh: FAILED" >&2
else
    echo "test.sh: all tests passed"
fi
exit "$status"
