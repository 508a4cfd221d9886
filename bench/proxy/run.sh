#!/bin/bash
# The enrolment service under slow peers (bench/README.md, "Enrolment service under attack").
# Usage: bench/proxy/run.sh BUILD_DIR [PEERS] [SECONDS] [ENROLMENTS]
# Runs in private user, network and mount namespaces: loopback only, the state directory on a
# tmpfs, nothing written outside a temporary directory. dc-timeout 5, workers 8, a helper
# stand-in that answers after 1 s; 127.0.0.1 (the legitimate host) and 127.0.0.3 may enrol, the
# slow peers come from 127.0.0.2 (may not) and 127.0.0.3 (may).
set -u
build=${1:?build directory}
peers=${2:-200} seconds=${3:-60} enrolments=${4:-20}
here=$(cd "$(dirname "$0")" && pwd)
service=$(cd "$build" && pwd)/proxy/tslauth-proxyd
[ -x "$service" ] || { echo "no $service: build the target tslauth-proxyd" >&2; exit 2; }
if [ "${PROXY_BENCH_INSIDE:-}" != 1 ]; then
    uid=()
    [ "$(id -u)" = 0 ] || uid=(--user --map-root-user)
    exec env PROXY_BENCH_INSIDE=1 unshare "${uid[@]}" --net --mount "$0" "$@"
fi
ip link set lo up
ulimit -n 16384  # the slow peers' sockets
mount -t tmpfs -o size=16m tmpfs /var/lib
[ -e /dev/log ] && mount --bind /dev/null /dev/log
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=bench \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod 600 "$work/key.pem"
# One request read to its end or, as a long-lived helper (--serve), one frame.
cat >"$work/helper" <<'HELPER'
#!/bin/sh
exec <&3 >&3
if [ "$1" = --serve ]; then read -r word length; head -c $((length + 1)) >/dev/null
else cat >/dev/null; fi
sleep 1
answer='status 1
0
netbios-domain 4
CORP
dns-domain 12
corp.example
sid 14
S-1-5-21-1-2-3
account 5
HV01$
provisioning 4
UHJv
'
if [ "$1" = --serve ]; then printf 'frame %d\n%s\n' ${#answer} "$answer"
else printf '%s' "$answer"; fi
HELPER
chmod 755 "$work/helper"
(umask 077 && cat >"$work/proxyd.conf" <<CONF
listen = 127.0.0.1:9443
certificate = $work/cert.pem
private-key = $work/key.pem
domain = corp.example
user = enrol
password = pw
allow = 127.0.0.1
allow = 127.0.0.3
dc-timeout = 5
workers = 8
helper = $work/helper
CONF
)
"$service" --foreground --config "$work/proxyd.conf" 2>"$work/log" &
pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/log" && break; sleep 0.1; done
peak() { # the service's VmRSS (kB) and threads, largest seen, sampled every 0.5 s
    local rss=0 threads=0 r t
    while kill -0 "$pid" 2>/dev/null; do
        r=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || break
        t=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || break
        [ "${r:-0}" -gt "$rss" ] && rss=$r
        [ "${t:-0}" -gt "$threads" ] && threads=$t
        echo "$rss $threads" >"$work/peak"
        sleep 0.5
    done
}
peak &
sampler=$!
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
attackers=127.0.0.2,127.0.0.3
python3 "$here/attack.py" 9443 "$peers" "$seconds" "$enrolments" "$attackers"
result=$?
# SIGTERM while the peers hold what they can.
python3 "$here/attack.py" 9443 "$peers" 20 0 "$attackers" >/dev/null &
attack=$!
sleep 8
start=$(date +%s.%N)
kill -TERM "$pid"
wait "$pid"
echo "exit status $? after SIGTERM, $(echo "$(date +%s.%N) - $start" | bc) s"
wait "$attack"
wait "$sampler"
echo "service peak: VmRSS $(cut -d' ' -f1 "$work/peak") kB, $(cut -d' ' -f2 "$work/peak") threads"
echo "log: $(grep -c 'closed at once' "$work/log") closed at once, $(grep -c 'cut at its deadline' \
    "$work/log") cut at their deadline, $(grep -c ' 201 status 0' "$work/log") accounts created"
exit $result
