#!/usr/bin/env bash
# The directory comparison: joins, a frozen domain and a failover between its two DCs, against
# the command-line joiners that ship with Debian, and joins through the enrolment service, all
# on a throw-away domain (tools/directory-lab.sh).
#
#   bench/directory/compare.sh BUILD_DIRECTORY [ROUNDS] [--enrolment-only] [--failover-only]
#                              [--workers=N]
#
# Joins: the same member host joins ROUNDS times (default 3) with each of `tslauth join`,
# `net ads join` and `adcli join`; between two joins the account is deleted and the host's
# membership removed, untimed. Domain logins with the DC up, frozen, unreachable and back
# (the directory suite's probe, built with the tests). The frozen DC: every DC process stopped (SIGSTOP); then the
# time until `tslauth status --timeout 2` answers, against `wbinfo -t`, `net ads info` and
# `adcli info` (each stopped after 150 s). Failover: the DC a member uses (dc2, its preferred
# DC) frozen while dc1 answers, then dc1 (also the members' first DNS server) frozen: how long
# status, a login of a user never seen before and joins take, against `wbinfo -t`, `net ads
# join` and `adcli join` (each stopped after 150 s); the same with dc2's link down instead. The enrolment service (when tslauth-proxyd and the
# qapclient plug-in are built): a join through it against a credential join of the same host
# into the same container (ROUNDS each, median); the DC's own rate of account creation for the
# service's account and container, asked from the proxy host without the service
# (directory_provision_loop: libnetapi from one process and from 8, with one context or a fresh
# one per account, and with the service's check of the name first in one context as its
# long-lived helpers make it; one helper run per account from one process and from 8; what starting the
# helper costs, and what its domain question costs); and accounts provisioned
# per second through the service with 1, 8, 32 and 128 requests at a time (POST
# /v1/machine-accounts with curl from three members' networks, distinct names; per request p50
# / p99 / max, TLS set-up and every HTTP status), against the best direct rate. All accounts
# are deleted afterwards. --workers=N runs the service with `workers = N` instead of the lab's
# 8. Root only; adcli is installed when missing.
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
only_enrolment=
only_failover=
workers=
args=()
for arg in "$@"; do
    case $arg in
        --enrolment-only) only_enrolment=yes ;;
        --failover-only) only_failover=yes ;;
        --workers=*)
            workers=${arg#--workers=}
            [[ "$workers" =~ ^[1-9][0-9]*$ ]] || { echo "compare: bad $arg" >&2; exit 2; }
            ;;
        *) args+=("$arg") ;;
    esac
done
build=$(readlink -f "${args[0]:?build directory}")
rounds=${args[1]:-3}
lab_sh=$source_dir/tools/directory-lab.sh
tool=$build/cli/tslauth
proxyd=$build/proxy/tslauth-proxyd
qapclient=$build/plugins/qap-client/libqapclient.so

[ "$(id -u)" = 0 ] || { echo "compare: the directory comparison needs root" >&2; exit 1; }
needed=("$tool" "$build/plugins/samba/libsamba.so" "$build/plugins/samba/tslauth-samba-helper"
    "$build/plugins/samba/tslauth-dc-watch")
if [ -n "$only_enrolment" ]; then
    needed+=("$proxyd" "$qapclient" "$build/bench/directory_provision_loop")
elif [ -z "$only_failover" ]; then
    needed+=("$build/bench/directory_cached_queries")
fi
needed+=("$build/tests/directory_probe")
for file in "${needed[@]}"; do
    [ -e "$file" ] || { echo "compare: $file is missing; build first" >&2; exit 1; }
done
up=(--plugin "$build/plugins/samba/libsamba.so" --plugin "$build/plugins/samba/tslauth-samba-helper"
    --plugin "$build/plugins/samba/tslauth-dc-watch")
# The login list's account check, which the PAM file of an active directory names.
[ ! -e "$build/pam/pam_tslauth_permit.so" ] || up+=(--pam-module "$build/pam/pam_tslauth_permit.so")
if [ -e "$proxyd" ] && [ -e "$qapclient" ]; then
    up+=(--proxyd "$proxyd" --plugin "$qapclient")
