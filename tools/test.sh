#!/usr/bin/env bash
# Builds and runs the whole test suite: as built; under AddressSanitizer with
# UndefinedBehaviorSanitizer (leak detection on); the threaded tests (ctest labels "threaded"
# and "directory") under ThreadSanitizer; and everything built for 32-bit x86 (-m32), running
# the tests that need no domain controller. The suite runs as an unprivileged user too (label
# "unprivileged"), in the first stage only. Each build's tests start in the background as soon
# as it is built and run beside the later builds and the other runs (at most two directory
# suites at once); the run waits for them all at its end and then shows their output.
# It also runs every fuzz target for 20 s (tools/fuzz.sh) and builds and checks the Debian
# packages (tools/build-packages.sh). Each stage and each run ends with a line giving its
# elapsed time. The build directories are build, build-asan, build-tsan, build-i386, build-fuzz
# and build-deb; TSLAUTH_BUILD_DIR, TSLAUTH_FUZZ_BUILD_DIR and TSLAUTH_DEB_DIR name others. With
# --quick it builds and runs the plain suite only: the loop for development.
#
# What it changes on this host (root): it installs the Debian packages it needs with apt-get
# when any is missing (tools/ensure-deps.sh, which also adds the i386 architecture to dpkg for
# the 32-bit libraries, keeps the samba and winbind services disabled and takes winbind out of
# /etc/nsswitch.conf and the PAM stack where their installation put it); where the kernel does
# not run 32-bit programs, tools/enable-i386.sh installs qemu-user-static and registers its
# i386 emulator through binfmt_misc until the machine restarts.
set -euo pipefail
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
    exit 0
fi
cd "$(dirname "$0")/.."
quick=no
[ "${1:-}" = --quick ] && quick=yes
if [ "$quick" = yes ]; then tools/ensure-deps.sh; else tools/ensure-deps.sh i386 packaging; fi
jobs=$(nproc)
base=${TSLAUTH_BUILD_DIR:-build}

# stage NAME COMMAND...: runs one stage and says how long it took.
stage() {
    local name=$1 start=$SECONDS
    shift
    echo "== $name =="
    "$@"
    echo "== $name: $((SECONDS - start)) s =="
}

# The tests mostly wait (hangs, time-outs, children, the domain controllers of the directory
# suite): each build's tests run in the background as soon as it is built, beside the next
# builds and the other runs, and the run waits for them all at its end. At most two directory
# suites run at once, each lab holding one of two locks of this run in turn (plain, ASan, then
# TSan after plain): their cases mostly wait for the DCs' time-outs. Builds and unit tests run
# at the lowest priority once a directory suite runs, so that its timed cases keep the cores
# they need.
suite_locks=("$(mktemp)" "$(mktemp)")
suites_started=0
jobs_started=()
job_logs=()
directory_running=no
# wait_jobs: waits for every run started, shows their logs in the order they started and fails
# if any failed.
wait_jobs() {
    local i rc=0 status
    for i in "${!jobs_started[@]}"; do
        status=0
        wait "${jobs_started[$i]}" || status=$?
        cat "${job_logs[$i]}"
        [ "$status" = 0 ] || rc=$status
    done
    jobs_started=()
    job_logs=()
    return "$rc"
}
trap 'wait_jobs || true; rm -f "${suite_locks[@]}"' EXIT
lower() { if [ "$directory_running" = yes ]; then nice -n 19 "$@"; else "$@"; fi; }
in_background() { # TITLE LOG COMMAND...: runs the command in the background, its output to LOG
    local title=$1 log=$2
    shift 2
    (
        start=$SECONDS
        echo "== $title (run in the background) =="
        "$@"
        echo "== $title: $((SECONDS - start)) s =="
    ) >"$log" 2>&1 &
    jobs_started+=($!)
    job_logs+=("$log")
}

# run_suite DIR TARGET SELECTION DIRECTORY [CMAKE-OPTION...]: configures DIR, builds TARGET (all,
# or the threaded tests), then starts the directory suite with the ctest options DIRECTORY
# (unless that is "no"; suite_lock is then the lock its lab takes) and the tests the ctest
# options SELECTION pick, in the background.
run_suite() {
    local dir=$1 target=$2 selection=$3 directory=$4
    shift 4
    cmake -S . -B "$dir" -G Ninja -DTSLAUTH_WERROR=ON "$@" >/dev/null
    lower cmake --build "$dir" -j "$jobs" --target "$target"
    if [ "$directory" != no ]; then
        suite_lock=${suite_locks[$((suites_started++ % 2))]}
        # The lab's processes do not inherit the lock (-o).
        # shellcheck disable=SC2086 # option lists
        in_background "The directory suite of $dir" "$dir/directory-suite.log" \
            flock -o "$suite_lock" ctest --test-dir "$dir" --output-on-failure --no-tests=ignore \
            -L directory $directory
        directory_running=yes
    fi
    # Twice as many tests at once as there are cores: most of them wait.
    # shellcheck disable=SC2086
    in_background "The tests of $dir" "$dir/test-suite.log" \
        lower ctest --test-dir "$dir" --output-on-failure --no-tests=error -j $((2 * jobs)) $selection
}

# The first build compiles each file on its own, which checks that each stands alone; the
# later ones compile each target's sources as one unit (a unity build): the run's length
# depends on how much there is to compile.
# The whole run takes the second tour later (below).
plain_directory="-E directory.tour"
[ "$quick" = no ] || plain_directory=""
stage "Test suite" run_suite "$base" all "-LE directory" "$plain_directory" -DCMAKE_UNITY_BUILD=OFF
if [ "$quick" = yes ]; then
    wait_jobs
    exit 0
fi
# The sanitizers' suites come before the 32-bit one: their directory suites are the longest runs.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    stage "Test suite under AddressSanitizer + UndefinedBehaviorSanitizer" \
    run_suite "$base-asan" all "-LE directory|unprivileged" "-E directory.tour" \
    -DTSLAUTH_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DCMAKE_UNITY_BUILD=ON
# The second tour (directory.tour, in a lab of its own) shows the README's command; the
# directory suite's cases cover what it runs, so it runs for the first build only, after the ASan
# build's suite: the TSan build's suite, which waits for the first build's, starts sooner.
in_background "The second tour of $base" "$base/directory-tour.log" \
    flock -o "$suite_lock" ctest --test-dir "$base" --output-on-failure --no-tests=ignore \
    -R '^directory\.tour$'
# The suppressions file says which reports it leaves out, and why. The join interrupted by its
# DC's freeze waits up to two minutes for the join helper, which is built without the thread
# checker (a process of one thread): the other cases cover the threads of that build.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan-suppressions.txt \
    stage "Threaded tests under ThreadSanitizer" \
    run_suite "$base-tsan" threaded_tests "-L threaded" "-E directory.(tour|interrupted-join)" \
    -DTSLAUTH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DCMAKE_UNITY_BUILD=ON
tools/enable-i386.sh
stage "Test suite built for 32-bit x86 (-m32)" \
    run_suite "$base-i386" all "-LE directory|unprivileged" no \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386-linux-gnu.cmake" -DCMAKE_UNITY_BUILD=ON
stage "Fuzzing" lower tools/fuzz.sh 20
# The suite has run on this tree above; the package build does not run it again.
DEB_BUILD_OPTIONS="nocheck parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
    stage "Debian packages" lower tools/build-packages.sh
stage "The tests run in the background" wait_jobs
echo "== All stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s =="
