#!/usr/bin/env bash
# A throw-away Active Directory domain for the directory tests and tools/tour-directory.sh.
#
#   dc   198.18.0.1   dc1.corp.example  Samba AD DC (its own DNS, KDC and LDAP), provisioned afresh
#   dc2  198.18.0.2   dc2.corp.example  the domain's second DC, joined with Samba's own tools and
#                                       replicating with dc1 both ways
#   ldc  198.18.0.3   ldc1.lab.example  the DC of a second forest, LAB.EXAMPLE, with a two-way
#                                       forest trust to CORP.EXAMPLE
#   m1   198.18.0.11  hv01              member hosts; each has its own /etc, /usr/lib and
#   m2   198.18.0.12  hv02              /usr/libexec overlays and private Samba directories
#   m3   198.18.0.13  hv03
#   m4   198.18.0.20  hv04              outside the subnet the enrolment service serves
#   proxy 198.18.0.5  proxy1            the enrolment service (tslauth-proxyd) with its
#                                       certificate, configuration and state directory
#
# Every host has network, mount and UTS namespaces of its own. Every host's link ends on a
# bridge in a network namespace of its own, so nothing of the lab shows in the machine's own
# network namespace; there is no default route. dc1 and dc2 forward names they do not hold to
# ldc, which forwards nothing: names in neither forest get no answer from anywhere else.
# Everything lives in a private tmpfs under ${TMPDIR:-/tmp}, and every process is stopped by
# its PID.
#
# usage: directory-lab.sh up [--plugin FILE]... [--pam-module FILE]... [--proxyd FILE]
#                           [--multiarch TRIPLET]
#                                         builds a lab and prints its directory (LAB); the files
#                                         go into the members' and the proxy's
#                                         /usr/libexec/tslauth/lib, the PAM modules are the
#                                         TRIPLET's (default: the machine's) and those given
#                                         with --pam-module; --proxyd is the
#                                         enrolment service the proxy host runs; with
#                                         tslauth-dc-watch among the files, the members get
#                                         its init script too;
#                                         exits 77 when namespaces or overlays cannot be made here
#        directory-lab.sh down LAB
#                                         stops everything, unmounts, removes the namespaces
#        directory-lab.sh run LAB HOST CMD...
#                                         runs CMD in a host's namespaces (HOST: dc, dc2, ldc,
#                                         m1..m4, proxy)
#        directory-lab.sh run-as LAB HOST NAME CMD...
#                                         runs CMD on a member's network as a fresh host NAME:
#                                         private mount and UTS namespaces, an /etc of its own
#                                         over the member's, empty Samba state and /run;
#                                         gone with CMD, with what CMD started there
#        directory-lab.sh proxy-start LAB [DC-TIMEOUT] | proxy-stop LAB
#                                         starts tslauth-proxyd on the proxy host (its stderr
#                                         goes to LAB/logs/proxyd.log; returns once it listens),
#                                         again when it runs with another dc-timeout (default 5)
#                                         / stops it by its PID
#        directory-lab.sh winbindd-start LAB HOST
#                                         starts winbindd in a member; returns once wbinfo -t works
#        directory-lab.sh winbindd-stop LAB HOST
#                                         stops it, and the RPC helpers it started
#        directory-lab.sh freeze LAB [DC...] | thaw LAB
#                                         SIGSTOP the processes of the DCs (default: dc and dc2,
#                                         the whole domain) / SIGCONT those of every DC
#        directory-lab.sh link-down LAB [DC...] | link-up LAB
#                                         takes the DCs' links down (default: dc and dc2; the
#                                         DCs unreachable: nothing answers, nothing refuses) /
#                                         every link up
#        directory-lab.sh replicate LAB
#                                         dc1 and dc2 pull the domain's changes from each other
#                                         now (after an outage they may wait minutes)
#        directory-lab.sh dc-pids LAB [DC...]
#                                         the PIDs of the DCs' processes (default: dc and dc2)
# LAB/lab.env holds the lab's names and passwords for scripts to source.
set -uo pipefail

SELF=$(readlink -f "$0")

REALM=CORP.EXAMPLE
NETBIOS_DOMAIN=CORP
DNS_DOMAIN=corp.example
BASE_DN=DC=corp,DC=example
DC_NAME=dc1
DC_IP=198.18.0.1
ADMIN_USER=Administrator
ADMIN_PASSWORD='Lab-Admin-Passw0rd.1'
USER_NAME=alice
USER_PASSWORD='Lab-Alice-Passw0rd.1'
OU_NAME=Hypervisors
DC2_NAME=dc2
DC2_IP=198.18.0.2
# The second forest, trusted both ways; its administrator has the same password.
TRUST_REALM=LAB.EXAMPLE
TRUST_NETBIOS_DOMAIN=LAB
TRUST_DNS_DOMAIN=lab.example
TRUST_DC_NAME=ldc1
TRUST_DC_IP=198.18.0.3
TRUST_USER_NAME=labuser
TRUST_USER_PASSWORD='Lab-Labuser-Passw0rd.1'
TRUST_GROUP_NAME=labgroup
MEMBERS="m1 m2 m3 m4"
DCS="dc dc2 ldc"
HOSTS="$DCS $MEMBERS proxy"
declare -A HOST_NAME=([dc]=$DC_NAME [dc2]=$DC2_NAME [ldc]=$TRUST_DC_NAME [m1]=hv01 [m2]=hv02
    [m3]=hv03 [m4]=hv04 [proxy]=proxy1)
declare -A HOST_IP=([dc]=$DC_IP [dc2]=$DC2_IP [ldc]=$TRUST_DC_IP [m1]=198.18.0.11
    [m2]=198.18.0.12 [m3]=198.18.0.13 [m4]=198.18.0.20 [proxy]=198.18.0.5)
