#!/usr/bin/env bash
# A guided tour of the tslauth command against the demo directory, run in the tests' private
# host (sandbox-run, tests/support/private_host.h): private mount, UTS and network namespaces
# (and a user namespace when not root), with /etc and /usr/libexec overlaid on a private
# tmpfs. Nothing on the real host changes.
#
# usage: tools/tour.sh [BUILD_DIR]   (default: build; it must hold the built tool and plug-ins)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build}")

tslauth=$build/cli/tslauth
demo=$build/plugins/demo
sandbox_run=$build/tests/support/sandbox-run
for file in "$tslauth" "$demo/libdemodirectory.so" "$demo/libdemoproxy.so" "$sandbox_run"; do
    [ -e "$file" ] || { echo "tour: $file is missing; build first" >&2; exit 1; }
done
if [ "${2:-}" != --inside-sandbox ]; then
    exec "$sandbox_run" --host tour-host -- bash "$root/tools/tour.sh" "$build" --inside-sandbox
fi

# --- The private host: a management interface, the demo directory's files ---------------------
scratch=$SANDBOX_SCRATCH
mkdir -p /etc/ostrel/hostctl
ip link add tmgmt0 type veth peer name tmgmt1
ip addr add 192.0.2.10/24 dev tmgmt0
ip link set tmgmt0 up
echo tmgmt0 >/etc/ostrel/hostctl/management-interface
# Name resolution from the hosts file only (the private host's resolver answers nothing).
printf '192.0.2.10\ttour-host.corp.example tour-host\n192.0.2.20\tcorp.example\n' >>/etc/hosts

install -m 0755 "$demo/libdemodirectory.so" "$demo/libdemoproxy.so" /usr/libexec/tslauth/lib/
conf=/etc/ostrel/tslauth
echo 'provider = demodirectory' >$conf/provider.conf
echo 'provider = demoproxy' >$conf/qapprovider.conf
echo 'remote-authentication-store = None' >$conf/authentication.conf
: >$conf/qapservers.conf
echo 'UserVars.ActiveDirectoryVerifyQAPCertificate = int:1' >/etc/ostrel/hostctl/advanced-options.conf
install -m 0600 "$root/plugins/demo/example-directory.conf" $conf/demo-directory.conf
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=192.0.2.1 -days 365 \
    -keyout $conf/demo-proxy.key -out $conf/demo-proxy.pem 2>/dev/null
cat >/etc/pam.d/system-auth-generic <<'PAM'
auth        required      /lib/security/$ISA/pam_env.so
auth        sufficient    /lib/security/$ISA/pam_unix.so likeauth nullok
auth        required      /lib/security/$ISA/pam_deny.so
account     required      /lib/security/$ISA/pam_unix.so
account     required      /lib/security/$ISA/pam_access.so
password    required      /lib/security/$ISA/pam_unix.so nullok use_authtok md5 shadow
session     required      /lib/security/$ISA/pam_limits.so
session     required      /lib/security/$ISA/pam_unix.so
PAM
printf 'Demo-Passw0rd\n' >"$scratch/password"
chmod 0600 "$scratch/password"

# --- The tour --------------------------------------------------------------------------------
export PATH=$build/cli:$PATH
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$1" "$plain"; }
failures=0
# run STATUS COMMAND...: shows the command and its output; a status other than the expected
# one fails the tour.
run() {
    local expected=$1 status=0
    shift
    printf '$'
    printf ' %q' "$@"
    printf '\n'
    "$@" || status=$?
    [ "$status" = 0 ] || printf '(exit status %s)\n' "$status"
    if [ "$status" != "$expected" ]; then
        echo "tour: expected exit status $expected" >&2
        failures=$((failures + 1))
    fi
}
directory() { sed -i "s/^unresponsive = .*/unresponsive = $1/" $conf/demo-directory.conf; }

echo "A sandboxed host \"tour-host\" (management address 192.0.2.10) and the demo directory"
echo "(domain corp.example, account administrator; proxy 192.0.2.1) from"
echo "plugins/demo/example-directory.conf. The password is in $scratch/password."

step "The registered stores; '*' marks the active one"
run 0 tslauth stores
step "What a join would check, changing nothing"
run 0 tslauth preflight corp.example
step "Join the domain with an account allowed to add computers"
run 0 tslauth join corp.example --user administrator --password-file "$scratch/password"
step "What activating Active Directory would change in the PAM file (nothing is written)"
run 0 tslauth pam preview
step "Activate Active Directory, then show the PAM policy"
run 0 tslauth activate "Active Directory"
run 0 tslauth pam show
step "The host's membership"
run 0 tslauth status
run 0 tslauth status --json
step "A second join is refused: the host is already joined (exit status 9)"
run 9 tslauth join corp.example --user administrator --password-file "$scratch/password"
step "Leave, deleting the computer account"
run 0 tslauth leave --user administrator --password-file "$scratch/password"
step "Join through the authentication proxy: trust its certificate, then join"
run 0 tslauth proxy-domain 192.0.2.1
run 0 tslauth import-certificate $conf/demo-proxy.pem 192.0.2.1
run 0 tslauth join-proxy 192.0.2.1
run 0 tslauth status --timeout 5
step "The directory stops answering: each query waits 2 s, then the store answers from its cache"
echo "(A new process has nothing cached yet: each field says it got no answer; the exit status is 5.)"
directory yes
run 5 tslauth status --timeout 2
directory no
step "Leave and switch back to \"None\""
run 0 tslauth leave
run 0 tslauth activate None
run 0 tslauth stores
run 0 tslauth pam show
echo
if [ "$failures" != 0 ]; then
    echo "tour: $failures step(s) did not end as expected" >&2
    exit 1
fi
echo "Tour finished; the sandbox goes away with this process."
