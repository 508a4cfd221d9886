#!/usr/bin/env bash
# The directory suite: tslauth and its Samba provider against a real domain controller in the
# lab of tools/directory-lab.sh. ctest runs every case as an entry of its own, in order, with
# "up" and "down" as the fixture around them.
#
# usage: cases.sh up LAB-OPTIONS...   builds the lab (options of "directory-lab.sh up")
#        cases.sh down
#        cases.sh CASE                preflight join join-refused join-ou status pam frozen-dc leave
#                                     proxy-join proxy-refusals proxy-load
# environment: DIRECTORY_LAB_POINTER  file that names the running lab's directory
#              TSLAUTH_TOOL           the built tslauth command
#              DIRECTORY_PROBE        the built directory_probe
#
# A case that needs a host joined (or winbindd running) makes it so first, so that every case
# also runs on its own (ctest -R).
set -uo pipefail

here=$(dirname "$(readlink -f "$0")")
lab_sh=$here/../../tools/directory-lab.sh
pointer=${DIRECTORY_LAB_POINTER:?}

failures=0
note() { printf '%s\n' "$*"; }
bad() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}

# expect WHAT EXPECTED ACTUAL: exact comparison, shown as a diff when it fails.
expect() {
    if [ "$2" == "$3" ]; then
        note "ok: $1"
    else
        bad "$1"
        diff -u <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed '1,2d; s/^/    /'
    fi
}

on() { "$lab_sh" run "$LAB" "$@"; }

# tool HOST ARGS...: runs the tslauth command on a member; sets out, err, status and elapsed
# (ms). HOST "m3:hv02" is a fresh host named hv02 on m3's network (directory-lab.sh run-as).
tool() {
    local host=$1 start errors runner
    shift
    if [[ $host == *:* ]]; then
        runner=("$lab_sh" run-as "$LAB" "${host%%:*}" "${host#*:}")
    else
        runner=(on "$host")
    fi
    start=$(date +%s%N)
    errors=$(mktemp "$LAB/tool-stderr.XXXXXX")
    out=$("${runner[@]}" "$TSLAUTH_TOOL" "$@" 2>"$errors")
    status=$?
    elapsed=$((($(date +%s%N) - start) / 1000000))
    err=$(cat "$errors")
    rm -f "$errors"
    printf '$ [%s] tslauth %s  (exit %s, %d ms)\n' "$host" "$*" "$status" "$elapsed"
    [ -z "$out" ] || printf '%s\n' "$out" | sed 's/^/  | /'
    [ -z "$err" ] || printf '%s\n' "$err" | sed 's/^/  ! /'
}

# check WHAT STATUS TEXT HOST ARGS...: runs tslauth on HOST; the exit status, then the output
# (status 0) or the message (any other status), exactly.
check() {
    local what=$1 want=$2 text=$3
    shift 3
    tool "$@"
    expect "$what: exit status" "$want" "$status"
    if [ "$want" = 0 ]; then
        expect "$what: output" "$text" "$out"
    else
        expect "$what: message" "$text" "$err"
    fi
}

probe() {
    local host=$1
    shift
    on "$host" "$DIRECTORY_PROBE" "$@"
}

# dc_search FILTER ATTRIBUTE...: the DC's own database, continuation lines joined.
dc_search() {
    local filter=$1
    shift
    on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" -s sub "$filter" "$@" 2>/dev/null |
        awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
             END { if (line != "") print line }'
}
dc_attribute() { dc_search "(sAMAccountName=$1\$)" "$2" | sed -n "s/^$2: //p"; } # NAME ATTRIBUTE
# The computer account NAME$: "DN uac=N", or "absent".
dc_account() {
    local found
    found=$(dc_search "(sAMAccountName=$1\$)" dn userAccountControl)
    if ! grep -q '^dn: ' <<<"$found"; then
        echo absent
        return
    fi
    printf '%s uac=%s\n' "$(sed -n 's/^dn: //p' <<<"$found")" \
        "$(sed -n 's/^userAccountControl: //p' <<<"$found")"
}