# The enrolment service: its account may create and delete computer objects in OU_NAME only,
# and it serves the members in ENROL_SUBNET (m1..m3, not m4).
PROXY_IP=${HOST_IP[proxy]}
PROXY_PORT=9443
ENROL_USER=enrol
ENROL_PASSWORD='Lab-Enrol-Passw0rd.1'
ENROL_SUBNET=198.18.0.8/29
# Short, so that a frozen DC behind the service shows within a case.
PROXY_DC_TIMEOUT=5

log() { printf '[lab %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
fail() {
    log "error: $*"
    exit 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Replaces a file through a temporary file beside it.
put() {
    local target=$1
    cat >"$target.tmp.$$" && mv -f "$target.tmp.$$" "$target"
}

load() {
    LAB=$(readlink -f "${1:?lab directory}")
    [ -f "$LAB/lab.env" ] || fail "$LAB is not a lab directory"
    # shellcheck source=/dev/null
    . "$LAB/lab.env"
}

netns_of() { eval echo "\$NS_${1^^}"; }
netinode_of() { eval echo "\${NETINODE_${1^^}:-}"; }

in_host() {
    local host=$1 ns
    shift
    ns=$(netns_of "$host")
    [ -n "$ns" ] || fail "unknown host $host"
    exec nsenter --net="/run/netns/$ns" --mount="$LAB/ns/$host.mnt" --uts="$LAB/ns/$host.uts" -- \
        env KRB5CCNAME="FILE:$LAB/$host/tmp/krb5cc" "$@"
}
run() { "$SELF" run "$LAB" "$@"; }

# Processes by namespace, found through /proc so that this works from inside a member too.
pids_in_netns() {
    find /proc/[0-9]*/ns/net -maxdepth 0 -lname "net:\[$1\]" 2>/dev/null |
        awk -F/ -v self=$$ -v sub_shell="$BASHPID" '$3 != self && $3 != sub_shell { print $3 }'
}
# The processes of the DCs named (default: the domain's, dc and dc2).
dc_pids() {
    local host
    for host in "${@:-dc dc2}"; do
        for host in $host; do pids_in_netns "$(netinode_of "$host")"; done
    done
}
is_dc() { [[ " $DCS " == *" $1 "* ]]; }

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

# TERM, then KILL after a bounded wait; stopped processes are continued first so they can die.
stop_pids() {
    local seconds=$1 p i left
    shift
    [ $# -gt 0 ] || return 0
    for p in "$@"; do
        kill -CONT "$p" 2>/dev/null
        kill -TERM "$p" 2>/dev/null
    done
    for ((i = 0; i < seconds * 10; i++)); do
        left=0
        for p in "$@"; do alive "$p" && left=1; done
        [ $left = 0 ] && return 0
        sleep 0.1
    done
    for p in "$@"; do alive "$p" && kill -KILL "$p" 2>/dev/null; done
    return 0
}

stop_pidfile() {
    local file=$1 p
    [ -f "$file" ] || return 0
    p=$(cat "$file")
    alive "$p" && stop_pids 10 "$p"
    rm -f "$file"
}

# ---- up ----------------------------------------------------------------------------------------

host_files() {
    local host=$1 r=$LAB/$1 name=${HOST_NAME[$1]} ip=${HOST_IP[$1]} d domain=$DNS_DOMAIN
    for d in etc etc.work tmp var-lib-samba/private var-cache-samba run-samba var-log-samba; do
        mkdir -p "$r/$d"
    done
    chmod 0700 "$r/var-lib-samba/private"
    [ "$host" = ldc ] && domain=$TRUST_DNS_DOMAIN
    printf '%s\n' "$name" >"$r/etc/hostname"
    printf '127.0.0.1\tlocalhost\n%s\t%s.%s %s\n' "$ip" "$name" "$domain" "$name" >"$r/etc/hosts"
    # A provisioned DC asks itself; dc2 finds its domain through dc1 to join it; the others
    # ask the domain's DCs.
    case $host in
        dc | ldc) printf 'nameserver %s\n' "$ip" ;;
        dc2) printf 'nameserver %s\n' "$DC_IP" ;;
        *) printf 'nameserver %s\nnameserver %s\n' "$DC_IP" "$DC2_IP" ;;
    esac >"$r/etc/resolv.conf"
    if [ "$host" = dc2 ]; then
        printf '[libdefaults]\n\tdefault_realm = %s\n\tdns_lookup_realm = false\n\tdns_lookup_kdc = true\n' \
            "$REALM" >"$r/etc/krb5.conf"
    fi
    is_dc "$host" && return 0

    mkdir -p "$r/usrlib/security" "$r/usrlib.work" "$r/libexec/tslauth/lib" "$r/libexec.work"
    cat >"$r/etc/krb5.conf" <<EOF
[libdefaults]
	default_realm = $REALM
	dns_lookup_realm = false
	dns_lookup_kdc = true
	rdns = false
	dns_canonicalize_hostname = false
EOF
    for file in "${PLUGINS[@]}"; do install -m 0755 "$file" "$r/libexec/tslauth/lib/"; done
    if [ "$host" = proxy ]; then
        proxy_files
        return
    fi

    mkdir -p "$r/etc/pam.d" "$r/etc/ostrel/tslauth" "$r/etc/ostrel/hostctl"
    # The DC watcher's init script, as the Samba provider's package installs it, beside the
    # program when the lab was given it.
    if [ -e "$r/libexec/tslauth/lib/tslauth-dc-watch" ]; then
        mkdir -p "$r/etc/init.d"
        install -m 0755 "$(dirname "$SELF")/../plugins/samba/service/tslauth-dc-watch.init" \
            "$r/etc/init.d/tslauth-dc-watch"
    fi
    # Debian's libpam tries "/lib/security/$ISA/x.so" and then "/lib/security//lib/security/x.so";
    # neither exists, so the members get the link that makes the library-style paths load.
    ln -s "../$MULTIARCH/security" "$r/usrlib/security/\$ISA"
    mkdir -p "$r/usrlib/$MULTIARCH/security"
    for file in "${PAM_MODULES[@]}"; do install -m 0644 "$file" "$r/usrlib/$MULTIARCH/security/"; done
    printf 'passwd:\tfiles winbind\ngroup:\tfiles winbind\nshadow:\tfiles\nhosts:\tfiles dns\n' \
        >"$r/etc/nsswitch.conf"
    # Written the way the library writes policies, so that activating and deactivating the
    # directory gives back the same bytes.
    printf '%s\n' '#%PAM-1.0' '' \
        $'account\trequired\t/lib/security/$ISA/pam_unix.so\t' \
        $'account\trequired\t/lib/security/$ISA/pam_access.so\t' '' \
        $'auth\trequired\t/lib/security/$ISA/pam_env.so\t' \
        $'auth\tsufficient\t/lib/security/$ISA/pam_unix.so\tlikeauth nullok ' \
        $'auth\trequired\t/lib/security/$ISA/pam_deny.so\t' '' \
        $'password\trequired\t/lib/security/$ISA/pam_unix.so\tnullok use_authtok md5 shadow ' '' \
        $'session\trequired\t/lib/security/$ISA/pam_limits.so\t' \
        $'session\trequired\t/lib/security/$ISA/pam_unix.so\t' '' \
        >"$r/etc/pam.d/system-auth-generic"
    # The service the probe authenticates against: whatever the generic file says.
    printf 'auth\tinclude\tsystem-auth-generic\naccount\tinclude\tsystem-auth-generic\n' \
        >"$r/etc/pam.d/tslauth-probe"
    echo 'provider = samba' >"$r/etc/ostrel/tslauth/provider.conf"
    echo 'remote-authentication-store = None' >"$r/etc/ostrel/tslauth/authentication.conf"
    echo mgmt0 >"$r/etc/ostrel/hostctl/management-interface"
}

