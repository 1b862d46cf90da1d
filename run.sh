#!/bin/sh
# Installs what is missing, builds Gallion in build/ and starts it.
set -e
. "$(dirname "$0")/scripts/setup.sh"
gallion_setup

# When the headless runner is ready, starting it is this one line:
#   exec build/src/headless/gallion-headless "$@"
echo
echo "Built in build/:"
find build -maxdepth 3 -type f \( -name 'libgallion_*.a' -o -name 'gallion-*' \) | sort | sed 's/^/  /'
echo
echo "The program's runner is not ready yet. To run the tests: ./test.sh"
echo "or by hand: ctest --test-dir build --output-on-failure -j2"
