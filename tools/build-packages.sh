#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage -us -uc -b from a copy of the source tree
# in build-deb/ (TSLAUTH_DEB_DIR names another), where the packages land; checks them with
# lintian (an error fails), looks for each package's main files, and runs the packaged
# tslauth from the unpacked packages. DEB_BUILD_OPTIONS is passed on (nocheck skips the
# test suite inside the package build).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-deps.sh packaging
out=${TSLAUTH_DEB_DIR:-build-deb}
version=$(dpkg-parsechangelog -S Version)
source_dir=$out/tslauth-$version
rm -rf "$out"
mkdir -p "$source_dir"
# The tree as it stands (uncommitted changes included), without build directories and other
# ignored files.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' path; do [ -e "$path" ] && printf '%s\0' "$path"; done |
        tar --null -T - -cf - | tar -xf - -C "$source_dir"
else
    tar --exclude='./build*' -cf - . | tar -xf - -C "$source_dir"
fi
(cd "$source_dir" && dpkg-buildpackage -us -uc -b)

arch=$(dpkg-architecture -q DEB_HOST_ARCH)
changes=$out/tslauth_${version}_$arch.changes
lintian --fail-on error "$changes"

fail() {
    echo "build-packages.sh: $*" >&2
    exit 1
}
multiarch=$(dpkg-architecture -q DEB_HOST_MULTIARCH)
expect() {
    local package=$1
    shift
    local deb=$out/${package}_${version}_$arch.deb
    [ -f "$deb" ] || fail "no package $package"
    local listing
    listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    for path in "$@"; do
        grep -qx "\\./$path" <<<"$listing" || fail "$package does not hold /$path"
    done
}
expect libtslauth1 "usr/lib/$multiarch/libtslauth.so.1" "usr/lib/$multiarch/libtslauth.so.1.0.0"
expect libquorctl1 "usr/lib/$multiarch/libquorctl.so.1"
expect libtslauth-dev "usr/lib/$multiarch/libtslauth.so" "usr/lib/$multiarch/libquorctl.so" \
    "usr/lib/$multiarch/pkgconfig/tslauth.pc" "usr/lib/$multiarch/cmake/tslauth/tslauthConfig.cmake" \
    usr/include/authentication/authentication.h usr/include/tslauth/active_directory_client.h \
    usr/include/hostctl/hostctl.h usr/share/doc/libtslauth-dev/plugins/README.md.gz
expect tslauth usr/bin/tslauth usr/share/man/man1/tslauth.1.gz
expect tslauth-demo usr/libexec/tslauth/lib/libdemodirectory.so \
    usr/libexec/tslauth/lib/libdemoproxy.so usr/share/tslauth/demo/example-directory.conf
expect tslauth-samba usr/libexec/tslauth/lib/libsamba.so usr/libexec/tslauth/lib/tslauth-samba-helper
expect tslauth-qap-client usr/libexec/tslauth/lib/libqapclient.so
expect tslauth-proxyd usr/sbin/tslauth-proxyd lib/systemd/system/tslauth-proxyd.service \
    usr/share/man/man8/tslauth-proxyd.8.gz
# The library writes its PAM lines as /lib/security/$ISA/MODULE, which Debian's libpam tries as
# they stand and then with $ISA replaced by /lib/security; this link makes the first one load.
isa_link=$(dpkg-deb -c "$out/tslauth-samba_${version}_$arch.deb" | awk '$6 == "./usr/lib/security/$ISA" { print $1, $7, $8 }')
[ "$isa_link" = "lrwxrwxrwx -> ../$multiarch/security" ] ||
    fail "tslauth-samba does not link /usr/lib/security/\$ISA to ../$multiarch/security (${isa_link:-no such entry})"

# The packaged command runs from the unpacked packages, with the packaged libraries (its
# help only: nothing of this machine's configuration is read).
root=$out/unpacked
for deb in "$out"/*_"$version"_"$arch".deb; do dpkg-deb -x "$deb" "$root"; done
help=$(LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$root/usr/bin/tslauth" --help) ||
    fail "the packaged tslauth failed"
grep -q "^Usage: tslauth " <<<"$help" || fail "the packaged tslauth printed: $help"
libraries=$(LD_LIBRARY_PATH=$root/usr/lib/$multiarch ldd "$root/usr/bin/tslauth")
grep -q "libtslauth.so.1 => $root/" <<<"$libraries" || fail "tslauth did not use the packaged library"
echo "Packages in $out:"
ls -1 "$out"/*.deb
