#!/usr/bin/env bash
# Corvane's one entry point for building, running and testing on Debian 12.
#   ./dev.sh run [ARGS...]   build, then run the program (on the example task file by default;
#                            without a display, headless: Ctrl+C ends it)
#   ./dev.sh test            build, then run every test
#   ./dev.sh build           build only
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

BUILD_DIR=${CORVANE_BUILD_DIR:-build}
PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libqt6svg6 libcurl4-openssl-dev libxml2-dev
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
    python3 python3-aiosmtpd iproute2 util-linux
)

ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Corvane needs these Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing missing packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

build() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON
    fi
    cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
run)
    ensure_packages
    build
    if [ $# -eq 0 ]; then
        # The window where there is a display to show it on, the console otherwise.
        if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
            set -- examples/example.cvn
        else
            set -- --headless examples/example.cvn
        fi
    fi
    exec "$BUILD_DIR/corvane" "$@"
    ;;
test)
    ensure_packages
    build
    cd "$BUILD_DIR"
    exec ctest --output-on-failure --parallel "$(nproc)" --timeout 600
    ;;
build)
    ensure_packages
    build
    ;;
*)
    echo "usage: $0 run [ARGS...] | test | build" >&2
    exit 2
    ;;
esac
