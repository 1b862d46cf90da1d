#!/bin/sh
# Installs what is missing, builds Gallion in build/ and starts it.
set -e
. "$(dirname "$0")/scripts/setup.sh"
gallion_setup

# The headless runner arrives with a later change; then this becomes:
#   exec build/src/headless/gallion-headless "$@"
if [ -x build/src/headless/gallion-headless ]; then
    exec build/src/headless/gallion-headless "$@"
fi
echo
echo "Built in build/:"
find build -maxdepth 3 -type f \( -name 'libgallion_*.a' -o -name 'gallion-*' \) -perm -u+r | sort | sed 's/^/  /'
echo
echo "The program's runner is not there yet. To run the tests: ./test.sh"
echo "or by hand: ctest --test-dir build --output-on-failure -j2"