# The enrolment service's host: its configuration (readable by root alone, as the service
# demands), a throw-away certificate for its address, which the members import, and its state
# directory.
proxy_files() {
    local r=$LAB/proxy d=$LAB/proxy/etc/tslauth-proxyd
    mkdir -p "$d" "$r/varlib/tslauth-proxyd" "$r/varlib.work"
    chmod 0700 "$d" "$r/varlib/tslauth-proxyd"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=$PROXY_IP" -addext "subjectAltName=IP:$PROXY_IP" \
        -keyout "$d/proxy.key" -out "$d/proxy.pem" 2>"$LAB/logs/openssl.log" ||
        fail "cannot make the proxy's certificate"
    cp "$d/proxy.pem" "$LAB/proxy-certificate.pem"
    (
        umask 077
        cat >"$d/proxyd.conf" <<EOF
# The lab's enrolment service (tools/directory-lab.sh).
listen = $PROXY_IP:$PROXY_PORT
certificate = /etc/tslauth-proxyd/proxy.pem
private-key = /etc/tslauth-proxyd/proxy.key
domain = $DNS_DOMAIN
user = $ENROL_USER
password = $ENROL_PASSWORD
container = OU=$OU_NAME,$BASE_DN
allow = $ENROL_SUBNET
dc-timeout = $PROXY_DC_TIMEOUT
workers = 8
EOF
    )
    [ -z "$PROXYD" ] || install -m 0755 "$PROXYD" "$r/tslauth-proxyd"
}

host_role() {
    if is_dc "$1"; then echo dc; elif [ "$1" = proxy ]; then echo proxy; else echo member; fi
}

# A persistent mount and UTS namespace for the host, kept alive by bind mounts in LAB/ns.
host_namespaces() {
    local host=$1
    touch "$LAB/ns/$host.mnt" "$LAB/ns/$host.uts"
    unshare --mount="$LAB/ns/$host.mnt" --uts="$LAB/ns/$host.uts" --propagation private \
        bash -euc '
            host=$1 r=$2 name=$3 role=$4
            hostname "$name"
            mount -t overlay overlay -o "lowerdir=/etc,upperdir=$r/etc,workdir=$r/etc.work" /etc
            # The service'"'"'s state directory exists on the proxy host only.
            if [ "$host" = proxy ]; then
                mount -t overlay overlay \
                    -o "lowerdir=/var/lib,upperdir=$r/varlib,workdir=$r/varlib.work" /var/lib
            fi
            mount --bind "$r/var-lib-samba" /var/lib/samba
            mount --bind "$r/var-cache-samba" /var/cache/samba
            # A member'"'"'s /run is its own: its services keep their PID files there, and the
            # machine'"'"'s service manager (/run/systemd) stays out of sight.
            if [ "$role" = member ]; then
                mount -t tmpfs -o mode=0755,size=16m tslauth-run /run
                mkdir -p /run/samba
            fi
            mount --bind "$r/run-samba" /run/samba
            mount --bind "$r/var-log-samba" /var/log/samba
            # Log lines of the library and of Samba stay out of the machine'"'"'s log.
            if [ -e /dev/log ]; then mount --bind /dev/null /dev/log; fi
            # Neither the provision nor a join may take settings from the machine'"'"'s smb.conf.
            rm -f /etc/samba/smb.conf
            [ "$role" = dc ] && exit 0
            mount -t overlay overlay -o "lowerdir=/usr/lib,upperdir=$r/usrlib,workdir=$r/usrlib.work" /usr/lib
            mount -t overlay overlay \
                -o "lowerdir=/usr/libexec,upperdir=$r/libexec,workdir=$r/libexec.work" /usr/libexec
            # The join writes smb.conf; the machine'"'"'s own must not be mistaken for it.
            rm -f /etc/krb5.keytab
        ' host-setup "$host" "$LAB/$host" "${HOST_NAME[$host]}" "$(host_role "$host")"
}

