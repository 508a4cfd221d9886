#!/usr/bin/env bash
# Builds and runs the whole test suite: as built, under AddressSanitizer with
# UndefinedBehaviorSanitizer (leak detection on), under ThreadSanitizer, and built for 32-bit
# x86 (-m32); then runs every fuzz target for a minute (tools/fuzz.sh) and builds and checks
# the Debian packages (tools/build-packages.sh). The build directories are build, build-asan,
# build-tsan, build-i386, build-fuzz and build-deb; TSLAUTH_BUILD_DIR, TSLAUTH_FUZZ_BUILD_DIR
# and TSLAUTH_DEB_DIR name others. With --quick it builds and runs the plain suite only: the
# loop for development.
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

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DTSLAUTH_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"
}

echo "== Test suite =="
run_suite "$base"
if [ "$quick" = yes ]; then exit 0; fi
echo "== Test suite under AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "$base-asan" -DTSLAUTH_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
echo "== Test suite under ThreadSanitizer =="
# The suppressions file says which reports it leaves out, and why.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan-suppressions.txt \
    run_suite "$base-tsan" -DTSLAUTH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
echo "== Test suite built for 32-bit x86 (-m32) =="
tools/enable-i386.sh
run_suite "$base-i386" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386-linux-gnu.cmake"
echo "== Fuzzing =="
tools/fuzz.sh 60
echo "== Debian packages =="
# The suite has run on this tree above; the package build does not run it again.
DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" tools/build-packages.sh
echo "== All stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s =="
