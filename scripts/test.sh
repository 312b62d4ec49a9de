#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests and runs them all
# under CTest. Exits non-zero on any failure.
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
export CCACHE_SLOPPINESS=time_macros
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
    cmake --build "$build" -j "$jobs"

    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
    export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 ${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
    (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 900)
done