network() {
    local host ns
    ip netns add "$NS_BR" || return 77
    ip -n "$NS_BR" link set lo up || return 1
    ip -n "$NS_BR" link add br0 type bridge || return 1
    ip -n "$NS_BR" link set br0 up || return 1
    for host in $HOSTS; do
        ns=$(netns_of "$host")
        ip netns add "$ns" || return 77
        # IPv4 only: the DC would otherwise publish link-local IPv6 addresses in its DNS.
        ip netns exec "$ns" sh -c 'echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 &&
                                  echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6' 2>/dev/null
        ip -n "$ns" link set lo up || return 1
    done
    for host in $HOSTS; do
        ns=$(netns_of "$host")
        ip -n "$NS_BR" link add "$host" type veth peer name mgmt0 netns "$ns" || return 1
        ip -n "$NS_BR" link set "$host" master br0 up || return 1
        ip -n "$ns" addr add "${HOST_IP[$host]}/24" dev mgmt0 || return 1
        ip -n "$ns" link set mgmt0 up || return 1
    done
}

write_env() {
    local host
    {
        printf 'LAB=%q\n' "$LAB"
        for name in REALM NETBIOS_DOMAIN DNS_DOMAIN BASE_DN DC_NAME DC_IP ADMIN_USER ADMIN_PASSWORD \
            USER_NAME USER_PASSWORD OU_NAME MEMBERS HOSTS TARGET PROXY_IP PROXY_PORT ENROL_USER \
            ENROL_PASSWORD ENROL_SUBNET PROXY_DC_TIMEOUT DC2_NAME DC2_IP TARGET_DC2 TRUST_REALM \
            TRUST_NETBIOS_DOMAIN TRUST_DNS_DOMAIN TRUST_DC_NAME TRUST_DC_IP TRUST_USER_NAME \
            TRUST_USER_PASSWORD TRUST_GROUP_NAME TARGET_LDC DCS NS_BR; do
            printf '%s=%q\n' "$name" "${!name}"
        done
        for host in $HOSTS; do
            printf 'NS_%s=%q\nNETINODE_%s=%s\nHOSTNAME_%s=%q\nIP_%s=%q\n' "${host^^}" "$(netns_of "$host")" \
                "${host^^}" "$(stat -L -c %i "/run/netns/$(netns_of "$host")")" \
                "${host^^}" "${HOST_NAME[$host]}" "${host^^}" "${HOST_IP[$host]}"
        done
    } | put "$LAB/lab.env"
}

dc_ready() {
    run m1 host -W 1 -t SRV "_ldap._tcp.dc._msdcs.$DNS_DOMAIN" >/dev/null 2>&1 &&
        run m1 host -W 1 -t SRV "_kerberos._udp.$DNS_DOMAIN" >/dev/null 2>&1 &&
        run m1 ldbsearch -H "ldap://$DC_NAME.$DNS_DOMAIN" -s base -b '' defaultNamingContext \
            >/dev/null 2>&1 &&
        printf '%s\n' "$ADMIN_PASSWORD" | run m1 kinit "$ADMIN_USER" >/dev/null 2>&1
}
dc_answers() { # HOST DOMAIN IP: the DC's DNS holds its domain's DC records, its LDAP answers
    run "$1" host -W 1 -t SRV "_ldap._tcp.dc._msdcs.$2" "$3" >/dev/null 2>&1 &&
        run "$1" ldbsearch -H "ldap://$3" -s base -b '' defaultNamingContext >/dev/null 2>&1
}

# DC TARGET-DIR: samba in the DC's namespaces, its PID in LAB/pids/samba-DC.
start_dc() {
    setsid "$SELF" run "$LAB" "$1" samba -s "$2/etc/smb.conf" -F --no-process-group \
        </dev/null >"$LAB/logs/samba-$1.log" 2>&1 &
    echo "$!" >"$LAB/pids/samba-$1"
}
# DC CHECK...: until CHECK passes (at most about 90 s), while the DC's samba runs.
wait_dc() {
    local pid i
    pid=$(cat "$LAB/pids/samba-$1")
    for ((i = 0; i < 300; i++)); do
        alive "$pid" || { tail -20 "$LAB/logs/samba-$1.log" >&2; fail "samba on $1 exited"; }
        "${@:2}" && break
        sleep 0.2
    done
    [ "$i" -lt 300 ] || fail "$1 did not answer DNS, LDAP and Kerberos in time"
    [ "$(cat "/proc/$pid/comm")" = samba ] || fail "PID $pid is not samba"
}

# Inside a DC, after its provision or join: the tools there read its smb.conf and krb5.conf.
dc_own_files() { # DC TARGET-DIR
    run "$1" sh -c 'ln -sf "$1/etc/smb.conf" /etc/samba/smb.conf &&
                    cp "$1/private/krb5.conf" /etc/krb5.conf.new && mv /etc/krb5.conf.new /etc/krb5.conf' \
        sh "$2" || fail "$1: smb.conf and krb5.conf"
}
# TARGET-DIR [FORWARDER]: the DC forwards names it does not hold to FORWARDER, or nowhere.
set_forwarder() {
    { grep -v 'dns forwarder' "$1/etc/smb.conf" |
        sed "s/^\[global\]\$/[global]${2:+\\n\\tdns forwarder = $2}/"; } | put "$1/etc/smb.conf"
}

provision_corp() {
    run dc samba-tool domain provision --targetdir="$TARGET" --realm="$REALM" \
        --domain="$NETBIOS_DOMAIN" --server-role=dc --dns-backend=SAMBA_INTERNAL \
        --host-name="$DC_NAME" --host-ip="$DC_IP" --adminpass="$ADMIN_PASSWORD" \
        --option="interfaces = lo mgmt0" --option="bind interfaces only = yes" \
        >"$LAB/logs/provision.log" 2>&1 || { tail -20 "$LAB/logs/provision.log" >&2; fail "provision failed"; }
    set_forwarder "$TARGET" "$TRUST_DC_IP"
    dc_own_files dc "$TARGET"
    # The domain user and the container the tests use, made while the directory is offline.
    run dc samba-tool user create "$USER_NAME" "$USER_PASSWORD" -s "$TARGET/etc/smb.conf" \
        >>"$LAB/logs/provision.log" 2>&1 || fail "user create failed"
    run dc samba-tool ou create "OU=$OU_NAME,$BASE_DN" -s "$TARGET/etc/smb.conf" \
        >>"$LAB/logs/provision.log" 2>&1 || fail "ou create failed"
    enrolment_account
}

