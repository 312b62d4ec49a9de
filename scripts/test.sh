#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests and runs them all
# under CTest. Exits non-zero on any failure. Starts a virtual X server (Xvfb)
# for the window tests when no DISPLAY is set.
#
#   ./scripts/test.sh                 the normal (Release) build
#   ./scripts/test.sh --sanitizer tsan    the suite under ThreadSanitizer
#   ./scripts/test.sh --sanitizer asan    under AddressSanitizer + UBSan
#   ./scripts/test.sh --all           all three, one after another
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
configs=(release)

while [ $# -gt 0 ]; do
    case "$1" in
        --sanitizer)
            case "${2:-}" in
                tsan) configs=(tsan) ;;
                asan) configs=(asan) ;;
                none) configs=(release) ;;
                *) echo "unknown sanitizer '${2:-}' (tsan, asan or none)" >&2; exit 2 ;;
            esac
            shift 2 ;;
        --all) configs=(release tsan asan); shift ;;
        *) echo "unknown option '$1'" >&2; exit 2 ;;
    esac
done

"$root/scripts/deps.sh"

# The editor tests and the screenshots open real windows. Without a display
# (CI has none) they get a virtual X server for the length of this script.
xvfb_pid=""
stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
if [ -z "${DISPLAY:-}" ]; then
    display_file="$(mktemp)"
    # -displayfd picks a free display number and writes it once the server is ready.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
    xvfb_pid=$!
    trap stop_xvfb EXIT
    for _ in $(seq 1 100); do
        [ -s "$display_file" ] && break
        sleep 0.1
    done
    if ! [ -s "$display_file" ]; then
        echo "the virtual X server (Xvfb) did not start" >&2
        exit 1
    fi
    export DISPLAY=":$(tr -d '[:space:]' < "$display_file")"
    rm -f "$display_file"
    echo "Virtual X server on $DISPLAY"
fi
# Precompiled headers are cached too, which needs the two sloppinesses.
export CCACHE_SLOPPINESS=pch_defines,time_macros
# Paths under the checkout's parent are hashed relative, so several checkouts
# side by side share one compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$root")}"
export CCACHE_NOHASHDIR=1
jobs="$(nproc)"

for config in "${configs[@]}"; do
    build="$root/build/test-$config"
    args=(-DKESTRUNE_BUILD_TESTS=ON -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    case "$config" in
        release) args+=(-DCMAKE_BUILD_TYPE=Release) ;;
        tsan)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZER=thread -DKESTRUNE_BUILD_HOST_TESTS=OFF) ;;
        asan)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZER=address -DKESTRUNE_BUILD_HOST_TESTS=OFF) ;;
    esac

    echo "=== $config ==="
    cmake -S "$root" -B "$build" -G Ninja "${args[@]}"
    # The sanitizer builds run the unit tests only: build just those.
    if [ "$config" = release ]; then
        cmake --build "$build" -j "$jobs"
    else
        cmake --build "$build" -j "$jobs" --target kestrune_tests
    fi

    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
    export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 ${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
    # Under a sanitizer the window costs many times its normal time: the
    # in-process open-and-close test there makes 25 cycles instead of 100
    # (the Release build and the host test through the bundle make 100).
    cycles="${KESTRUNE_EDITOR_CYCLES:-100}"
    [ "$config" = release ] || cycles="${KESTRUNE_EDITOR_CYCLES:-25}"
    (cd "$build" && KESTRUNE_EDITOR_CYCLES="$cycles" ctest --output-on-failure -j "$jobs" --timeout 1500)
done
