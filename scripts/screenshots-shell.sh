#!/bin/sh
# Renders the shell's dialogs and the communication pane offscreen to PNG files in
# docs/screenshots/: the Preferences dialog (each tab), the New loop dialog and the communication
# pane with the traffic of a Zarn loop whose controller the test program plays. Builds the windows
# test program that draws them if needed.
set -e
cd "$(dirname "$0")/.."
. scripts/setup.sh
gallion_build_targets build screens_shell_dialogs_test
mkdir -p docs/screenshots
folder=$(cd docs/screenshots && pwd)
GALLION_SCREENSHOTS="$folder" QT_QPA_PLATFORM=offscreen \
    build/tests/screens_shell_dialogs_test Screenshots
ls -l "$folder"