# The trusted forest: its DC, a user and a group the user belongs to.
provision_lab() {
    local smb=(-s "$TARGET_LDC/etc/smb.conf") log=$LAB/logs/provision-ldc.log
    run ldc samba-tool domain provision --targetdir="$TARGET_LDC" --realm="$TRUST_REALM" \
        --domain="$TRUST_NETBIOS_DOMAIN" --server-role=dc --dns-backend=SAMBA_INTERNAL \
        --host-name="$TRUST_DC_NAME" --host-ip="$TRUST_DC_IP" --adminpass="$ADMIN_PASSWORD" \
        --option="interfaces = lo mgmt0" --option="bind interfaces only = yes" \
        >"$log" 2>&1 || { tail -20 "$log" >&2; fail "provision of $TRUST_REALM failed"; }
    set_forwarder "$TARGET_LDC"
    dc_own_files ldc "$TARGET_LDC"
    # It finds CORP's names (the trust's other side) through dc1.
    run ldc sh -c 'printf "nameserver %s\n" "$1" >/etc/resolv.conf.new && mv /etc/resolv.conf.new /etc/resolv.conf' \
        sh "$DC_IP" || fail "ldc resolv.conf"
    run ldc samba-tool user create "$TRUST_USER_NAME" "$TRUST_USER_PASSWORD" "${smb[@]}" >>"$log" 2>&1 &&
        run ldc samba-tool group add "$TRUST_GROUP_NAME" "${smb[@]}" >>"$log" 2>&1 &&
        run ldc samba-tool group addmembers "$TRUST_GROUP_NAME" "$TRUST_USER_NAME" "${smb[@]}" \
            >>"$log" 2>&1 || fail "$TRUST_REALM: user and group create failed"
}

# The domain's second DC: joined with Samba's own tools, its DNS records registered over RPC
# (there is no nsupdate), replicating both ways; members see it in the domain's DNS.
second_dc() {
    local t i p log=$LAB/logs/join-dc2.log admin=(-U "$ADMIN_USER%$ADMIN_PASSWORD")
    t=$(now_ms)
    run dc2 samba-tool domain join "$DNS_DOMAIN" DC "${admin[@]}" --targetdir="$TARGET_DC2" \
        --dns-backend=SAMBA_INTERNAL --server="$DC_NAME.$DNS_DOMAIN" \
        --option="interfaces = lo mgmt0" --option="bind interfaces only = yes" \
        --option="dns update command = /usr/sbin/samba_dnsupdate --use-samba-tool" \
        >"$log" 2>&1 || { tail -20 "$log" >&2; fail "joining dc2 as a DC failed"; }
    set_forwarder "$TARGET_DC2" "$TRUST_DC_IP"
    dc_own_files dc2 "$TARGET_DC2"
    run dc2 sh -c 'printf "nameserver %s\n" "$1" >/etc/resolv.conf.new && mv /etc/resolv.conf.new /etc/resolv.conf' \
        sh "$DC2_IP" || fail "dc2 resolv.conf"
    start_dc dc2 "$TARGET_DC2"
    wait_dc dc2 dc_answers dc2 "$DNS_DOMAIN" "$DC2_IP"
    # dc1 pulls from dc2 only once its own consistency checker ran (minutes): started here,
    # again until the records dc2 registers at its start (in the forest's DNS partition) are
    # on dc1 too, which the members ask first.
    for ((i = 0; i < 60; i++)); do # at most about 60 s
        for p in "$BASE_DN" "DC=DomainDnsZones,$BASE_DN" "DC=ForestDnsZones,$BASE_DN"; do
            run dc samba-tool drs replicate "$DC_NAME.$DNS_DOMAIN" "$DC2_NAME.$DNS_DOMAIN" "$p" \
                "${admin[@]}" >>"$log" 2>&1 || fail "replication from dc2 to dc1 failed"
        done
        [ "$(run m1 host -W 1 -t SRV "_ldap._tcp.dc._msdcs.$DNS_DOMAIN" 2>/dev/null |
            grep -c -i -e " $DC_NAME.$DNS_DOMAIN.\$" -e " $DC2_NAME.$DNS_DOMAIN.\$")" = 2 ] && break
        sleep 0.8
    done
    [ "$i" -lt 60 ] || {
        run m1 host -t SRV "_ldap._tcp.dc._msdcs.$DNS_DOMAIN" >&2
        fail "dc2 did not show in the domain's DNS"
    }
    log "second DC joined and answering after $(($(now_ms) - t)) ms"
}

# The enrolment service's account: a plain user to whom the container delegates creating and
# deleting computer objects (bf967a86-...: the computer class), and nothing more. As their
# creator it owns the accounts it makes, which lets it set their passwords and attributes.
enrolment_account() {
    local sid
    run dc samba-tool user create "$ENROL_USER" "$ENROL_PASSWORD" -s "$TARGET/etc/smb.conf" \
        >>"$LAB/logs/provision.log" 2>&1 || fail "enrolment user create failed"
    sid=$(run dc ldbsearch -H "$TARGET/private/sam.ldb" -b "$BASE_DN" \
        "(sAMAccountName=$ENROL_USER)" objectSid 2>/dev/null | sed -n 's/^objectSid: //p')
    [ -n "$sid" ] || fail "no SID for $ENROL_USER"
    run dc samba-tool dsacl set -H "$TARGET/private/sam.ldb" -s "$TARGET/etc/smb.conf" \
        --objectdn="OU=$OU_NAME,$BASE_DN" \
        --sddl="(OA;CI;CCDC;bf967a86-0de6-11d0-a285-00aa003049e2;;$sid)" \
        >>"$LAB/logs/provision.log" 2>&1 || fail "delegation to $ENROL_USER failed"
}

