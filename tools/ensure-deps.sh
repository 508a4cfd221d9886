#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: ensure-deps.sh [i386] [packaging]
#   i386       also what the 32-bit build needs (g++-multilib, the i386 -dev packages)
#   packaging  also what building the Debian packages needs (debhelper, lintian)
set -euo pipefail
# openssl makes the tour's proxy certificate (tools/tour.sh); groff-base renders the manual
# page in its test; clang-14 and its runtime libraries build and run the fuzz targets
# (tools/fuzz.sh).
packages=(g++ cmake ninja-build pkg-config libboost-dev libssl-dev libgtest-dev iproute2 util-linux
          openssl groff-base clang-14 libclang-rt-14-dev)
foreign_architecture=
for group in "$@"; do
    case $group in
    i386)
        foreign_architecture=i386
        packages+=(g++-multilib libssl-dev:i386 libgtest-dev:i386)
        ;;
    packaging) packages+=(build-essential debhelper dpkg-dev lintian) ;;
    *)
        echo "ensure-deps.sh: unknown group '$group'" >&2
        exit 2
        ;;
    esac
done
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "Packages are missing and this is not root: install them first: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$foreign_architecture" ] &&
        ! dpkg --print-foreign-architectures | grep -qx "$foreign_architecture"; then
        dpkg --add-architecture "$foreign_architecture"
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