hostname_of() { eval echo "\$HOSTNAME_${1^^}"; }
netbios_of() { hostname_of "$1" | tr a-z A-Z; }

joined() { on "$1" net ads testjoin >/dev/null 2>&1; }
winbindd_up() { "$lab_sh" winbindd-start "$LAB" "$1"; }
winbindd_down() { "$lab_sh" winbindd-stop "$LAB" "$1"; }

# Joins HOST (into CONTAINER when given) unless it is joined already, then starts winbindd.
ensure_joined() {
    local host=$1 domain=$DNS_DOMAIN
    [ -z "${2:-}" ] || domain="$DNS_DOMAIN/$2"
    if ! joined "$host"; then
        tool "$host" join "$domain" --user "$ADMIN_USER" --password-file "$admin_password"
        [ "$status" = 0 ] || {
            bad "could not join $host"
            finish
        }
    fi
    winbindd_up "$host" || {
        bad "winbindd does not start on $host"
        finish
    }
}

ensure_left() {
    local host=$1
    joined "$host" || return 0
    winbindd_down "$host"
    tool "$host" leave --user "$ADMIN_USER" --password-file "$admin_password"
}

finish() {
    if [ "$failures" = 0 ]; then
        note "passed"
        exit 0
    fi
    note "$failures check(s) failed"
    exit 1
}

# ---- the cases ---------------------------------------------------------------------------------

case_preflight() {
    # The domain check goes through the DC's DNS: the members resolve nothing else.
    check preflight 0 "pass  host name resolves: hv01 resolves to hv01.corp.example
pass  short name matches the resolved name: short name hv01, resolved name hv01.corp.example
pass  host name is not reserved: short name hv01
pass  fully qualified name is the expected one: fully qualified name hv01.corp.example, expected hv01.corp.example
pass  domain resolves: corp.example
pass  short name fits a computer account name: hv01 (4 characters, at most 15)" m1 preflight "$DNS_DOMAIN"
}

# What a join leaves on the member: smb.conf settings, the keytab, a trust winbindd accepts.
check_member_joined() {
    local host=$1 name parameter value
    name=$(netbios_of "$host")
    for parameter in "workgroup=$NETBIOS_DOMAIN" "realm=$REALM" "security=ADS" "netbios name=$name"; do
        value=$(on "$host" testparm -s --parameter-name="${parameter%%=*}" 2>/dev/null)
        expect "$host smb.conf: ${parameter%%=*}" "${parameter#*=}" "$value"
    done
    value=$(on "$host" klist -k /etc/krb5.keytab 2>/dev/null | awk 'NR > 3 { print $2 }' | sort -u |
        grep -c -x -e "host/$name@$REALM" -e "$name\$@$REALM")
    expect "$host keytab holds host/$name and $name\$" 2 "$value"
    winbindd_up "$host" || bad "winbindd on $host does not accept the trust"
}

case_join() {
    ensure_left m1
    expect "no account for HV01 before the join" absent "$(dc_account HV01)"
    check join 0 "Joined $DNS_DOMAIN." m1 join "$DNS_DOMAIN" --user "$ADMIN_USER" \
        --password-file "$admin_password"
    # 4096: an enabled workstation trust account.
    expect "the DC has the account in the default container" \
        "CN=HV01,CN=Computers,$BASE_DN uac=4096" "$(dc_account HV01)"
    check_member_joined m1
}

