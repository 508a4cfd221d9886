#!/usr/bin/env bash
# Builds the library, the tslauth tool and the demo directory's plug-ins, then takes a guided
# tour of the tool in a private sandbox (tools/tour.sh): nothing on this host changes.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps.sh
cmake -S . -B build -G Ninja -DTSLAUTH_WERROR=ON >/dev/null
cmake --build build
echo
build/tools/tslauth --help
tools/tour.sh build
