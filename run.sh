#!/bin/sh
# Installs what is missing, builds the programs (none of the tests) in build/ and starts one with a
# ready demonstration: a Zarn loop for pumps 1-8 on the virtual port /tmp/gallion-zarn. With a
# display that is the windows program; without one (or with --headless) the headless runner,
# traffic shown, further commands read from the terminal. Other options given to run.sh go to the
# program.
#
# The build happens in the repository; the runner runs in the folder run.sh was started from, so
# files named in commands (logs, configuration files, spy files) land where the user is.
set -e
caller_folder=$(pwd)
repository=$(cd "$(dirname "$0")" && pwd)
. "$repository/scripts/setup.sh"
gallion_setup
cd "$caller_folder"

# --demo: Gallion with automatic filling on its demo pumps and the companion controller on the
# other end of each line, until Ctrl-C (python/gallion/companion/demo.py). In the windows when a
# display is available, else (or with --headless after --demo) headless. Debian's python3, which
# sees Debian's python3-serial (a python3 earlier on PATH, such as a pyenv one, may not).
if [ "${1:-}" = "--demo" ]; then
    shift
    if [ "${1:-}" = "--headless" ]; then
        shift
    elif [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
        set -- --windows "$repository/build/src/shell/gallion" "$@"
    fi
    python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    PYTHONPATH="$repository/python${PYTHONPATH:+:$PYTHONPATH}"
    export PYTHONPATH
    exec "$python" -m gallion.companion.demo \
        --runner "$repository/build/src/headless/gallion-headless" --folder "$repository/build/demo" "$@"
fi

# With a display the windows program starts, showing the same demonstration loop unless options
# are given (--ini FILE, --config FILE); --headless, or no display, starts the runner below.
if [ "${1:-}" = "--headless" ]; then
    shift
elif [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    if [ $# -eq 0 ]; then
        echo "save $repository/build/demo.gcf" | "$repository/build/src/headless/gallion-headless" \
            --script "$repository/scripts/demo.commands" | grep '^error' >&2 || true
        set -- --config "$repository/build/demo.gcf"
    fi
    exec "$repository/build/src/shell/gallion" "$@"
fi

echo
echo "Gallion: a Zarn loop for pumps 1-8 is served on /tmp/gallion-zarn."
echo "Point a controller at /tmp/gallion-zarn (9600 baud, 8 data bits, no parity, 1 stop bit:"
echo "a virtual port has no parity), type 'help' for the commands, 'quit' or Ctrl-D to stop."
echo "Files named in commands are taken relative to $caller_folder."
echo
exec "$repository/build/src/headless/gallion-headless" --script "$repository/scripts/demo.commands" "$@"