case_join_refused() {
    local before expected
    ensure_joined m1
    # Joined already: refused before the directory is touched; the account keeps its password
    # (a fresh join would reset it and break this host's trust).
    before=$(dc_attribute HV01 pwdLastSet)
    check "second join" 4 "tslauth: Exception 0x00000a83: This machine is already joined to a domain." \
        m1 join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$admin_password"
    expect "the account's password was not reset" "$before" "$(dc_attribute HV01 pwdLastSet)"
    on m1 wbinfo -t >/dev/null 2>&1 || bad "m1's trust broke"

    # In one process, so that any pause would be recorded, not waited for. A wrong password is
    # tried once: retries would count against the domain's lockout policy.
    ensure_left m2
    [ -f "$LAB/wrong-password" ] || printf 'not-%s\n' "$ADMIN_PASSWORD" >"$LAB/wrong-password"
    expected="threw ostrel::authentication::LogonFailureException: Exception 0x0000052e: The attempted logon is invalid. This is due to either a bad user name or authentication information.
pauses: none"
    expect "wrong password: one attempt, no pause" "$expected" \
        "$(probe m2 join "$DNS_DOMAIN" "$ADMIN_USER" "$LAB/wrong-password")"
    expected="threw ostrel::authentication::NoSuchDomainException: Exception 0x0000054b: The specified domain either does not exist or could not be contacted.
pauses: none"
    expect "unknown domain: one attempt" "$expected" \
        "$(probe m2 join nosuch.example "$ADMIN_USER" "$admin_password")"
    expect "no account was left behind for HV02" absent "$(dc_account HV02)"
}

case_join_ou() {
    ensure_left m2
    check "join into $OU_NAME" 0 "Joined $DNS_DOMAIN/OU=$OU_NAME,$BASE_DN." \
        m2 join "$DNS_DOMAIN/OU=$OU_NAME,$BASE_DN" --user "$ADMIN_USER" --password-file "$admin_password"
    expect "the DC has the account in $OU_NAME" "CN=HV02,OU=$OU_NAME,$BASE_DN uac=4096" \
        "$(dc_account HV02)"
    check_member_joined m2
}

status_json() { # HOST DN
    printf '{"active_store": "None", "domain": {"dns_name": "%s", "netbios_name": "%s"}, "machine_account": "%s", "preferred_controllers": [], "trust_state": 1, "trust_state_name": "trusted", "trusted_domains": [], "answers": {"configuration": {"source": "fresh"}, "trusted_domains": {"source": "fresh"}, "trust_state": {"source": "fresh"}}, "timed_out": []}' \
        "$DNS_DOMAIN" "$NETBIOS_DOMAIN" "$2"
}

case_status() {
    ensure_joined m1
    ensure_joined m2 "OU=$OU_NAME,$BASE_DN"
    # Trust state 1: trusted. No other domain exists in this lab (that takes a second DC and a
    # trust between the two), so the trusted domains stay empty.
    check "m1 status" 0 "$(status_json m1 "CN=HV01,CN=Computers,$BASE_DN")" m1 status --json
    check "m2 status" 0 "$(status_json m2 "CN=HV02,OU=$OU_NAME,$BASE_DN")" m2 status --json
    # The lookups the store forwards: no "\\" before the DC's name, the principal of the
    # computer account, a user name in the form PAM gets it back.
    expect "m1 lookups" "domain controller: $DC_NAME.$DNS_DOMAIN
host principal: HV01\$@$REALM
canonical name of $USER_NAME: $NETBIOS_DOMAIN\\$USER_NAME" "$(probe m1 lookups "$DNS_DOMAIN" "$USER_NAME")"
    # Loaded, asked from threads at once and unloaded three times: the same answers, and
    # nothing of the plug-in left in the process.
    expect "m1 reload" "$DNS_DOMAIN $NETBIOS_DOMAIN CN=HV01,CN=Computers,$BASE_DN trust 1 trusts 0
every answer the same; plug-in unloaded" "$(probe m1 reload 3)"
}

# The policy as the library writes it: stacks in the order account, auth, password, session.
pam_policy() { # with-winbind|without
    local winbind=''
    [ "$1" = without ] || winbind=$'sufficient\t/lib/security/$ISA/pam_winbind.so\ttry_first_pass '
    printf '#%%PAM-1.0\n\n'
    printf 'account\trequired\t/lib/security/$ISA/pam_unix.so\t\n'
    printf 'account\trequired\t/lib/security/$ISA/pam_access.so\t\n'
    [ -z "$winbind" ] || printf 'account\t%s\n' "$winbind"
    printf '\n'
    printf 'auth\trequired\t/lib/security/$ISA/pam_env.so\t\n'
    [ -z "$winbind" ] || printf 'auth\t%s\n' "$winbind"
    printf 'auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok \n'
    printf 'auth\trequired\t/lib/security/$ISA/pam_deny.so\t\n\n'
    printf 'password\trequired\t/lib/security/$ISA/pam_unix.so\tnullok use_authtok md5 shadow \n\n'
    printf 'session\trequired\t/lib/security/$ISA/pam_limits.so\t\n'
    printf 'session\trequired\t/lib/security/$ISA/pam_unix.so\t\n\n'
}

