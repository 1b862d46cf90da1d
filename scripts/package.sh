#!/bin/sh
# Builds the Debian package gallion_VERSION_amd64.deb in build/package/ from the normal build
# tree: installs what is missing, builds build/ as ./run.sh does, then runs CPack there (no second
# compile). Prints the package's path on its last line.
set -e
cd "$(dirname "$0")/.."
. scripts/setup.sh
gallion_install_packages
gallion_make_locale
gallion_build normal
rm -f build/package/gallion_*.deb
(cd build && cpack -G DEB >/dev/null)
ls "$(pwd)"/build/package/gallion_*.deb