else
    echo "compare: no enrolment service built ($proxyd, $qapclient); its figures are left out" >&2
fi
if [ -z "$only_enrolment" ] && ! command -v adcli >/dev/null 2>&1; then
    echo "compare: installing adcli" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends adcli >&2 ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq adcli >&2; }
fi

LAB=$("$lab_sh" up "${up[@]}") || exit 1
trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1; "$lab_sh" down "$LAB" >&2' EXIT
# shellcheck source=/dev/null
. "$LAB/lab.env"
on() { "$lab_sh" run "$LAB" "$@"; }
host=m1
account=$(on $host hostname | tr a-z A-Z)
pw_file=$LAB/admin-password
printf '%s\n' "$ADMIN_PASSWORD" >"$pw_file"
chmod 600 "$pw_file"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# timed VAR CMD...: runs CMD, sets VAR to its wall time in ms; fails the run when CMD fails.
timed() {
    local var=$1 t0 rc
    shift
    t0=$(now_ms)
    "$@" >"$LAB/bench.out" 2>&1
    rc=$?
    printf -v "$var" '%s' $(($(now_ms) - t0))
    if [ "$rc" != 0 ]; then
        echo "compare: '$*' failed ($rc):" >&2
        sed 's/^/  /' "$LAB/bench.out" >&2
        exit 1
    fi
}
# Until dc2 holds what dc1 holds for an LDAP filter (at most 15 s): a join may go to either.
replicated() {
    local i one two
    for ((i = 0; i < 60; i++)); do
        one=$(on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" -s sub "$1" dn 2>/dev/null |
            grep '^dn: ' | sort)
        two=$(on dc2 ldbsearch -H "$TARGET_DC2/private/sam.ldb" -b "$BASE_DN" -s sub "$1" dn 2>/dev/null |
            grep '^dn: ' | sort)
        [ "$one" = "$two" ] && return 0
        sleep 0.25
    done
    echo "compare: dc1 and dc2 still disagree on $1" >&2
}
# The account goes and the host's membership with it, whoever made them; so do the services
# a join of ours starts (each join then starts them afresh, as on a host that never joined).
reset_host() {
    on dc samba-tool computer delete "$account" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
    replicated "(sAMAccountName=$account\$)"
    on $host sh -c '/etc/init.d/tslauth-dc-watch stop; /etc/init.d/winbind stop' >/dev/null 2>&1
    on $host sh -c 'rm -f /var/lib/samba/private/secrets.tdb /etc/krb5.keytab
                    rm -f /var/cache/samba/*.tdb /var/lib/samba/*.tdb 2>/dev/null; true'
}
# net and adcli read the member configuration the provider would write for the domain.
member_smb_conf() {
    on $host sh -c "mkdir -p /etc/samba && printf '[global]\n\tworkgroup = $NETBIOS_DOMAIN\n\trealm = $REALM\n\tsecurity = ads\n\tnetbios name = $account\n\tkerberos method = secrets and keytab\n' > /etc/samba/smb.conf"
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

joins_and_frozen_dc() {
    ours=() net=() adcli=()
    for _ in $(seq 1 "$rounds"); do
        reset_host
        timed t on $host "$tool" join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$pw_file"
        ours+=("$t")
        reset_host
        member_smb_conf
        timed t on $host net ads join -U "$ADMIN_USER%$ADMIN_PASSWORD"
        net+=("$t")
        reset_host
        timed t on $host sh -c "adcli join --domain=$DNS_DOMAIN --login-user=$ADMIN_USER --stdin-password < '$pw_file'"
        adcli+=("$t")
    done
    reset_host
    m_ours=$(median "${ours[@]}") m_net=$(median "${net[@]}") m_adcli=$(median "${adcli[@]}")
    faster=$((m_net < m_adcli ? m_net : m_adcli))

    echo "== Join ($rounds rounds each, median; all rounds in ms) =="
    printf '%-16s %6s ms   (%s)\n' "tslauth join" "$m_ours" "${ours[*]}"
    printf '%-16s %6s ms   (%s)\n' "net ads join" "$m_net" "${net[*]}"
    printf '%-16s %6s ms   (%s)\n' "adcli join" "$m_adcli" "${adcli[*]}"
    ratio=$(awk -v a="$m_ours" -v b="$faster" 'BEGIN {printf "%.2f", a / b}')
    verdict=$(awk -v r="$ratio" 'BEGIN {print (r <= 1.0 ? "met" : "missed")}')
    echo "tslauth join / faster of the two: ${ratio}x (goal at most 1.0x: $verdict)"

    # A joined host with winbindd for the frozen DC.
    timed t on $host "$tool" join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$pw_file"
    # The join started winbindd; this returns once it answers.
    "$lab_sh" winbindd-start "$LAB" $host >&2 || exit 1
    on $host "$tool" status --timeout 10 >/dev/null 2>&1
    "$lab_sh" freeze "$LAB" >&2
    echo "== DC frozen: time to the first answer =="
    frozen() {
        local name=$1 t0
        shift
        t0=$(now_ms)
        on $host timeout 150 "$@" >/dev/null 2>&1
        local rc=$?
        printf '%-28s %8s ms  (exit %s%s)\n' "$name" $(($(now_ms) - t0)) "$rc" \
            "$([ "$rc" = 124 ] && echo ', stopped after 150 s')"
    }
    frozen "tslauth status --timeout 2" "$tool" status --timeout 2
    echo "-- one process: first queries, then answers from the cache while the DC stays frozen"
    on $host "$build/bench/directory_cached_queries" 2 1000
    echo "-- the same questions without the library"
    frozen "wbinfo -t" wbinfo -t
    frozen "net ads info" net ads info
    frozen "adcli info" adcli info "$DNS_DOMAIN"
    "$lab_sh" thaw "$LAB" >&2
}

# ---- domain logins during outages --------------------------------------------------------------

# pam_authenticate + pam_acct_mgmt through the PAM file the library writes, as the directory
# suite's probe does them: the DC up; frozen and unreachable, from 5 s after the onset (a user
# who logged in before, one who never did, a local account); and once the DC answers again,
# the time until a user never seen before logs in (not the one tried during the outage: winbindd
# keeps that failed lookup for minutes).
domain_logins() {
    local probe=$build/tests/directory_probe user="$NETBIOS_DOMAIN\\$USER_NAME" kind stop start
    local fresh i r t0 up cached never local_ms back
    if [ ! -x "$probe" ]; then
        echo "compare: $probe is missing (tests not built); the login figures are left out" >&2
        return
    fi
    # The frozen DC above may have sent winbindd offline; the DC watcher switches it back once
    # the DC answers. A trust check passes before winbindd has its connection for logons again
    # (a logon then fails with "no logon servers"): wait for both (at most about 60 s).
    for ((i = 0; i < 120; i++)); do
        on $host wbinfo --ping-dc &>/dev/null &&
            on $host wbinfo --online-status | grep -q "^$NETBIOS_DOMAIN : active connection" && break
        sleep 0.5
    done
    on $host "$tool" activate "Active Directory" >/dev/null || { echo "compare: activate failed" >&2; exit 1; }
    on $host sh -c 'id tsl-local >/dev/null 2>&1 || useradd -M tsl-local; echo "tsl-local:$1" | chpasswd' \
        sh "$USER_PASSWORD"
    login_ms() { # USER: "MS" and, unless it succeeded, what PAM answered
        local t0 r
        t0=$(now_ms)
        r=$(on $host timeout -s KILL 60 "$probe" pam tslauth-probe "$1" "$USER_PASSWORD" 2>/dev/null | head -1)
        printf '%s ms%s' $(($(now_ms) - t0)) "$([ "$r" = "authenticate 0 (Success)" ] || echo " (${r:-killed after 60 s})")"
    }
    echo "== Domain logins (pam_authenticate + pam_acct_mgmt; 3 logins each, in ms) =="
    up=()
    for i in 1 2 3; do up+=("$(login_ms "$user")"); done
    printf '%-40s %s\n' "DC up, $USER_NAME" "$(IFS=,; echo "${up[*]}")"
    for kind in frozen unreachable; do
        stop=freeze start=thaw
        [ $kind = frozen ] || stop=link-down start=link-up
        fresh=b${kind:0:1}$$ later=c${kind:0:1}$$
        for i in "$fresh" "$later"; do
            on dc samba-tool user create "$i" "$USER_PASSWORD" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
        done
        "$lab_sh" $stop "$LAB" 2>/dev/null
        sleep 5
        cached=()
        for i in 1 2 3; do cached+=("$(login_ms "$user")"); done
        never=$(login_ms "$NETBIOS_DOMAIN\\$fresh")
        local_ms=$(login_ms tsl-local)
        "$lab_sh" $start "$LAB" 2>/dev/null
        t0=$(now_ms)
        for ((i = 0; i < 60; i++)); do
            r=$(login_ms "$NETBIOS_DOMAIN\\$later")
            [[ "$r" == *" ms" ]] && break
            sleep 0.5
        done
        back=$(($(now_ms) - t0))
        printf '%-40s %s\n' "DC $kind (5 s in), $USER_NAME (cached)" "$(IFS=,; echo "${cached[*]}")"
        printf '%-40s %s\n' "DC $kind, a user who never logged in" "$never"
        printf '%-40s %s\n' "DC $kind, a local account" "$local_ms"
        printf '%-40s %s\n' "DC back after $kind: a new user logs in" "$back ms after the DC answered (that login $r)"
    done
    on $host "$tool" activate None >/dev/null
}

# ---- the enrolment service ---------------------------------------------------------------------

# The member asks the service through the qapclient plug-in and pins its certificate.
proxy_client() {
    on "$1" sh -c 'cd /etc/ostrel && echo "provider = qapclient" >tslauth/qapprovider.conf.new &&
        mv tslauth/qapprovider.conf.new tslauth/qapprovider.conf &&
        { [ -e tslauth/qapservers.conf ] || : >tslauth/qapservers.conf; } &&
        echo "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1" >hostctl/advanced-options.conf.new &&
        mv hostctl/advanced-options.conf.new hostctl/advanced-options.conf' &&
        on "$1" "$tool" import-certificate "$LAB/proxy-certificate.pem" "$PROXY_IP" >/dev/null
}

# Deletes the computer accounts an LDAP filter matches, in one go on the DC's database.
delete_accounts() {
    local dns
    mapfile -t dns < <(on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" -s sub "$1" dn \
        2>/dev/null | sed -n 's/^dn: //p')
    [ "${#dns[@]}" = 0 ] || on dc env SMB_CONF_PATH="$TARGET/etc/smb.conf" \
        ldbdel -H "$TARGET/private/sam.ldb" "${dns[@]}" >/dev/null
    replicated "$1"
}

# One provisioning request from MEMBER's network for the host NAME, as a host makes it (HTTPS,
# the service's certificate pinned, the client's 90 s deadline): prints "STATUS SECONDS
# TLS-SECONDS", the status 000 when curl gave up. The TLS set-up's time counts from the connection,
# so it includes the wait for a worker, which does the handshake. Without the lab's run command, whose start
# would compete for the cores with the service at 128 requests at a time.
provision() { # MEMBER NAME
    local ns=NS_${1^^}
    nsenter --net="/run/netns/${!ns}" curl -s -o /dev/null \
        -w '%{http_code} %{time_total} %{time_appconnect}\n' --max-time 90 \
        --cacert "$LAB/proxy-certificate.pem" -H 'Content-Type: application/json' \
        -d "{\"host_name\": \"$2.$DNS_DOMAIN\"}" "https://$PROXY_IP:$PROXY_PORT/v1/machine-accounts"
}

# "STATUS SECONDS TLS-SECONDS" lines: per request p50 / p99 / max, the TLS set-up's p50, the
# count of each status; nearest-rank percentiles.
request_figures() {
    local tls
    tls=$(awk '{ print $3 }' "$1" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] * 1000 }')
    sort -k2,2g "$1" | awk -v tls="$tls" '
        { n++; t[n] = $2; code[$1]++ }
        function rank(p) { r = int(p * n); if (r < p * n) r++; return r < 1 ? 1 : r }
        END {
            if (n == 0) { print "no answers"; exit }
            printf "per request p50 %.2f s, p99 %.2f s, max %.2f s; TLS set-up p50 %.0f ms; answers",
                t[rank(0.5)], t[rank(0.99)], t[n], tls
            for (c in code) printf " %s x%d", c, code[c]
            printf "\n"
        }'
}

# Deletes the accounts PREFIX-* and says when some stayed.
delete_prefix() {
    delete_accounts "(sAMAccountName=$1-*)"
    [ -z "$(on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" -s sub \
        "(sAMAccountName=$1-*)" dn 2>/dev/null | sed -n 's/^dn: //p')" ] ||
        echo "compare: accounts $1-* were not all deleted" >&2
}

# The DC's own rate, asked from the proxy host with the service's account, container and
# configuration file (the one the service writes at its start), without the service; each RUN
# is "MODE PROCESSES COUNT". Raises best_direct to the best rate.
direct_rate() { # RUN...
    local loop=$build/bench/directory_provision_loop run mode processes count prefix out rate
    local helper=/usr/libexec/tslauth/lib/tslauth-samba-helper
    local target=("/var/lib/tslauth-proxyd/smb.conf" "$DNS_DOMAIN" "$DC_NAME.$DNS_DOMAIN"
        "OU=$OU_NAME,$BASE_DN")
    for run in "$@"; do
        read -r mode processes count <<<"$run"
        prefix=B${mode:0:1}$processes
        [ "$mode" != direct-fresh ] || prefix=BF$processes
        [ "$mode" != direct-checked ] || prefix=BC$processes
        [[ "$mode" != helper-?* ]] || prefix=BS
        # libnetapi's own prints (its Kerberos tries as the new account) go to a file, shown
        # only when the loop gave no figures.
        out=$(PROVISION_USER=$ENROL_USER PROVISION_PASSWORD=$ENROL_PASSWORD \
            on proxy timeout 300 "$loop" "$mode" "$processes" "${target[@]}" "$prefix" "$count" \
            "$helper" 2>"$LAB/provision-loop.err")
        printf '%s\n' "$out"
        rate=$(sed -n '1s/.*: *\([0-9.]*\) per second.*/\1/p' <<<"$out")
        [ -n "$rate" ] || cat "$LAB/provision-loop.err"
        if [[ "$mode" != helper-?* ]] && [ -n "$rate" ]; then
            best_direct=$(awk -v a="$rate" -v b="$best_direct" 'BEGIN { print (a > b ? a : b) }')
        fi
        [[ "$mode" == helper-?* ]] || delete_prefix "$prefix"
    done
}