case_pam() {
    local user="$NETBIOS_DOMAIN\\$USER_NAME" granted denied
    ensure_joined m1
    # The fixture is written the way the library writes policies, so that switching back to
    # "None" must give back the very same bytes.
    on m1 sh -c 'cat >/etc/pam.d/system-auth-generic.new && mv /etc/pam.d/system-auth-generic.new /etc/pam.d/system-auth-generic' \
        < <(pam_policy without)
    granted="authenticate 0 (Success)
account 0 (Success)
user $user"
    denied="authenticate 7 (Authentication failure)"

    check activate 0 "Active store: Active Directory" m1 activate "Active Directory"
    expect "PAM file with pam_winbind" "$(pam_policy with-winbind | cat -A)" \
        "$(on m1 cat -A /etc/pam.d/system-auth-generic)"
    expect "authentication.conf" 'remote-authentication-store = "Active Directory"' \
        "$(on m1 cat /etc/ostrel/tslauth/authentication.conf)"
    expect "$user, right password" "$granted" "$(probe m1 pam tslauth-probe "$user" "$USER_PASSWORD" 2>/dev/null)"
    expect "$user, wrong password" "$denied" \
        "$(probe m1 pam tslauth-probe "$user" "not-$USER_PASSWORD" 2>/dev/null)"

    check "activate None" 0 "Active store: None" m1 activate None
    expect "PAM file as it was" "$(pam_policy without | cat -A)" \
        "$(on m1 cat -A /etc/pam.d/system-auth-generic)"
    expect "$user, right password, store None" "$denied" \
        "$(probe m1 pam tslauth-probe "$user" "$USER_PASSWORD" 2>/dev/null)"
}

case_frozen_dc() {
    local start elapsed
    ensure_joined m1
    # Whatever happens below, the DC runs again when this case ends.
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1' EXIT
    "$lab_sh" freeze "$LAB"
    start=$(date +%s%N)
    tool m1 status --timeout 2
    elapsed=$((($(date +%s%N) - start) / 1000000))
    "$lab_sh" thaw "$LAB"
    expect "status exit status with the DC frozen (timed out)" 5 "$status"
    # The queries wait side by side: one time-out for the lot, plus starting the command.
    note "status took $elapsed ms"
    # A new process has nothing cached: what the DC cannot answer is shown empty. The trusted
    # domains come from winbindd without the DC.
    expect "status with the DC frozen" "Active store:          None
Domain:                (not joined)
Machine account:       (none)
Preferred controllers: (none)
Trust state:           2 (no answer in time)
Trusted domains:       (none)
Note: no answer to the configuration query within 2 s; shown is what this process had cached (nothing before its first answer).
Note: no answer to the trust state query within 2 s; shown is what this process had cached (nothing before its first answer)." "$out"
    [ "$elapsed" -ge 2000 ] && [ "$elapsed" -le 3500 ] || bad "status should answer within about 2 s"
    on m1 timeout 90 wbinfo -t >/dev/null 2>&1 || bad "m1 does not recover after the thaw"

    # In one process: a 2 s store; the freeze and thaw come from the probe's own calls.
    probe m1 frozen-dc 2 "CN=HV01,CN=Computers,$BASE_DN" 1 "$lab_sh freeze $LAB" "$lab_sh thaw $LAB" ||
        bad "frozen-dc probe"
}

