#!/usr/bin/env bash
# Builds the library and the tslauth tool, then shows what the tool offers and the stores the
# library registers.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps.sh
cmake -S . -B build -G Ninja -DTSLAUTH_WERROR=ON >/dev/null
cmake --build build
echo
build/tools/tslauth --help
echo
echo "Registered authentication stores:"
build/tools/tslauth stores
