#!/bin/sh
# Installs what is missing, builds everything and runs every test: once in build/, then once more
# under ThreadSanitizer in build-tsan/. Exits non-zero when anything fails.
set -e
. "$(dirname "$0")/scripts/setup.sh"
gallion_setup

status=0
ctest --test-dir build --output-on-failure -j2 --timeout 300 || status=1

echo
echo "== ThreadSanitizer build (build-tsan/) =="
gallion_build build-tsan -DGALLION_TSAN=ON || exit 1
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j2 --timeout 300 || status=1

if [ "$status" -ne 0 ]; then
    echo "test.sh: FAILED" >&2
else
    echo "test.sh: all tests passed"
fi
exit "$status"
