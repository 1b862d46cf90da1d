#!/bin/sh
# Renders every window built so far to PNG files under docs/screenshots/ (offscreen: no display
# needed): the main window (both protocols, with and without the communication pane, a filling
# under way), its menus, Preferences, New loop, the mini view, About, the key-command help and the
# spy-port dialogs. Each page shows a real loop on a virtual port whose controller the program
# plays.
set -e
cd "$(dirname "$0")/.."
. scripts/setup.sh
gallion_install_packages
gallion_build normal screens_screenshots
QT_QPA_PLATFORM=offscreen build/tests/screens_screenshots docs/screenshots