cmd_up() {
    local start t i c id
    PLUGINS=()
    PAM_MODULES=()
    PROXYD=
    MULTIARCH=
    while [ $# -gt 0 ]; do
        case $1 in
            --plugin)
                [ -f "${2:-}" ] || fail "no plug-in file ${2:-}"
                PLUGINS+=("$(readlink -f "$2")")
                shift 2
                ;;
            --pam-module)
                [ -f "${2:-}" ] || fail "no PAM module ${2:-}"
                PAM_MODULES+=("$(readlink -f "$2")")
                shift 2
                ;;
            --multiarch)
                MULTIARCH=${2:?--multiarch TRIPLET}
                shift 2
                ;;
            --proxyd)
                [ -f "${2:-}" ] || fail "no enrolment service ${2:-}"
                PROXYD=$(readlink -f "$2")
                shift 2
                ;;
            *) fail "up: unknown argument $1" ;;
        esac
    done
    if [ "$(id -u)" != 0 ]; then
        log "skipped: the lab needs root"
        exit 77
    fi
    for c in samba samba-tool winbindd wbinfo net kinit host ldbsearch ip unshare nsenter setsid; do
        command -v "$c" >/dev/null || fail "$c is missing (packages: samba-ad-dc samba-ad-provision winbind \
libpam-winbind libnss-winbind libsasl2-modules-gssapi-mit krb5-user ldb-tools bind9-host)"
    done
    # The PAM and NSS modules must suit the programs under test, which may be built for
    # another architecture than the machine's.
    [ -n "$MULTIARCH" ] ||
        MULTIARCH=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
    [ -e "/usr/lib/$MULTIARCH/security/pam_winbind.so" ] &&
        [ -e "/usr/lib/$MULTIARCH/libnss_winbind.so.2" ] ||
        fail "pam_winbind.so or libnss_winbind.so.2 for $MULTIARCH is missing \
(libpam-winbind:${MULTIARCH%%-*} libnss-winbind:${MULTIARCH%%-*})"
    start=$(now_ms)

    LAB=$(mktemp -d "${TMPDIR:-/tmp}/tslauth-lab.XXXXXX") || fail "mktemp"
    # Names unique to this run, so that a lab left over from a killed run never collides.
    id=$(printf '%x%s' $$ "$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')")
    # shellcheck disable=SC2034  # read through netns_of
    NS_DC=tsl-$id-dc NS_M1=tsl-$id-m1 NS_M2=tsl-$id-m2 NS_M3=tsl-$id-m3 NS_M4=tsl-$id-m4
    NS_PROXY=tsl-$id-px NS_DC2=tsl-$id-dc2 NS_LDC=tsl-$id-ldc NS_BR=tsl-$id-br
    TARGET=$LAB/dc/target TARGET_DC2=$LAB/dc2/target TARGET_LDC=$LAB/ldc/target
    trap 'trap - EXIT; log "setting up failed; tearing down"; cmd_down_loaded >&2' EXIT
    trap 'exit 1' INT TERM HUP
    if ! mount -t tmpfs -o mode=0711,size=1g tslauth-lab "$LAB" || ! mount --make-private "$LAB"; then
        rmdir "$LAB"
        trap - EXIT
        log "skipped: cannot mount a tmpfs here"
        exit 77
    fi
    mkdir -p "$LAB/ns" "$LAB/pids" "$LAB/logs"
    # The netns exist first, so that lab.env can name them even when a later step fails.
    network
    case $? in
        0) ;;
        77) log "skipped: cannot make network namespaces here" && exit 77 ;;
        *) fail "cannot wire the lab's network" ;;
    esac
    write_env
    # shellcheck source=/dev/null
    . "$LAB/lab.env"
    for c in $HOSTS; do host_files "$c"; done
    for c in $HOSTS; do
        if ! host_namespaces "$c"; then
            log "skipped: cannot make mount namespaces with overlays here"
            exit 77
        fi
    done

    t=$(now_ms)
    log "provisioning $REALM and $TRUST_REALM"
    provision_corp &
    c=$!
    provision_lab &
    i=$!
    wait "$c" || fail "provisioning $REALM failed"
    wait "$i" || fail "provisioning $TRUST_REALM failed"
    log "provisioned in $(($(now_ms) - t)) ms"

    t=$(now_ms)
    start_dc dc "$TARGET"
    start_dc ldc "$TARGET_LDC"
    wait_dc dc dc_ready
    wait_dc ldc dc_answers ldc "$TRUST_DNS_DOMAIN" "$TRUST_DC_IP"
    log "DCs answer after $(($(now_ms) - t)) ms"
    # The trust first: dc2 then gets it with everything else when it joins, and its winbindd
    # knows it from the start (one that learns a trust by replication needs a restart).
    t=$(now_ms)
    run dc samba-tool domain trust create "$TRUST_DNS_DOMAIN" --type=forest --direction=both \
        --create-location=both -U "$TRUST_NETBIOS_DOMAIN\\$ADMIN_USER%$ADMIN_PASSWORD" \
        >"$LAB/logs/trust.log" 2>&1 || { tail -20 "$LAB/logs/trust.log" >&2; fail "trust create failed"; }
    log "forest trust created in $(($(now_ms) - t)) ms"
    second_dc
    run m1 kdestroy >/dev/null 2>&1
    log "lab up after $(($(now_ms) - start)) ms: $LAB"
    trap - EXIT INT TERM HUP
    echo "$LAB"
}

# ---- down --------------------------------------------------------------------------------------