case_leave() {
    ensure_joined m1
    ensure_joined m2 "OU=$OU_NAME,$BASE_DN"

    # Without credentials: the host forgets the domain, the DC keeps the account.
    winbindd_down m1
    check leave 0 "Left the domain." m1 leave
    expect "the account is kept" "CN=HV01,CN=Computers,$BASE_DN uac=4096" "$(dc_account HV01)"
    joined m1 && bad "m1 still counts as joined"
    check "second leave" 4 "tslauth: Exception 0x00000a84: This machine is not currently joined to a domain." \
        m1 leave
    # The kept account refuses a new join of the same name instead of being taken over.
    check "join over a kept account" 4 "tslauth: Exception 0x00000524: The specified account already exists." \
        m1 join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$admin_password"

    # With credentials: the account goes too.
    winbindd_down m2
    check "leave with credentials" 0 "Left the domain." \
        m2 leave --user "$ADMIN_USER" --password-file "$admin_password"
    expect "the account is deleted" absent "$(dc_account HV02)"
    joined m2 && bad "m2 still counts as joined"
}

# ---- joins through the enrolment service (tslauth-proxyd on the proxy host) -------------------

proxy_up() { # [DC-TIMEOUT]
    "$lab_sh" proxy-start "$LAB" "${1:-}"
    case $? in
        0) ;;
        77)
            note "skipped: this lab runs no enrolment service"
            exit 77
            ;;
        *)
            bad "tslauth-proxyd does not start"
            finish
            ;;
    esac
}

log_lines() { wc -l <"$LAB/logs/proxyd.log"; }
# The service's request lines after line N, from the peer address on: "ADDRESS METHOD PATH host
# NAME: HTTP-STATUS status N", without the message that may follow.
requests_since() {
    tail -n "+$(($1 + 1))" "$LAB/logs/proxyd.log" |
        sed -n 's/^.*: \([0-9.]* [A-Z]* \/[^ ]* host [^ ]*: [0-9]* status [0-9]*\).*$/\1/p'
}

# The member asks the service through the qapclient plug-in with certificate verification on,
# pinning the thumbprint of CERTIFICATE (default: the service's own).
proxy_client() { # HOST [CERTIFICATE]
    local host=$1 certificate=${2:-$LAB/proxy-certificate.pem}
    on "$host" sh -c 'cd /etc/ostrel &&
        echo "provider = qapclient" >tslauth/qapprovider.conf.new &&
        mv tslauth/qapprovider.conf.new tslauth/qapprovider.conf &&
        { [ -e tslauth/qapservers.conf ] || : >tslauth/qapservers.conf; } &&
        echo "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1" >hostctl/advanced-options.conf.new &&
        mv hostctl/advanced-options.conf.new hostctl/advanced-options.conf' ||
        bad "cannot configure the proxy client on $host"
    tool "$host" import-certificate "$certificate" "$PROXY_IP"
    [ "$status" = 0 ] || bad "$host: import-certificate"
}

# Deletes the computer accounts FILTER matches (an LDAP filter), in one go.
dc_delete_accounts() {
    local dns
    mapfile -t dns < <(dc_search "$1" dn | sed -n 's/^dn: //p')
    [ "${#dns[@]}" = 0 ] ||
        on dc env SMB_CONF_PATH="$TARGET/etc/smb.conf" ldbdel -H "$TARGET/private/sam.ldb" \
            "${dns[@]}" >/dev/null ||
        bad "cannot delete ${dns[*]}"
}

# Nothing of a join on HOST: no secrets, no smb.conf, no keytab.
never_joined() {
    on "$1" sh -c 'ls /var/lib/samba/private/secrets.tdb /etc/samba/smb.conf /etc/krb5.keytab 2>/dev/null'
}

# The processes in the proxy host's network namespace besides the service (its helpers).
proxy_helpers() {
    local p service
    service=$(cat "$LAB/pids/proxyd" 2>/dev/null)
    for p in $(find /proc/[0-9]*/ns/net -maxdepth 0 -lname "net:\[$NETINODE_PROXY\]" 2>/dev/null |
        cut -d/ -f3); do
        [ "$p" = "$service" ] || cat "/proc/$p/comm" 2>/dev/null
    done
}

