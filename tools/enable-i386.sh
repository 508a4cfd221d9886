#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 programs, which the 32-bit build's tests are.
# A 64-bit kernel usually runs them itself. Where it does not (a kernel built or booted
# without 32-bit emulation, as in some virtual machines), the programs are handed to QEMU's
# user-mode emulator through binfmt_misc, registered here; that needs root and changes how
# this machine starts 32-bit programs until it restarts.
set -euo pipefail
probe_dir=$(mktemp -d "${TMPDIR:-/tmp}/tslauth-i386.XXXXXX")
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' >"$probe_dir/probe.c"
gcc -m32 -o "$probe_dir/probe" "$probe_dir/probe.c"
if "$probe_dir/probe" 2>/dev/null; then
    exit 0
fi

echo "This kernel does not run 32-bit programs; registering QEMU's user-mode emulator for them."
if [ "$(id -u)" != 0 ]; then
    echo "enable-i386.sh: only root can register the emulator" >&2
    exit 1
fi
if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
    # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386). "F" opens the
    # emulator now, so it is found from inside other mount namespaces too.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s\n' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$binfmt/register"
elif ! grep -qx enabled "$binfmt/qemu-i386"; then
    echo 1 >"$binfmt/qemu-i386"
fi
if ! "$probe_dir/probe"; then
    echo "enable-i386.sh: 32-bit programs still do not run" >&2
    exit 1
fi