enrolment() {
    local container="OU=$OU_NAME,$BASE_DN" proxy=() credentials=() level count i t0 ms created lines
    local figures rate rate32='' p99_128='' unanswered_128=0 server_errors=0 best_direct=0
    "$lab_sh" winbindd-stop "$LAB" $host >&2
    if [ -n "$workers" ]; then
        on proxy sh -c 'umask 077 && sed "s/^workers = .*/workers = $1/" "$2" >"$2.new" &&
                        mv "$2.new" "$2"' sh "$workers" /etc/tslauth-proxyd/proxyd.conf ||
            { echo "compare: cannot set the service's workers" >&2; exit 1; }
    fi
    # The service's default dc-timeout, not the directory suite's short one.
    "$lab_sh" proxy-start "$LAB" 30 >&2 || exit 1
    for i in m1 m2 m3; do
        proxy_client $i || { echo "compare: cannot make $i a client of the service" >&2; exit 1; }
    done
    # Untimed: the service's first domain question fills its cache.
    on $host "$tool" proxy-domain "$PROXY_IP" >/dev/null
    for _ in $(seq 1 "$rounds"); do
        reset_host
        timed t on $host "$tool" join-proxy "$PROXY_IP"
        proxy+=("$t")
        reset_host
        timed t on $host "$tool" join "$DNS_DOMAIN/$container" --user "$ADMIN_USER" \
            --password-file "$pw_file"
        credentials+=("$t")
    done
    reset_host
    echo "== Join through the enrolment service ($rounds rounds each, median; all rounds in ms) =="
    printf '%-36s %6s ms   (%s)\n' "tslauth join-proxy" "$(median "${proxy[@]}")" "${proxy[*]}"
    printf '%-36s %6s ms   (%s)\n' "tslauth join --user (same container)" \
        "$(median "${credentials[@]}")" "${credentials[*]}"

    echo "== The DC's own rate: accounts for $ENROL_USER in OU=$OU_NAME, from the proxy host without the service =="
    direct_rate "direct 1 32" "direct 8 64" "direct-checked 8 64" "direct-fresh 1 16" \
        "direct-fresh 8 64" "helper 1 16" "helper 8 64" "helper-start 1 16" \
        "helper-domain-info 1 16"

    echo "== Accounts provisioned per second through the service (POST /v1/machine-accounts; curl from m1, m2, m3; workers = $(on proxy sed -n 's/^workers = //p' /etc/tslauth-proxyd/proxyd.conf)) =="
    export -f provision
    export LAB PROXY_IP PROXY_PORT DNS_DOMAIN NS_M1 NS_M2 NS_M3
    for level in 1 8 32 128; do
        count=$((level == 1 ? 8 : level * 4 > 64 ? (level > 64 ? level : 64) : level * 4))
        lines=$(wc -l <"$LAB/logs/proxyd.log")
        t0=$(now_ms)
        for ((i = 1; i <= count; i++)); do
            printf 'm%d rate%d-%d\n' $((i % 3 + 1)) "$level" "$i"
        done | xargs -P "$level" -L 1 bash -c 'provision "$@"' provision >"$LAB/bench.out"
        ms=$(($(now_ms) - t0))
        created=$(grep -c '^201 ' "$LAB/bench.out")
        rate=$(awk -v n="$created" -v ms="$ms" 'BEGIN { printf "%.2f", n * 1000 / ms }')
        figures=$(request_figures "$LAB/bench.out")
        printf '%3d at a time: %3d of %3d created in %6d ms: %s per second\n    %s\n' "$level" \
            "$created" "$count" "$ms" "$rate" "$figures"
        server_errors=$((server_errors + $(grep -c '^5' "$LAB/bench.out")))
        [ "$level" != 128 ] || unanswered_128=$(grep -c '^000 ' "$LAB/bench.out")
        [ "$level" != 32 ] || rate32=$rate
        [ "$level" != 128 ] || p99_128=$(sed -n 's/.* p99 \([0-9.]*\) s.*/\1/p' <<<"$figures")
        # What the service said to the others, and the connections it closed at once.
        tail -n "+$((lines + 1))" "$LAB/logs/proxyd.log" | grep -E ' POST |closed at once' |
            grep -v ': 201 status' | sed 's/^[^:]*: /   refused: /'
        delete_prefix "RATE$level"
    done
    "$lab_sh" proxy-stop "$LAB" >&2
    # Again after the service's runs: the machine's load may have changed meanwhile.
    echo "-- the DC's own rate again, after the service's runs"
    direct_rate "direct 8 64" "helper 8 64"

    echo "== The service against the DC's own rate =="
    awk -v s="$rate32" -v d="$best_direct" 'BEGIN {
        r = d > 0 ? 100 * s / d : 0
        printf "32 at a time through the service / best direct rate: %s / %s per second = %.0f%% (target at least 70%%: %s)\n",
            s, d, r, (r >= 70 ? "met" : "missed") }'
    awk -v p="$p99_128" -v u="$unanswered_128" 'BEGIN {
        printf "p99 at 128 at a time: %s s, %d not answered within 90 s (below the client'"'"'s 90 s deadline: %s)\n",
            p, u, (p != "" && p < 90 && u == 0 ? "yes" : "no") }'
    echo "5xx answers in all: $server_errors"
}

