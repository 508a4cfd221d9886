#!/bin/sh
# Runs a test program as an unprivileged user, so that the sandbox's user-namespace path is
# exercised too. Run as a non-root user it simply runs the program.
program=$(readlink -f "$1")
shift
if [ "$(id -u)" != 0 ]; then
    exec "$program" "$@"
fi
if ! command -v setpriv >/dev/null 2>&1; then
    echo "setpriv is not installed; cannot drop privileges" >&2
    exit 77
fi
run() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
if ! run test -x "$program"; then
    echo "user 65534 cannot reach $program (a parent directory is private); not run" >&2
    exit 77
fi
cd / && HOME=/ TMPDIR=/tmp run "$program" "$@"
