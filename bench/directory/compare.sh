#!/usr/bin/env bash
# The directory comparison: joins and a frozen DC, against the command-line joiners that ship
# with Debian, all on one throw-away domain controller (tests/directory/lab.sh).
#
#   bench/directory/compare.sh BUILD_DIRECTORY [ROUNDS]
#
# Joins: the same member host joins ROUNDS times (default 3) with each of `tslauth join`,
# `net ads join` and `adcli join`; between two joins the account is deleted and the host's
# membership removed, untimed. The frozen DC: every DC process stopped (SIGSTOP); then the
# time until `tslauth status --timeout 2` answers, against `wbinfo -t`, `net ads info` and
# `adcli info` (each stopped after 150 s). Root only; adcli is installed when missing.
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$(readlink -f "${1:?build directory}")
rounds=${2:-3}
lab_sh=$source_dir/tests/directory/lab.sh
tool=$build/tools/tslauth

[ "$(id -u)" = 0 ] || { echo "compare: the directory comparison needs root" >&2; exit 1; }
for file in "$tool" "$build/plugins/samba/libsamba.so" "$build/plugins/samba/tslauth-samba-helper" \
    "$build/bench/directory_cached_queries"; do
    [ -e "$file" ] || { echo "compare: $file is missing; build first" >&2; exit 1; }
done
if ! command -v adcli >/dev/null 2>&1; then
    echo "compare: installing adcli" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends adcli >&2 ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq adcli >&2; }
fi

LAB=$("$lab_sh" up --plugin "$build/plugins/samba/libsamba.so" \
    --plugin "$build/plugins/samba/tslauth-samba-helper") || exit 1
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
# The account goes and the host's membership with it, whoever made them.
reset_host() {
    on dc samba-tool computer delete "$account" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1
    on $host sh -c 'rm -f /var/lib/samba/private/secrets.tdb /etc/krb5.keytab
                    rm -f /var/cache/samba/*.tdb /var/lib/samba/*.tdb 2>/dev/null; true'
}
# net and adcli read the member configuration the provider would write for the domain.
member_smb_conf() {
    on $host sh -c "mkdir -p /etc/samba && printf '[global]\n\tworkgroup = $NETBIOS_DOMAIN\n\trealm = $REALM\n\tsecurity = ads\n\tnetbios name = $account\n\tkerberos method = secrets and keytab\n' > /etc/samba/smb.conf"
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

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
