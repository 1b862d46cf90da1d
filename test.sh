#!/bin/sh
# Installs what is missing, builds everything and runs every test: once in build/ (then builds the
# Debian package from build/ and checks it, packaging/check.sh), then once more
# under ThreadSanitizer in build-tsan/; then the soak, serial-fault and TCP-fault tests under
# AddressSanitizer and LeakSanitizer in build-asan/, and every fuzz target for a minute (fuzz/run.sh,
# build-fuzz/).
# Exits non-zero when anything fails. Each stage reports how long it took.
set -e
. "$(dirname "$0")/scripts/setup.sh"

stage_started=$(date +%s)
stage_done() {
    now=$(date +%s)
    echo "== stage \"$1\" took $((now - stage_started)) s"
    stage_started=$now
}

gallion_setup
stage_done "install and build (build/)"

status=0
ctest --test-dir build --output-on-failure -j2 --timeout 300 || status=1
stage_done "tests (build/)"

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
gallion_build build-tsan -DGALLION_TSAN=ON || exit 1
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j2 --timeout 300 || status=1
stage_done "ThreadSanitizer build and tests (build-tsan/)"

echo
echo "== AddressSanitizer and LeakSanitizer build (build-asan/): soak, serial-fault, TCP-fault and control socket tests =="
gallion_build_targets build-asan "soak_soak_test faults_serial_faults_test faults_fuzz_regression_test \
    faults_tcp_faults_test gallion-headless control_control_server_test" -DGALLION_ASAN=ON || exit 1
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    ctest --test-dir build-asan -L "soak|faults|control" -E "clients_python_example" --output-on-failure -j2 \
    --timeout 300 || status=1
stage_done "AddressSanitizer build and tests (build-asan/)"

echo
echo "== Fuzzing (build-fuzz/, 60 s per target) =="
fuzz/run.sh 60 || status=1
stage_done "fuzz build and fuzzing (build-fuzz/)"

if [ "$status" -ne 0 ]; then
    echo "test.sh: FAILED" >&2
else
    echo "test.sh: all tests passed"
fi
exit "$status"
