#!/usr/bin/env bash
# Builds and runs the whole test suite: as built, under AddressSanitizer with
# UndefinedBehaviorSanitizer (leak detection on), and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps.sh
jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DTSLAUTH_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"
}

echo "== Test suite =="
run_suite build
echo "== Test suite under AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DTSLAUTH_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
echo "== Test suite under ThreadSanitizer =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan -DTSLAUTH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