case_proxy_join() {
    local dn="CN=HV02,OU=$OU_NAME,$BASE_DN" lines user="$NETBIOS_DOMAIN\\$USER_NAME"
    proxy_up
    ensure_left m2
    dc_delete_accounts "(sAMAccountName=HV02\$)"
    proxy_client m2

    tool m2 proxy-domain "$PROXY_IP"
    expect "proxy-domain" "$DNS_DOMAIN" "$out"
    lines=$(log_lines)
    # No credentials: the member holds none, and the service's account makes the computer.
    check join-proxy 0 "Joined through the authentication proxy $PROXY_IP." m2 join-proxy "$PROXY_IP"
    expect "the service answered the domain question once and created one account" \
        "$IP_M2 GET /v1/domain host -: 200 status 0
$IP_M2 POST /v1/machine-accounts host hv02.$DNS_DOMAIN: 201 status 0" "$(requests_since "$lines")"
    # The DNS host name comes from the service's own smb.conf for the domain.
    expect "the DC has the account in $OU_NAME, named in the domain" \
        "$dn uac=4096 dNSHostName=hv02.$DNS_DOMAIN" \
        "$(dc_account HV02) dNSHostName=$(dc_attribute HV02 dNSHostName)"
    check_member_joined m2
    check "status after the join through the service" 0 "$(status_json m2 "$dn")" m2 status --json

    check activate 0 "Active store: Active Directory" m2 activate "Active Directory"
    expect "$user logs in on m2" "authenticate 0 (Success)
account 0 (Success)
user $user" "$(probe m2 pam tslauth-probe "$user" "$USER_PASSWORD" 2>/dev/null)"
    check "activate None" 0 "Active store: None" m2 activate None
}

