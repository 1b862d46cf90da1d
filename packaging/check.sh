#!/bin/sh
# The package's test (test.sh's stage "package"): unpacks build/package/gallion_*.deb into a
# temporary root and runs what it holds from there: gallion-headless --help and a short runner
# session, gallion --help offscreen, the Python package from the unpacked dist-packages, every
# manual page through man -l, --help against the manual page's options; the windows program as
# root from the unpacked (writable) usr/bin keeps its settings under ~/.config/Gallion/ and writes
# nothing beside itself; lintian on the package; desktop-file-validate and appstreamcli validate on
# the desktop files. Prints "N passed, N failed" and exits non-zero on any failure.
# Usage: packaging/check.sh PACKAGE.deb
set -u
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: packaging/check.sh PACKAGE.deb (a package file)" >&2
    exit 2
fi
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT INT TERM
passed=0
failed=0
check() {
    # check NAME COMMAND...: runs the command, its output kept in $root/out.
    name=$1
    shift
    if "$@" >"$root/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok: $name"
    else
        failed=$((failed + 1))
        echo "FAILED: $name" >&2
        sed 's/^/    /' "$root/out" >&2
    fi
}

unpacked=$root/unpacked
check "dpkg-deb -x" dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin
home=$root/home
mkdir -p "$home" "$root/work"
export HOME="$home" XDG_CONFIG_HOME="" GALLION_INI=""
unset XDG_CONFIG_HOME GALLION_INI

# The programs run from the unpacked tree, without the build tree's libraries or files.
check "gallion-headless --help" sh -c '"$1/gallion-headless" --help | grep -q -- "--control PATH"' - "$bin"
session() {
    cd "$root/work" || return 1
    printf 'loop add zarn pty:%s/line 1 2\npump add 1 1\nstate 1 1\nsave s.gcf\nloop remove 1\nload s.gcf\nloop list\nquit\n' \
        "$root/work" | timeout 30 "$bin/gallion-headless" >session.txt || return 1
    cat session.txt
    [ "$(grep -c '^ok' session.txt)" -eq 8 ] && grep -q '"status":' session.txt &&
        grep -q '"first":1,"last":2' session.txt && [ ! -e "$root/work/line" ]
}
check "a short runner session (loop, pump, state, save, load, quit)" session
check "gallion --help offscreen" sh -c 'QT_QPA_PLATFORM=offscreen "$1/gallion" --help | grep -q -- "--config FILE"' - "$bin"
check "gallion-spy-dump --help" sh -c '"$1/gallion-spy-dump" --help 2>&1 | grep -q -- "--protocol"' - "$bin"
python_path=$unpacked/usr/lib/python3/dist-packages
check "the Python package imports from dist-packages" sh -c \
    'cd / && PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$1" /usr/bin/python3 -c "import gallion, gallion.companion.cli, gallion.pytest_plugin; assert gallion.__file__.startswith(\"$1\"), gallion.__file__"' \
    - "$python_path"
check "gallion-companion --help" sh -c 'PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$1" "$2/gallion-companion" --help | grep -q -- "--protocol"' \
    - "$python_path" "$bin"

# Manual pages: each renders without warnings, and names every option its program's --help gives.
for page in gallion gallion-headless gallion-spy-dump gallion-companion gallion-demo gallion-conformance; do
    file=$unpacked/usr/share/man/man1/$page.1.gz
    check "man -l $page.1.gz" sh -c 'test -s "$1" && MANWIDTH=80 man --warnings -l "$1" >"$2" 2>&1 && ! grep -q "warning" "$2" && grep -q "^NAME" "$2"' \
        - "$file" "$root/$page.man"
done
agree() {
    program=$1
    help=$(QT_QPA_PLATFORM=offscreen PYTHONDONTWRITEBYTECODE=1 "$bin/$program" --help 2>&1)
    options=$(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || return 1
    for option in $options; do
        grep -q -- "$option" "$root/$program.man" || { echo "$program: $option is not in the manual page"; return 1; }
    done
}
for program in gallion gallion-headless gallion-spy-dump; do
    check "$program: --help and the manual page name the same options" agree "$program"
done
command_language() {
    commands=$(echo help | "$bin/gallion-headless" | sed 's/^ok commands: //' | sed 's/ | /\n/g' | awk '{print $1}' | sort -u)
    for command in $commands; do
        grep -Eq "(^ +|, )$command( |,|$)" "$root/gallion-headless.man" || { echo "command $command is not in the manual page"; return 1; }
    done
}
check "gallion-headless: every command of \"help\" is in the manual page" command_language

# Installed, the windows program keeps its settings under ~/.config/Gallion/, also as root from a
# writable usr/bin, and writes nothing beside itself.
settings() {
    cd "$root/work" || return 1
    QT_QPA_PLATFORM=offscreen "$bin/gallion" --control "$root/work/control.sock" 2>"$root/work/gallion.err" &
    pid=$!
    waited=0
    while [ ! -S "$root/work/control.sock" ] && [ $waited -lt 200 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    kill -TERM $pid
    wait $pid
    status=$?
    cat "$root/work/gallion.err"
    ls -la "$bin"
    [ $status -eq 0 ] && [ -s "$home/.config/Gallion/Gallion.ini" ] && grep -q '^\[Main\]' "$home/.config/Gallion/Gallion.ini" &&
        [ "$(ls "$bin" | grep -cv '^gallion')" -eq 0 ]
}
check "installed gallion keeps its settings in ~/.config/Gallion/, nothing beside itself" settings

# The package and its desktop files.
lint() {
    lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges'
    lintian --fail-on error,warning "$deb" >/dev/null 2>&1
}
check "lintian: no errors, no warnings" lint
check "desktop-file-validate" desktop-file-validate "$unpacked/usr/share/applications/gallion.desktop"
check "appstreamcli validate" appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml
check "the MIME type's XML" sh -c 'xmllint --noout "$1" 2>/dev/null || python3 -c "import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])" "$1"' \
    - "$unpacked/usr/share/mime/packages/gallion.xml"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