# ---- failover between the domain's two DCs ------------------------------------------------------

# The DC that made the account NAME$ (its object class's first writer), from dc1's database.
made_on() {
    local id
    id=$(on dc ldbsearch -H "$TARGET/private/sam.ldb" "(sAMAccountName=$1\$)" replPropertyMetaData \
        --show-binary 2>/dev/null | grep -A4 'DRSUAPI_ATTID_objectClass ' |
        sed -n 's/.*originating_invocation_id: *//p' | head -1)
    on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "CN=Configuration,$BASE_DN" '(objectClass=nTDSDSA)' \
        invocationId 2>/dev/null | awk -v id="${id:-none}" '/^dn: / { split(substr($0, 5), p, ",")
            dsa = tolower(substr(p[2], 4)) } /^invocationId: / && $2 == id { print dsa }'
}

failover() {
    local joiner=m2 name dc2="$DC2_NAME.$DNS_DOMAIN" probe=$build/tests/directory_probe t0 i r
    local fresh="fo$$"
    name=$(on $joiner hostname | tr a-z A-Z)
    # One join of joiner's name, timed (at most 150 s), then undone on the host and the DCs
    # once the DCs answer again: "MS ms (exit N, made on DC)".
    timed_join() {
        local t0 rc
        t0=$(now_ms)
        on $joiner timeout 150 "$@" >"$LAB/bench.out" 2>&1
        rc=$?
        printf '%s ms (exit %s%s)' $(($(now_ms) - t0)) "$rc" "$([ "$rc" != 124 ] || echo ', stopped')"
        # A failure's last words, for the reason.
        [ "$rc" = 0 ] || [ "$rc" = 124 ] || printf ': %s' "$(tail -1 "$LAB/bench.out" | cut -c1-160)"
    }
    undo_join() {
        on $joiner sh -c '/etc/init.d/tslauth-dc-watch stop; /etc/init.d/winbind stop
            rm -f /var/lib/samba/private/secrets.tdb /etc/krb5.keytab /etc/samba/smb.conf
            rm -f /var/cache/samba/*.tdb /var/lib/samba/*.tdb 2>/dev/null; true' >/dev/null 2>&1
    }
    made() { local on_dc && on_dc=$(made_on "$name") && echo "${on_dc:-no account}"; }
    # One of the joiners (net and adcli read the member configuration the provider would write).
    run_join() { # "tslauth join[ --server dc2]" | "net ads join[ -S dc2]" | "adcli join[ -S dc2]"
        local server=()
        local option=${1##* join }
        [[ "$1" != *" dc2" ]] || server=("${option% dc2}" "$dc2")
        case $1 in
            tslauth*) timed_join "$tool" join "$DNS_DOMAIN" "${server[@]}" --user "$ADMIN_USER" \
                --password-file "$pw_file" ;;
            net*) on $joiner sh -c "mkdir -p /etc/samba && printf '[global]\n\tworkgroup = $NETBIOS_DOMAIN\n\trealm = $REALM\n\tsecurity = ads\n\tnetbios name = $name\n' > /etc/samba/smb.conf"
                timed_join net ads join "${server[@]}" -U "$ADMIN_USER%$ADMIN_PASSWORD" ;;
            adcli*) timed_join sh -c "adcli join --domain=$DNS_DOMAIN ${server[*]} --login-user=$ADMIN_USER --stdin-password < '$pw_file'" ;;
        esac
    }
    # Until host's winbindd uses dc2, its preferred DC: winbindd takes the first of the DCs it
    # may use to answer, the preferred one first (at most 5 tries).
    on_dc2() {
        for ((i = 0; i < 5; i++)); do
            timed t on $host "$tool" dcs "$dc2"
            for ((r = 0; r < 30; r++)); do on $host wbinfo -t >/dev/null 2>&1 && break; sleep 1; done
            [[ "$(on $host wbinfo --dc-info="$NETBIOS_DOMAIN")" == "$dc2 "* ]] && break
        done
        echo "$host's winbindd before: $(on $host wbinfo --dc-info="$NETBIOS_DOMAIN")"
    }
    # dc2 has just been lost (LOST: frozen, link down): status, wbinfo -t, a login of NEVER (a
    # user never seen on host), then joins of joiner that name dc2 or no DC.
    after_loss() {
        local lost=$1 never=$2 run
        t0=$(now_ms)
        on $host "$tool" status --json --timeout 5 >"$LAB/bench.out" 2>&1
        r=$?
        printf '%-52s %s ms (exit %s)\n' "tslauth status --timeout 5, first answer" $(($(now_ms) - t0)) "$r"
        for ((i = 0; i < 60; i++)); do
            on $host "$tool" status --json --timeout 5 >"$LAB/bench.out" 2>&1 &&
                grep -q '"trust_state_name": "trusted"' "$LAB/bench.out" && break
            sleep 1
        done
        printf '%-52s %s ms\n' "tslauth status: fresh and trusted again after" $(($(now_ms) - t0))
        t0=$(now_ms)
        on $host timeout 150 wbinfo -t >/dev/null 2>&1
        r=$?
        printf '%-52s %s ms (exit %s)\n' "wbinfo -t" $(($(now_ms) - t0)) "$r"
        t0=$(now_ms)
        for ((i = 0; i < 30; i++)); do
            r=$(on $host timeout -s KILL 60 "$probe" pam tslauth-probe "$NETBIOS_DOMAIN\\$never" \
                "$USER_PASSWORD" 2>/dev/null | head -1)
            [ "$r" = "authenticate 0 (Success)" ] && break
            sleep 1
        done
        printf '%-52s %s ms (%s)\n' "a user never seen before logs in after" $(($(now_ms) - t0)) "$r"
        echo "-- joins of $joiner while dc2 is $lost (the account's maker in brackets)"
        for run in "tslauth join --server dc2" "net ads join -S dc2" "adcli join -S dc2" \
            "tslauth join" "net ads join" "adcli join"; do
            r=$(run_join "$run")
            printf '%-52s %s [%s]\n' "$run" "$r" "$(made)"
            undo_join
            on dc samba-tool computer delete "$name" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
        done
    }
    reset_host
    for i in "$fresh" "${fresh}l"; do
        on dc samba-tool user create "$i" "$USER_PASSWORD" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
        replicated "(sAMAccountName=$i)"
    done
    timed t on $host "$tool" join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$pw_file"
    on $host "$tool" activate "Active Directory" >/dev/null
    echo "== Failover: $host uses dc2 (its preferred DC), which is frozen; dc1 answers, also DNS =="
    on_dc2
    "$lab_sh" freeze "$LAB" dc2 >&2
    after_loss frozen "$fresh"
    "$lab_sh" thaw "$LAB" >&2
    replicated "(sAMAccountName=$name\$)"
    echo "== Failover: $host uses dc2 again, whose link goes down; dc1 answers, also DNS =="
    on_dc2
    "$lab_sh" link-down "$LAB" dc2 >&2
    after_loss "unreachable (link down)" "${fresh}l"
    "$lab_sh" link-up "$LAB" >&2
    replicated "(sAMAccountName=$name\$)"
    on $host "$tool" dcs --clear >/dev/null 2>&1
    on $host "$tool" activate None >/dev/null
    echo "== Failover: dc1 frozen, which is also the members' first DNS server =="
    "$lab_sh" freeze "$LAB" dc >&2
    for run in "tslauth join" "net ads join" "adcli join"; do
        r=$(run_join "$run")
        # dc1 is frozen: the maker is read once it answers again.
        printf '%-52s %s\n' "$run" "$r"
        undo_join
        on dc2 samba-tool computer delete "$name" -H "ldap://$dc2" -U "$ADMIN_USER%$ADMIN_PASSWORD" \
            >/dev/null 2>&1
    done
    "$lab_sh" thaw "$LAB" >&2
    on dc samba-tool computer delete "$name" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
    replicated "(sAMAccountName=$name\$)"
    reset_host
}

[ -n "$only_enrolment" ] || [ -n "$only_failover" ] || { joins_and_frozen_dc && domain_logins; }
[ -n "$only_enrolment" ] || failover
[ -n "$only_failover" ] || [ ! -x "$LAB/proxy/tslauth-proxyd" ] || enrolment