case_proxy_refusals() {
    local lines before timeout_ms=$((PROXY_DC_TIMEOUT * 1000))
    proxy_up
    dc_delete_accounts "(|(sAMAccountName=HV03\$)(sAMAccountName=HV04\$))"

    # A pinned thumbprint of another certificate: the handshake fails before any request.
    [ -f "$LAB/other-certificate.pem" ] ||
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj "/CN=$PROXY_IP" -keyout "$LAB/other-certificate.key" \
            -out "$LAB/other-certificate.pem" 2>/dev/null
    proxy_client m3 "$LAB/other-certificate.pem"
    lines=$(log_lines)
    check "another certificate" 4 "tslauth: The QAP server's certificate cannot be verified." \
        m3 join-proxy "$PROXY_IP"
    expect "another certificate: no request reached the service" "" "$(requests_since "$lines")"

    # An address the service does not serve.
    proxy_client m4
    lines=$(log_lines)
    check "address not allowed" 4 "tslauth: Exception 0x00000005: Access is denied." \
        m4 join-proxy "$PROXY_IP"
    expect "address not allowed: refused at the first request" \
        "$IP_M4 GET /v1/domain host -: 403 status 5" "$(requests_since "$lines")"

    # A name another joined host holds: refused, and that host's trust stays good.
    joined m2 || ensure_joined m2 "OU=$OU_NAME,$BASE_DN"
    winbindd_up m2 || bad "winbindd on m2"
    proxy_client m3
    before=$(dc_attribute HV02 pwdLastSet)
    lines=$(log_lines)
    check "name taken" 4 "tslauth: Exception 0x00000524: The specified account already exists." \
        m3:hv02 join-proxy "$PROXY_IP"
    expect "name taken: refused by the service" \
        "$IP_M3 POST /v1/machine-accounts host hv02.$DNS_DOMAIN: 409 status 1316" \
        "$(requests_since "$lines" | grep POST)"
    expect "name taken: the account's password was not reset" "$before" "$(dc_attribute HV02 pwdLastSet)"
    on m2 wbinfo -t >/dev/null 2>&1 || bad "name taken: m2's trust broke"

    # The service stopped: refused at once, not after the client's 10 s connect bound.
    "$lab_sh" proxy-stop "$LAB"
    check "service down" 4 \
        "tslauth: Exception 0x000004c9: The remote computer refused the network connection." \
        m3 join-proxy "$PROXY_IP"
    [ "$elapsed" -lt 10000 ] || bad "service down: should be refused within the connect bound"

    # The DC frozen behind the service: the service's dc-timeout, then a time-out status. The
    # domain question is answered first, so that the account request is the one that waits.
    proxy_up
    tool m3 proxy-domain "$PROXY_IP"
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1' EXIT
    "$lab_sh" freeze "$LAB"
    lines=$(log_lines)
    tool m3 join-proxy "$PROXY_IP"
    local frozen_status=$status frozen_err=$err frozen_elapsed=$elapsed
    # The provisioning runs on after the answer; until it has ended and what it made is
    # deleted, the name is not handed out again.
    tool m3 join-proxy "$PROXY_IP"
    expect "DC frozen: the name is held while its provisioning runs on" \
        "4 tslauth: Exception 0x00000524: The specified account already exists." "$status $err"
    "$lab_sh" thaw "$LAB"
    status=$frozen_status err=$frozen_err elapsed=$frozen_elapsed
    expect "DC frozen: exit status (timed out)" 5 "$status"
    expect "DC frozen: message" "tslauth: Exception 0x0000274c: A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond." "$err"
    expect "DC frozen: the service timed the request out, then refused the name" \
        "$IP_M3 POST /v1/machine-accounts host hv03.$DNS_DOMAIN: 504 status 10060
$IP_M3 POST /v1/machine-accounts host hv03.$DNS_DOMAIN: 409 status 1316" \
        "$(requests_since "$lines" | grep POST)"
    note "join-proxy with the DC frozen took $elapsed ms (dc-timeout ${PROXY_DC_TIMEOUT} s)"
    [ "$elapsed" -ge "$timeout_ms" ] && [ "$elapsed" -le $((timeout_ms + 2500)) ] ||
        bad "DC frozen: should answer within about ${PROXY_DC_TIMEOUT} s"
    # Once the DC runs again the late provisioning ends (bounded by the service), and an
    # account it made is deleted.
    local i
    for ((i = 0; i < 900; i++)); do
        tail -n "+$((lines + 1))" "$LAB/logs/proxyd.log" | grep -q 'HV03\$: ' &&
            [ -z "$(proxy_helpers)" ] && break
        sleep 0.1
    done
    [ "$i" -lt 900 ] || bad "DC frozen: the late provisioning of HV03 did not end within 90 s"
    note "after the thaw: $(tail -n "+$((lines + 1))" "$LAB/logs/proxyd.log" | grep -o 'HV03\$: .*')"

    # Nothing half done: no account on the DC, nothing of a join on the hosts.
    expect "no account for HV03 or HV04" "absent absent" "$(dc_account HV03) $(dc_account HV04)"
    expect "m3 and m4 never joined" "" "$(never_joined m3; never_joined m4)"
}

# Enrolments of LOAD_COUNT host names, LOAD_PARALLEL at a time, from short-lived hosts on m1..m3.
LOAD_COUNT=50
LOAD_PARALLEL=8

# One enrolment (the join reads the keytab's key versions over LDAP as the new machine, so a
# join that succeeds has been checked with the DC). Prints "NAME exit STATUS".
enrol_one() { # MEMBER NAME
    local rc
    "$lab_sh" run-as "$LAB" "$1" "$2" "$TSLAUTH_TOOL" join-proxy "$PROXY_IP" \
        >"$LAB/load/$2.log" 2>&1
    rc=$?
    echo "$2 exit $rc"
}