cmd_down_loaded() {
    local host ns inode pids all=() left=0
    [ -n "${LAB:-}" ] && [ -d "$LAB" ] || return 0
    # Never leave the DC stopped: a stopped process does not act on TERM.
    [ -n "${NETINODE_DC:-}" ] && cmd_thaw >/dev/null
    # Every process of every host at once: the DCs and winbindd take seconds each to go.
    for host in $MEMBERS proxy $DCS; do
        inode=$(netinode_of "$host")
        # shellcheck disable=SC2207 # PIDs
        [ -z "$inode" ] || all+=($(pids_in_netns "$inode"))
    done
    stop_pids 10 "${all[@]}"
    rm -f "$LAB"/pids/*
    for host in $MEMBERS proxy $DCS; do
        inode=$(netinode_of "$host")
        [ -n "$inode" ] || continue
        pids=$(pids_in_netns "$inode")
        [ -z "$pids" ] || {
            log "still running in $host: $pids"
            left=1
        }
    done
    for f in "$LAB"/ns/*; do [ -e "$f" ] && umount "$f" 2>/dev/null; done
    for host in $HOSTS br; do
        ns=$(netns_of "$host")
        [ -n "$ns" ] && [ -e "/run/netns/$ns" ] && ip netns del "$ns"
    done
    if mountpoint -q "$LAB"; then umount "$LAB" 2>/dev/null || umount -l "$LAB"; fi
    rmdir "$LAB" 2>/dev/null || rm -rf "$LAB"
    [ $left = 0 ] && log "lab removed" || log "lab removed, but processes were left"
    return $left
}

cmd_down() {
    LAB=$(readlink -f "${1:?lab directory}")
    [ -d "$LAB" ] || return 0
    # shellcheck source=/dev/null
    [ -f "$LAB/lab.env" ] && . "$LAB/lab.env"
    cmd_down_loaded
}

# ---- winbindd, freeze --------------------------------------------------------------------------

cmd_winbindd_start() {
    local host=$1 file=$LAB/pids/winbindd-$1 pid i t
    t=$(now_ms)
    if [ -f "$file" ] && alive "$(cat "$file")"; then
        log "winbindd already runs on $host"
        return 0
    fi
    # Started by the member's own service manager (a join starts it).
    pid=$(cat "$LAB/$host/run-samba/winbindd.pid" 2>/dev/null)
    if alive "$pid" && [ "$(cat "/proc/$pid/comm")" = winbindd ]; then
        log "winbindd already runs on $host (PID $pid, started by its init script)"
        return 0
    fi
    setsid "$SELF" run "$LAB" "$host" winbindd -F --no-process-group \
        </dev/null >>"$LAB/logs/winbindd-$host.log" 2>&1 &
    pid=$!
    echo "$pid" >"$file"
    for ((i = 0; i < 150; i++)); do # at most about 30 s
        alive "$pid" || break
        run "$host" wbinfo -t >/dev/null 2>&1 && [ "$(cat "/proc/$pid/comm")" = winbindd ] && {
            log "winbindd on $host (PID $pid) ready after $(($(now_ms) - t)) ms"
            return 0
        }
        sleep 0.2
    done
    run "$host" wbinfo -t >&2
    tail -5 "$LAB/logs/winbindd-$host.log" >&2
    cmd_winbindd_stop "$host"
    fail "winbindd on $host did not become usable"
}

cmd_winbindd_stop() {
    local host=$1 file=$LAB/pids/winbindd-$1 p stop=()
    [ -f "$file" ] && alive "$(cat "$file")" && stop+=("$(cat "$file")")
    # With the RPC helpers it started on demand, which live in the member's namespaces; all
    # at once, since winbindd takes a while to go.
    for p in $(pids_in_netns "$(netinode_of "$host")"); do
        case $(cat "/proc/$p/comm" 2>/dev/null) in
            winbindd | samba-dcerpcd | rpcd_*) [[ " ${stop[*]} " == *" $p "* ]] || stop+=("$p") ;;
        esac
    done
    stop_pids 10 "${stop[@]}"
    rm -f "$file"
}

cmd_freeze() {
    local pids previous='' i
    for i in "$@"; do is_dc "$i" || fail "freeze: $i is not a DC"; done
    # Again until no new process shows up: one may have forked while the others stopped.
    for ((i = 0; i < 10; i++)); do
        pids=$(dc_pids "$@" | sort)
        [ "$pids" = "$previous" ] && break
        # shellcheck disable=SC2086
        kill -STOP $pids 2>/dev/null
        previous=$pids
    done
    log "${*:-dc dc2} frozen ($(wc -w <<<"$pids") processes)"
}

cmd_replicate() {
    local from to
    for from in "$DC_NAME" "$DC2_NAME"; do
        to=$DC2_NAME
        [ "$from" = "$DC2_NAME" ] && to=$DC_NAME
        "$SELF" run "$LAB" dc timeout 20 samba-tool drs replicate "$to.$DNS_DOMAIN" "$from.$DNS_DOMAIN" \
            "$BASE_DN" -U "$ADMIN_USER%$ADMIN_PASSWORD" >/dev/null 2>&1 ||
            log "replication from $from to $to failed"
    done
}

cmd_thaw() {
    local p
    for p in $(dc_pids "$DCS"); do kill -CONT "$p" 2>/dev/null; done
    log "DC thawed"
}

cmd_link() { # up|down [DC...]: down those DCs' links (default dc and dc2), or up every DC's
    local state=$1 host targets=$DCS
    shift
    [ "$state" = up ] || targets=${*:-dc dc2}
    for host in $targets; do
        is_dc "$host" || fail "link-$state: $host is not a DC"
        ip -n "$NS_BR" link set "$host" "$state" || fail "link $state $host"
    done
    log "the links of $targets are $state"
}

# ---- the enrolment service, short-lived hosts ---------------------------------------------------

cmd_proxy_start() {
    local timeout=${1:-$PROXY_DC_TIMEOUT} file=$LAB/pids/proxyd pid i t current
    t=$(now_ms)
    if [ ! -x "$LAB/proxy/tslauth-proxyd" ]; then
        log "this lab has no enrolment service (directory-lab.sh up --proxyd FILE)"
        return 77
    fi
    [[ "$timeout" =~ ^[1-9][0-9]*$ ]] || fail "proxy-start: bad dc-timeout $timeout"
    current=$(sed -n 's/^dc-timeout = //p' "$LAB/proxy/etc/tslauth-proxyd/proxyd.conf")
    if [ -f "$file" ] && alive "$(cat "$file")"; then
        if [ "$current" = "$timeout" ]; then
            log "tslauth-proxyd already runs"
            return 0
        fi
        stop_pidfile "$file"
    fi
    if [ "$current" != "$timeout" ]; then
        run proxy sh -c 'umask 077 && sed "s/^dc-timeout = .*/dc-timeout = $1/" "$2" >"$2.new" &&
                         mv "$2.new" "$2"' sh "$timeout" /etc/tslauth-proxyd/proxyd.conf ||
            fail "cannot set the service's dc-timeout"
    fi
    setsid "$SELF" run "$LAB" proxy "$LAB/proxy/tslauth-proxyd" --foreground \
        </dev/null >>"$LAB/logs/proxyd.log" 2>&1 &
    pid=$!
    echo "$pid" >"$file"
    for ((i = 0; i < 100; i++)); do # at most about 10 s
        alive "$pid" || break
        if [ -n "$(ip netns exec "$NS_PROXY" ss -Htln "sport = :$PROXY_PORT")" ] &&
            [ "$(cat "/proc/$pid/comm")" = tslauth-proxyd ]; then
            log "tslauth-proxyd (PID $pid) listens after $(($(now_ms) - t)) ms"
            return 0
        fi
        sleep 0.1
    done
    tail -5 "$LAB/logs/proxyd.log" >&2
    stop_pidfile "$file"
    fail "tslauth-proxyd did not start listening"
}

