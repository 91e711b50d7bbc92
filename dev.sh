#!/usr/bin/env bash
# Corvane's one entry point for building, running and testing on Debian 12.
#   ./dev.sh run [ARGS...]   build, then run the program (on the example task file by default;
#                            without a display, headless: Ctrl+C ends it)
#   ./dev.sh test            build, then run every test
#   ./dev.sh test --sanitize [CTEST ARGS...]
#                            Debug build with AddressSanitizer and UBSan (clang) in build-asan,
#                            then every test there; any sanitizer report or Debug assertion fails
#                            its test
#   ./dev.sh build           build only
#   ./dev.sh fuzz [SECONDS]  build the fuzz targets of tests/fuzz with clang in build-fuzz and
#                            run each for SECONDS (60 by default); a crash or a broken property
#                            fails, its input kept under build-fuzz/crashes/
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

BUILD_DIR=${CORVANE_BUILD_DIR:-build}
PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-charts-dev libqt6svg6 libqt6sql6-sqlite libqt6sql6-psql libcurl4-openssl-dev libssl-dev libxml2-dev postgresql
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
    qtkeychain-qt6-dev gnome-keyring dbus-daemon
    python3 python3-aiosmtpd iproute2 util-linux libsystemd-dev
    librsvg2-bin desktop-file-utils appstream libxml2-utils shared-mime-info libglib2.0-bin man-db systemd
    libmicrohttpd-dev prometheus
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

# Sanitizers find use after free, leaks and undefined behaviour that a release build hides;
# a Debug build also keeps Qt's own assertions (Q_ASSERT in its headers) switched on. The build
# is clang's with the fuzz targets' coverage counters (CORVANE_FUZZ), so that the fuzz targets
# build in the same folder: CI runs them from there instead of compiling everything a third time.
sanitize() {
    local dir=${CORVANE_ASAN_BUILD_DIR:-build-asan}
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    if [ ! -f "$dir/build.ninja" ]; then
        # No -Werror: the instrumented code draws warnings that plain builds do not.
        CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_BUILD_BENCH=OFF \
            -DCORVANE_FUZZ=ON "${launcher[@]}"
    fi
    cmake --build "$dir" --parallel "$(nproc)"
    local suppressions
    suppressions=$(readlink -f tests/sanitizers)
    cd "$dir"
    # halt_on_error: a report ends the process, so the test fails instead of printing and passing.
    # The suppression files name what is not Corvane's, each entry with its reason.
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$suppressions/lsan.supp:print_suppressions=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1:suppressions=$suppressions/ubsan.supp}
    exec ctest --output-on-failure --parallel "$(nproc)" --timeout 900 "$@"
}

# libFuzzer comes with clang; its runtime with libclang-rt-dev.
FUZZ_PACKAGES=(clang libclang-rt-dev)

# Each target starts from its seeds in the tree and the corpus earlier runs grew in build-fuzz,
# and adds what it finds to the latter.
fuzz() {
    local seconds=${1:-60} dir=${CORVANE_FUZZ_BUILD_DIR:-build-fuzz}
    case "$seconds" in '' | *[!0-9]*) echo "usage: $0 fuzz [SECONDS]" >&2; exit 2 ;; esac
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    if [ ! -f "$dir/build.ninja" ]; then
        CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON \
            -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF "${launcher[@]}"
    fi
    cmake --build "$dir" --parallel "$(nproc)" --target fuzz_targets
    mkdir -p "$dir/crashes"
    local source target name failed=()
    for source in tests/fuzz/fuzz_*.cpp; do
        target=$(basename "$source" .cpp)
        name=${target#fuzz_}
        mkdir -p "$dir/corpus/$name"
        echo "== $target: $seconds s"
        # -timeout: an input that takes this long is a hang, and fails as a crash does.
        if ! "$dir/tests/fuzz/$target" "$dir/corpus/$name" "tests/fuzz/corpus/$name" \
            -dict="tests/fuzz/$name.dict" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
            -artifact_prefix="$dir/crashes/$name-" -print_final_stats=1; then
            failed+=("$target")
        fi
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "Fuzzing failed in: ${failed[*]} (inputs in $dir/crashes/; run a target on one to see it again)" >&2
        exit 1
    fi
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
    if [ "${1:-}" = --sanitize ]; then
        shift
        PACKAGES+=("${FUZZ_PACKAGES[@]}")
        ensure_packages
        sanitize "$@"
    fi
    ensure_packages
    build
    cd "$BUILD_DIR"
    exec ctest --output-on-failure --parallel "$(nproc)" --timeout 600
    ;;
build)
    ensure_packages
    build
    ;;
fuzz)
    PACKAGES+=("${FUZZ_PACKAGES[@]}")
    ensure_packages
    fuzz "$@"
    ;;
*)
    echo "usage: $0 run [ARGS...] | test [--sanitize [CTEST ARGS...]] | build | fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