case_proxy_load() {
    local pid rss_before rss_after start seconds names expected i host lines sanitized=''
    # The service's default dc-timeout: eight provisionings at once keep the DC busy for longer
    # than the lab's short one.
    proxy_up 30
    for host in m1 m2 m3; do proxy_client "$host" >/dev/null; done
    dc_delete_accounts "(sAMAccountName=LOAD*)"
    rm -rf "$LAB/load" && mkdir -p "$LAB/load"
    pid=$(cat "$LAB/pids/proxyd")
    rss_before=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    lines=$(log_lines)

    start=$(date +%s%N)
    export -f enrol_one
    export lab_sh LAB TSLAUTH_TOOL PROXY_IP
    for ((i = 1; i <= LOAD_COUNT; i++)); do
        printf 'm%d load%02d\n' $((i % 3 + 1)) "$i"
    done | xargs -P "$LOAD_PARALLEL" -L 1 bash -c 'enrol_one "$@"' enrol | sort >"$LAB/load/results"
    seconds=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
    rss_after=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")

    expected=$(for ((i = 1; i <= LOAD_COUNT; i++)); do printf 'load%02d exit 0\n' "$i"; done)
    expect "$LOAD_COUNT enrolments joined" "$expected" \
        "$(cat "$LAB/load/results")"
    grep -q ' exit 0$' "$LAB/load/results" ||
        sed -n '1,20p' "$LAB/load/"*.log | sed 's/^/    /'
    names=$(for ((i = 1; i <= LOAD_COUNT; i++)); do
        printf 'CN=LOAD%02d,OU=%s,%s uac=4096\n' "$i" "$OU_NAME" "$BASE_DN"
    done)
    expect "each account exists once, in $OU_NAME" "$names" \
        "$(dc_search '(sAMAccountName=LOAD*)' userAccountControl |
            awk '/^dn: / { dn = substr($0, 5) } /^userAccountControl: / { print dn " uac=" $2 }' |
            sort)"
    expect "the service created each account once" \
        "$(for ((i = 1; i <= LOAD_COUNT; i++)); do printf 'load%02d 201\n' "$i"; done)" \
        "$(requests_since "$lines" | grep POST |
            sed -n "s/^.* host \(load[0-9]*\)\.$DNS_DOMAIN: \([0-9]*\) .*/\1 \2/p" | sort)"

    note "$LOAD_COUNT enrolments, $LOAD_PARALLEL at a time: $seconds s"
    note "tslauth-proxyd VmRSS: $rss_before kB before, $rss_after kB after"
    # The sanitizers' runtimes keep freed memory on purpose: no bound applies there.
    grep -q -e libasan -e libtsan "/proc/$pid/maps" && sanitized=yes
    if [ -z "$sanitized" ] && [ "$rss_after" -gt $((rss_before + 16384)) ]; then
        bad "the service grew by more than 16 MiB over $LOAD_COUNT enrolments"
    fi
}

# ---- main --------------------------------------------------------------------------------------

lab_up() {
    local stale lab rc
    if [ -f "$pointer" ]; then
        # A run that was killed before its cleanup left this lab behind.
        stale=$(cat "$pointer")
        note "removing the lab a previous run left: $stale"
        "$lab_sh" down "$stale"
        rm -f "$pointer"
    fi
    lab=$("$lab_sh" up "$@")
    rc=$?
    [ $rc = 0 ] || exit $rc
    printf '%s\n' "$lab" >"$pointer.new" && mv "$pointer.new" "$pointer"
    # shellcheck source=/dev/null
    . "$lab/lab.env"
    printf '%s\n' "$ADMIN_PASSWORD" >"$LAB/admin-password"
    chmod 0600 "$LAB/admin-password"
}

lab_down() {
    [ -f "$pointer" ] || exit 0
    "$lab_sh" down "$(cat "$pointer")"
    rc=$?
    rm -f "$pointer"
    exit $rc
}

case ${1:-} in
    up)
        shift
        lab_up "$@"
        exit 0
        ;;
    down) lab_down ;;
    preflight | join | join-refused | join-ou | status | pam | frozen-dc | leave | proxy-join | \
        proxy-refusals | proxy-load) ;;
    *)
        sed -n '2,19p' "$0" >&2
        exit 2
        ;;
esac
if [ ! -f "$pointer" ]; then
    note "skipped: no lab is running (its setup was skipped)"
    exit 77
fi
. "$(cat "$pointer")/lab.env"
admin_password=$LAB/admin-password
: "${TSLAUTH_TOOL:?}" "${DIRECTORY_PROBE:?}"
"case_${1//-/_}"
finish
