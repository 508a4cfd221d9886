#!/usr/bin/env bash
# Builds the library, the tslauth tool and the plug-ins, then takes a guided tour of the tool
# in a private sandbox (tools/tour.sh): nothing on this host changes.
#
#   tools/run.sh                  the tour against the demo directory
#   tools/run.sh --real-domain    the same walk against a real Samba domain controller,
#                                 provisioned afresh in network namespaces (tools/tour-directory.sh;
#                                 root only)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps.sh
cmake -S . -B build -G Ninja -DTSLAUTH_WERROR=ON >/dev/null
cmake --build build
echo
build/tools/tslauth --help
if [ "${1:-}" = --real-domain ]; then
    exec tools/tour-directory.sh build
fi
tools/tour.sh build