cmd_proxy_stop() {
    stop_pidfile "$LAB/pids/proxyd"
}

# A short-lived host on a member's network: enrolments of many host names from few members.
cmd_run_as() {
    local host=$1 name=$2 ns ip scratch rc
    shift 2
    [[ " $MEMBERS " == *" $host "* ]] || fail "run-as: $host is not a member"
    [[ "$name" =~ ^[a-z0-9-]+$ ]] || fail "run-as: bad host name $name"
    ns=$(netns_of "$host")
    ip=$(eval echo "\$IP_${host^^}")
    scratch=$(mktemp -d "$LAB/$host/as-$name.XXXXXX") || fail "mktemp"
    mkdir -p "$scratch/etc" "$scratch/etc.work" "$scratch/lib/private" "$scratch/cache" \
        "$scratch/run" "$scratch/log" "$scratch/tmp"
    chmod 0700 "$scratch/lib/private"
    printf '%s\n' "$name" >"$scratch/etc/hostname"
    printf '127.0.0.1\tlocalhost\n%s\t%s.%s %s\n' "$ip" "$name" "$DNS_DOMAIN" "$name" \
        >"$scratch/etc/hosts"
    nsenter --net="/run/netns/$ns" --mount="$LAB/ns/$host.mnt" --uts="$LAB/ns/$host.uts" -- \
        unshare --mount --uts --propagation private bash -euc '
            s=$1 name=$2
            shift 2
            hostname "$name"
            mount -t overlay overlay -o "lowerdir=/etc,upperdir=$s/etc,workdir=$s/etc.work" /etc
            # Nothing of the member'"'"'s own membership shows through.
            rm -f /etc/samba/smb.conf /etc/krb5.keytab
            mount --bind "$s/lib" /var/lib/samba
            mount --bind "$s/cache" /var/cache/samba
            mount -t tmpfs -o mode=0755,size=16m tslauth-run /run
            mkdir -p /run/samba
            mount --bind "$s/run" /run/samba
            mount --bind "$s/log" /var/log/samba
            stat -L -c %i /proc/self/ns/mnt >"$s/mnt-inode"
            exec env KRB5CCNAME="FILE:$s/tmp/krb5cc" "$@"
        ' run-as "$scratch" "$name" "$@"
    rc=$?
    # What CMD started in the short-lived host (a join starts its services) goes with it.
    if [ -s "$scratch/mnt-inode" ]; then
        # shellcheck disable=SC2046
        stop_pids 10 $(find /proc/[0-9]*/ns/mnt -maxdepth 0 \
            -lname "mnt:\[$(cat "$scratch/mnt-inode")\]" 2>/dev/null | cut -d/ -f3)
    fi
    rm -rf "$scratch"
    return $rc
}

case ${1:-} in
    up)
        shift
        cmd_up "$@"
        ;;
    run-as)
        load "${2:-}"
        shift 2
        cmd_run_as "${1:?host}" "${2:?name}" "${@:3}"
        ;;
    proxy-start) load "${2:-}" && cmd_proxy_start "${3:-}" ;;
    proxy-stop) load "${2:-}" && cmd_proxy_stop ;;
    down) cmd_down "${2:?lab directory}" ;;
    run)
        load "${2:-}"
        shift 2
        in_host "${1:?host}" "${@:2}"
        ;;
    winbindd-start) load "${2:-}" && cmd_winbindd_start "${3:?host}" ;;
    winbindd-stop) load "${2:-}" && cmd_winbindd_stop "${3:?host}" ;;
    freeze) load "${2:-}" && cmd_freeze "${@:3}" ;;
    thaw) load "${2:-}" && cmd_thaw ;;
    link-down) load "${2:-}" && cmd_link down "${@:3}" ;;
    link-up) load "${2:-}" && cmd_link up ;;
    dc-pids) load "${2:-}" && dc_pids "${@:3}" ;;
    replicate) load "${2:-}" && cmd_replicate ;;
    *)
        sed -n '2,/^# LAB\/lab.env/p' "$SELF" >&2
        exit 2
        ;;
esac
