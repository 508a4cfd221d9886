#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, coverage over the whole library) and runs every target for a
# bounded time, starting from its seed corpus under tests/fuzz/corpus.
#
#   tools/fuzz.sh [SECONDS]    seconds per target, default 60; 0 only builds
#
# New inputs collect in <build>/corpus/<target>, findings in <build>/artifacts, logs in
# <build>/logs. The build directory is build-fuzz unless TSLAUTH_FUZZ_BUILD_DIR names another.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${TSLAUTH_FUZZ_BUILD_DIR:-build-fuzz}
tools/ensure-deps.sh

# Each target's sources compile as one unit (CMake's unity build): the run waits for the build.
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DTSLAUTH_WERROR=ON \
    -DTSLAUTH_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_UNITY_BUILD=ON \
    -DTSLAUTH_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzzers
[ "$seconds" -gt 0 ] || exit 0

# target:dictionary
targets=(pam_policy_fuzzer:pam nss_configuration_fuzzer:nss configuration_fuzzer:configuration)
mkdir -p "$dir/logs" "$dir/artifacts"

run_target() {
    local target=${1%%:*} dictionary=${1#*:}
    mkdir -p "$dir/corpus/$target"
    local rc=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$dir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -dict="tests/fuzz/$dictionary.dict" \
        -artifact_prefix="$dir/artifacts/$target-" \
        "$dir/corpus/$target" "tests/fuzz/corpus/$target" >"$dir/logs/$target.log" 2>&1 || rc=$?
    echo "$rc" >"$dir/logs/$target.rc"
}

echo "Fuzzing ${#targets[@]} targets for $seconds seconds each"
for target_and_dictionary in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
    run_target "$target_and_dictionary" &
done
wait

failed=0
for target_and_dictionary in "${targets[@]}"; do
    target=${target_and_dictionary%%:*}
    log="$dir/logs/$target.log"
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 || true)
    corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 || true)
    rc=$(cat "$dir/logs/$target.rc")
    printf '%-28s executions: %-10s %s  %s  %s  exit: %s\n' "$target" "${executions:-?}" \
        "$coverage" "$features" "$corpus" "$rc"
    if [ "$rc" != 0 ]; then
        failed=1
        tail -n 40 "$log" >&2
    fi
done
exit "$failed"
