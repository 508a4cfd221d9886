#!/usr/bin/env bash
# A guided tour of the tslauth command against a real Active Directory domain: a Samba domain
# controller and a member host, each in network, mount and UTS namespaces of its own
# (tools/directory-lab.sh). The domain is provisioned afresh and torn down at the end, also
# when a step fails; nothing on the real host changes. Needs root and the Samba packages.
#
# usage: tools/tour-directory.sh [BUILD_DIR]   (default: build; it must hold the built tool and
#                                               the Samba provider plug-in)
# TSLAUTH_LAB_MULTIARCH names the architecture of a build for another one (i386-linux-gnu).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build}")
lab_sh=$root/tools/directory-lab.sh

tslauth=$build/cli/tslauth
plugins=("$build/plugins/samba/libsamba.so" "$build/plugins/samba/tslauth-samba-helper"
    "$build/plugins/samba/tslauth-dc-watch")
for file in "$tslauth" "${plugins[@]}"; do
    [ -e "$file" ] || {
        echo "tour-directory: $file is missing; build first" >&2
        exit 1
    }
done
if [ "$(id -u)" != 0 ]; then
    echo "tour-directory: the domain controller and the member need root (namespaces, overlays)" >&2
    exit 77
fi

# --- The lab ------------------------------------------------------------------------------------
echo "Provisioning a domain controller and a member host (about 10 s)..."
up=()
for file in "${plugins[@]}"; do up+=(--plugin "$file"); done
# The PAM and NSS modules of the architecture the tool was built for, when not the machine's.
[ -z "${TSLAUTH_LAB_MULTIARCH:-}" ] || up+=(--multiarch "$TSLAUTH_LAB_MULTIARCH")
status=0
lab=$("$lab_sh" up "${up[@]}") || status=$?
[ "$status" = 0 ] || exit "$status"
trap '"$lab_sh" down "$lab" 2>/dev/null || echo "tour-directory: the lab in $lab was not removed cleanly" >&2' EXIT
trap 'exit 130' INT TERM HUP
# shellcheck source=/dev/null
. "$lab/lab.env"
password_file=$lab/admin-password
printf '%s\n' "$ADMIN_PASSWORD" >"$password_file"
chmod 0600 "$password_file"

# --- The tour -----------------------------------------------------------------------------------
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$1" "$plain"; }
failures=0
# run STATUS ARGS...: runs tslauth on the member host, shows the command and its output; a
# status other than the expected one fails the tour.
run() {
    local expected=$1 status=0
    shift
    printf '[%s]$ tslauth' "$HOSTNAME_M1"
    printf ' %q' "$@"
    printf '\n'
    "$lab_sh" run "$lab" m1 "$tslauth" "$@" || status=$?
    [ "$status" = 0 ] || printf '(exit status %s)\n' "$status"
    if [ "$status" != "$expected" ]; then
        echo "tour-directory: expected exit status $expected" >&2
        failures=$((failures + 1))
    fi
}
# What the DC's own database says about the member's computer account.
account_on_dc() {
    local dn
    dn=$("$lab_sh" run "$lab" dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" \
        "(sAMAccountName=${HOSTNAME_M1^^}\$)" dn 2>/dev/null | sed -n 's/^dn: //p')
    echo "The domain controller's database: ${dn:-no computer account ${HOSTNAME_M1^^}\$}"
}

echo
echo "Domain $DNS_DOMAIN ($NETBIOS_DOMAIN) on $DC_NAME.$DNS_DOMAIN ($DC_IP); member host $HOSTNAME_M1"
echo "($IP_M1). The administrator's password is in $password_file."

step "The registered stores; '*' marks the active one"
run 0 stores
step "What a join would check, changing nothing"
run 0 preflight "$DNS_DOMAIN"
step "Join the domain with an account allowed to add computers"
run 0 join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$password_file"
account_on_dc
echo "(The join enabled and started winbindd through the host's init scripts.)"
step "What activating Active Directory would change in the PAM file (nothing is written)"
run 0 pam preview
step "Activate Active Directory, then show the PAM policy"
run 0 activate "Active Directory"
run 0 pam show
step "The host's membership"
run 0 status
run 0 status --json
step "A second join is refused: the host is already joined (exit status 9)"
run 9 join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$password_file"
step "The domain controller stops answering: the queries wait 2 s, then answer from the cache"
echo "(A new process has nothing cached yet, so the answers are empty; the exit status is 5.)"
"$lab_sh" freeze "$lab" 2>/dev/null
run 5 status --timeout 2
"$lab_sh" thaw "$lab" 2>/dev/null
step "Leave, deleting the computer account, and switch back to \"None\""
run 0 leave --user "$ADMIN_USER" --password-file "$password_file"
account_on_dc
run 0 activate None
run 0 stores
run 0 pam show
echo
if [ "$failures" != 0 ]; then
    echo "tour-directory: $failures step(s) did not end as expected" >&2
    exit 1
fi
echo "Tour finished; the domain and the member host go away now."
