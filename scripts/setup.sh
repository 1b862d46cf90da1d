# Shared by run.sh and test.sh (sourced, not run): installs the build packages that are missing,
# makes the locale the tests need, and configures and builds Gallion from the presets of
# CMakePresets.json.

# Debian packages the build and the tests need. Later tools go here too.
GALLION_PACKAGES="build-essential cmake pkg-config libgtest-dev locales"
# Debian's Python 3 runs the Python package (python/gallion: the control socket's client, the
# controllers, the companion and the demonstration, the pytest fixtures) and its tests: pyserial
# for serial ports, pytest, and venv, setuptools and pip for the offline install check.
GALLION_PACKAGES="$GALLION_PACKAGES python3 python3-serial python3-pytest python3-venv python3-setuptools python3-pip"
# clang and its runtimes for the libFuzzer targets (fuzz/run.sh).
GALLION_PACKAGES="$GALLION_PACKAGES clang libclang-rt-14-dev"
# Qt 6 Widgets and Qt Test for the windows; fonts so that windows rendered offscreen (tests,
# screenshots) draw real glyphs: Liberation Sans stands in for the layouts' "Arial".
GALLION_PACKAGES="$GALLION_PACKAGES qt6-base-dev fonts-dejavu-core fonts-liberation2"
# The Debian package (packaging/, scripts/package.sh) and its checks: the icon's PNG sizes
# (rsvg-convert), the Python programs' manual pages (help2man), man -l, lintian, and the desktop
# entry's and metainfo's validators.
GALLION_PACKAGES="$GALLION_PACKAGES librsvg2-bin help2man man-db lintian desktop-file-utils appstream"
# A locale with a comma as decimal separator, for the settings-file tests.
GALLION_TEST_LOCALE="de_DE.UTF-8"

gallion_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "setup: need root (or sudo) to run: $*" >&2
        return 1
    fi
}

gallion_install_packages() {
    missing=""
    for package in $GALLION_PACKAGES; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        case "$status" in
            *" installed") ;;
            *) missing="$missing $package" ;;
        esac
    done
    if [ -n "$missing" ]; then
        echo "setup: installing$missing"
        gallion_root env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null || return 1
        # shellcheck disable=SC2086
        gallion_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing \
            </dev/null || return 1
    fi
}

gallion_make_locale() {
    if locale -a 2>/dev/null | grep -qix "de_DE.utf8"; then
        return 0
    fi
    echo "setup: generating locale $GALLION_TEST_LOCALE"
    gallion_root localedef -i de_DE -f UTF-8 "$GALLION_TEST_LOCALE"
}

# gallion_configure PRESET: configures the build folder of a preset of CMakePresets.json (normal:
# build/, tsan: build-tsan/, asan: build-asan/, fuzz: build-fuzz/) unless it is configured already.
gallion_configure() {
    case "$1" in
        normal) build_dir=build ;;
        *) build_dir=build-$1 ;;
    esac
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake --preset "$1" || return 1
    fi
}

# gallion_build PRESET [TARGETS...]: configures like gallion_configure, then builds the preset's
# targets (all, or those its build preset names), or only the TARGETS given.
gallion_build() {
    preset=$1
    shift
    gallion_configure "$preset" || return 1
    if [ $# -gt 0 ]; then
        cmake --build --preset "$preset" --target "$@"
    else
        cmake --build --preset "$preset"
    fi
}

# gallion_prepare: what both scripts need before building: the packages and the test locale.
gallion_prepare() {
    cd "$(dirname "$0")" || return 1
    gallion_install_packages || return 1
    gallion_make_locale
}

# gallion_setup: prepares, then builds only the programs (gallion, gallion-headless,
# gallion-spy-dump) in build/: what ./run.sh starts, none of the test programs.
gallion_setup() {
    gallion_prepare || return 1
    gallion_configure normal || return 1
    cmake --build --preset programs
}
