#!/bin/sh
# Installs what is missing, builds Gallion in build/ and starts the headless runner with a ready
# demonstration: a Zarn loop for pumps 1-8 on the virtual port /tmp/gallion-zarn, traffic shown,
# further commands read from the terminal. Options given to run.sh go to the runner.
set -e
. "$(dirname "$0")/scripts/setup.sh"
gallion_setup

echo
echo "Gallion: a Zarn loop for pumps 1-8 is served on /tmp/gallion-zarn."
echo "Point a controller at /tmp/gallion-zarn (9600 baud, 8 data bits, odd parity, 1 stop bit),"
echo "type 'help' for the commands, 'quit' or Ctrl-D to stop."
echo
exec build/src/headless/gallion-headless --script scripts/demo.commands "$@"
