#!/bin/sh
# Runs a test program as an unprivileged user, so that the sandbox's user-namespace path is
# exercised too; run by a non-root user it simply runs the program.
program=$(readlink -f "$1")
shift
[ "$(id -u)" = 0 ] || exec "$program" "$@"
command -v setpriv >/dev/null 2>&1 || { echo "setpriv is not installed; not run" >&2; exit 77; }
run() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
if ! run test -x "$program"; then
    echo "user 65534 cannot reach $program (a parent directory is private); not run" >&2
    exit 77
fi
cd / && HOME=/ TMPDIR=/tmp run "$program" "$@"
