#!/usr/bin/env bash
# Builds the library, the tslauth tool and the plug-ins, then takes a guided tour of the tool
# in a private sandbox (tools/tour.sh): the tour itself changes nothing on this host.
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
tools/ensure-deps.sh
cmake -S . -B build -G Ninja -DTSLAUTH_WERROR=ON >/dev/null
cmake --build build
echo
build/cli/tslauth --help
if [ "${1:-}" = --real-domain ]; then
    exec tools/tour-directory.sh build
fi
tools/tour.sh build
