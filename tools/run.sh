#!/usr/bin/env bash
# Builds what the tour runs (the library, the tslauth tool, libquorctl and the demo directory's
# plug-ins; with --real-domain also the Samba provider), showing one progress line and the full
# build log only when the build fails, then takes a guided tour of the tool in a private
# sandbox (tools/tour.sh): the tour itself changes nothing on this host.
#
#   tools/run.sh                  the tour against the demo directory
#   tools/run.sh --real-domain    the same walk against a real Samba domain controller,
#                                 provisioned afresh in network namespaces (tools/tour-directory.sh;
#                                 root only)
#
# What it changes on this host first (tools/ensure-deps.sh, root): it installs the Debian
# packages the build and the tour need with apt-get when any is missing (among them a Samba
# domain controller and winbind); it then keeps the samba, winbind and related services
# disabled, and takes winbind out of /etc/nsswitch.conf and the PAM stack (pam-auth-update)
# where their installation put it. The build goes to build/.
set -euo pipefail
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
    exit 0
fi
cd "$(dirname "$0")/.."
real_domain=no
[ "${1:-}" = --real-domain ] && real_domain=yes
tools/ensure-deps.sh

# Only what the tour runs: the library, the command (with libquorctl), the demo directory's
# plug-ins and the private host it runs in; the real domain's tour adds the Samba provider.
targets=(tslauth-cli demodirectory demoproxy sandbox-run)
[ "$real_domain" = no ] || targets+=(samba tslauth-samba-helper)
mkdir -p build
log=build/run-build.log
: >"$log"
status=0
cmake -S . -B build -G Ninja -DTSLAUTH_WERROR=ON >>"$log" 2>&1 || status=$?
if [ "$status" = 0 ]; then
    [ -t 1 ] || echo "Building the tour's programs..."
    # One progress line while it builds; the whole log only when the build fails.
    NINJA_STATUS='[%f/%t] ' cmake --build build --target "${targets[@]}" 2>&1 | tee -a "$log" |
        while IFS= read -r line; do
            [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
            if [ -t 1 ]; then
                printf '\rBuilding the tour: %s of %s steps' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
            fi
        done
    status=${PIPESTATUS[0]}
    if [ -t 1 ]; then printf '\r\033[K'; fi
fi
if [ "$status" != 0 ]; then
    cat "$log" >&2
    echo "run: the build failed (log: $log)" >&2
    exit "$status"
fi
echo "Built the tour's programs (log: $log)."
echo
build/cli/tslauth --help
if [ "$real_domain" = yes ]; then
    exec tools/tour-directory.sh build
fi
tools/tour.sh build
