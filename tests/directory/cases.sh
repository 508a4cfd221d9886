#!/usr/bin/env bash
# The directory suite in the lab of tools/directory-lab.sh: ctest runs "up LAB-OPTIONS...", each
# case below by name (each makes the state it needs, so it also runs alone) and "down".
set -uo pipefail

lab_sh=$(dirname "$(readlink -f "$0")")/../../tools/directory-lab.sh
pointer=${DIRECTORY_LAB_POINTER:?}
failures=0
bad() { printf 'FAIL: %s\n' "$*" && failures=$((failures + 1)); }
finish() { [ "$failures" = 0 ] && exit 0 || exit 1; }
expect() { [ "$2" == "$3" ] || { bad "$1" && diff <(echo "$2") <(echo "$3"); }; } # WHAT EXPECTED ACTUAL
on() { "$lab_sh" run "$LAB" "$@"; }
probe() { on "$1" "$DIRECTORY_PROBE" "${@:2}"; }

tool() { # HOST ARGS...: sets out, err, status, elapsed (ms). HOST m3:hv02: a fresh hv02 on m3's net
    local runner=(on "$1") start
    [[ $1 != *:* ]] || runner=("$lab_sh" run-as "$LAB" "${1%%:*}" "${1#*:}")
    start=$(date +%s%N) out=$("${runner[@]}" "$TSLAUTH_TOOL" "${@:2}" 2>"$LAB/tool-stderr")
    status=$? elapsed=$((($(date +%s%N) - start) / 1000000)) err=$(cat "$LAB/tool-stderr")
}
check() { # WHAT STATUS TEXT HOST ARGS...: the status, then the output (0) or the message, exactly
    tool "${@:4}"
    expect "$1" "$2 $3" "$status $([ "$2" = 0 ] && echo "$out" || echo "$err")"
}

dc_search_on() { # DC TARGET FILTER ATTRIBUTE...: a DC's own database, continuation lines joined
    on "$1" ldbsearch -H "$2/private/sam.ldb" -b "$BASE_DN" -s sub "${@:3}" 2>/dev/null |
        awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
             END { if (line != "") print line }' | grep -v '^#'
}
dc_search() { # FILTER ATTRIBUTE...: what both of the domain's DCs hold, once replication agrees
    local one two i
    for ((i = 0; i < 60; i++)); do
        one=$(dc_search_on dc "$TARGET" "$@") two=$(dc_search_on dc2 "$TARGET_DC2" "$@")
        [ "$(sort <<<"$one")" == "$(sort <<<"$two")" ] && break
        # After an outage the DCs may wait minutes before they pull again.
        [ "$i" != 12 ] || "$lab_sh" replicate "$LAB"
        sleep 0.25
    done
    [ "$i" -lt 60 ] || echo "dc1 and dc2 disagree on $1 after 15 s"
    printf '%s\n' "$one"
}
dc_attribute() { dc_search "(sAMAccountName=$1\$)" "$2" | sed -n "s/^$2: //p"; } # NAME ATTRIBUTE
# The accounts FILTER matches as "DN uac=N" (4096: enabled workstation trust), or "absent".
dc_accounts() {
    dc_search "$1" userAccountControl | awk '/^dn: / { dn = substr($0, 5) }
        /^userAccountControl: / { print dn " uac=" $2; n++ } END { if (!n) print "absent" }' | sort
}
dc_account() { dc_accounts "(sAMAccountName=$1\$)"; } # NAME
made_on() { # NAME: the DC that made the account NAME$ (the first writer of its object class)
    local id host target
    # From a DC that has it (dc1 first: dc2 may be frozen), without waiting for replication.
    for host in dc dc2; do
        target=$TARGET
        [ "$host" = dc ] || target=$TARGET_DC2
        id=$(on "$host" ldbsearch -H "$target/private/sam.ldb" "(sAMAccountName=$1\$)" \
            replPropertyMetaData --show-binary 2>/dev/null | grep -A4 'DRSUAPI_ATTID_objectClass ' |
            sed -n 's/.*originating_invocation_id: *//p' | head -1)
        [ -z "$id" ] || break
    done
    on dc ldbsearch -H "$TARGET/private/sam.ldb" -b "CN=Configuration,$BASE_DN" '(objectClass=nTDSDSA)' \
        invocationId 2>/dev/null | awk -v id="${id:-none}" '/^dn: / { split(substr($0, 5), p, ",")
            dsa = tolower(substr(p[2], 4)) } /^invocationId: / && $2 == id { print dsa }'
}
since() { echo $((($(date +%s%N) - $1) / 1000000)); } # START-NS: milliseconds since
dc_delete_accounts() { # FILTER: deletes the accounts it matches, in one go
    local dns && mapfile -t dns < <(dc_search "$1" dn | sed -n 's/^dn: //p')
    [ "${#dns[@]}" = 0 ] || on dc env SMB_CONF_PATH="$TARGET/etc/smb.conf" \
        ldbdel -H "$TARGET/private/sam.ldb" "${dns[@]}" >/dev/null || bad "cannot delete ${dns[*]}"
    dc_search "$1" dn >/dev/null # gone from both DCs
}

joined() { on "$1" net ads testjoin >/dev/null 2>&1; }
ensure_joined() { # HOST [CONTAINER]: joined (into CONTAINER) if it was not; the join starts winbindd
    joined "$1" || { tool "$1" join "$DNS_DOMAIN${2:+/$2}" "${admin[@]}"; [ "$status" = 0 ]; } ||
        { bad "could not join $1: $err" && finish; }
}
ensure_left() { ! joined "$1" || tool "$1" leave "${admin[@]}"; }
services() { # HOST: "NAME running|stopped enabled|disabled" of each service a join starts
    on "$1" sh -c 'for s in winbind tslauth-dc-watch; do
        /etc/init.d/$s status >/dev/null 2>&1 && r=running || r=stopped
        ls /etc/rc2.d/S??$s >/dev/null 2>&1 && e=enabled || e=disabled
        echo "$s $r $e"; done'
}
check_member_joined() { # HOST ACCOUNT-NAME: smb.conf settings, the keytab, a trust winbindd takes
    expect "$1 smb.conf" "$NETBIOS_DOMAIN $REALM ADS $2" "$(for p in workgroup realm security \
        'netbios name'; do on "$1" testparm -s --parameter-name="$p" 2>/dev/null; done | paste -sd ' ')"
    expect "$1 keytab holds host/$2 and $2\$" 2 "$(on "$1" klist -k /etc/krb5.keytab 2>/dev/null |
        awk 'NR > 3 { print $2 }' | sort -u | grep -c -x -e "host/$2@$REALM" -e "$2\$@$REALM")"
    # The join started the services itself, and waited for the DC to accept the machine.
    expect "$1 services and trust state right after the join" "winbind running enabled
tslauth-dc-watch running enabled
trust_state 1" "$(services "$1"; tool "$1" status --json
        sed -n 's/.*"trust_state": \([0-9]*\),.*/trust_state \1/p' <<<"$out")"
}
logins() { # HOST PASSWORD...: the domain user's PAM conversation with each password
    local p && for p in "${@:2}"; do probe "$1" pam tslauth-probe "$user" "$p"; done 2>/dev/null; }
changed() { # WHAT: the Samba files the last command said it changed, one a line
    grep '^tslauth: changed: [a-z]* /' <<<"$err" | grep -v -e ' /etc/hosts' -e ' /etc/resolv.conf' |
        sed 's/^tslauth: changed: //'
}
status_json() { printf '{"active_store": "None", "login_permissions": {"permit": "all", "users": [], "groups": []}, "domain": {"dns_name": "%s", "netbios_name": "%s"}, "machine_account": "%s", "preferred_controllers": [], "trust_state": 1, "trust_state_name": "trusted", "trusted_domains": [{"dns_name": "%s", "netbios_name": "%s"}], "answers": {"configuration": {"source": "fresh"}, "trusted_domains": {"source": "fresh"}, "trust_state": {"source": "fresh"}}, "timed_out": [], "unanswered_fields": []}' "$DNS_DOMAIN" "$NETBIOS_DOMAIN" "$1" "$TRUST_DNS_DOMAIN" "$TRUST_NETBIOS_DOMAIN"; } # MACHINE-DN

case_preflight() {
    # All six checks pass; the domain's goes through the DC's DNS (the members resolve nothing else).
    tool m1 preflight "$DNS_DOMAIN"
    expect preflight "0 6" "$status $(grep -c '^pass ' <<<"$out")"
}

join_into() { # HOST NAME DOMAIN DN: a fresh join, and the account where DN says
    ensure_left "$1"
    expect "no account for $2 before the join" absent "$(dc_account "$2")"
    check "join $3" 0 "Joined $3." "$1" join "$3" "${admin[@]}"
    expect "join $3: the Samba files it says it changed" "wrote /etc/samba/smb.conf
wrote /var/lib/samba/private/secrets.tdb
wrote /etc/krb5.keytab" "$(changed)"
    expect "the DC has the account" "$4 uac=4096" "$(dc_account "$2")"
    check_member_joined "$1" "$2"
}
case_join() { join_into m1 HV01 "$DNS_DOMAIN" "$dn1"; }
case_join_ou() { join_into m2 HV02 "$DNS_DOMAIN/OU=$OU_NAME,$BASE_DN" "$dn2"; }

case_join_refused() {
    # Tried once (retries would count against the lockout policy); the probe records pauses.
    ensure_left m2
    expect "wrong password, unknown domain: one attempt each, no pause" "threw ostrel::authentication::LogonFailureException: Exception 0x0000052e: The attempted logon is invalid. This is due to either a bad user name or authentication information.
pauses: none
threw ostrel::authentication::NoSuchDomainException: Exception 0x0000054b: The specified domain either does not exist or could not be contacted.
pauses: none" "$(probe m2 join "$DNS_DOMAIN" "$ADMIN_USER" "$LAB/wrong-password"
        probe m2 join nosuch.example "$ADMIN_USER" "$LAB/admin-password")"
    expect "no account was left behind for HV02" absent "$(dc_account HV02)"
    # The command: its words first, the KDC's after them, and the credentials' exit status.
    check "wrong password, the command's message" 7 "tslauth: wrong user name or password for $ADMIN_USER in $DNS_DOMAIN: check both and try again (a wrong password is never tried twice: each try counts towards the account's lockout) (status 1326)
tslauth: the provider says: the KDC of $REALM refused the credentials of '$ADMIN_USER'" \
        m2 join "$DNS_DOMAIN" --user "$ADMIN_USER" --password-file "$LAB/wrong-password"
    # A join that winbindd cannot follow (here it is not installed) is undone: the account it
    # made is deleted, and the fresh host is as before (no smb.conf, no keytab).
    dc_delete_accounts "(sAMAccountName=HV06\$)"
    local state && state=$("$lab_sh" run-as "$LAB" m3 hv06 sh -c 'rm /etc/init.d/winbind
        "$1" join "$2" --user "$3" --password-file "$4" >/dev/null 2>"$5"; echo "exit $?"
        ls /etc/samba/smb.conf /etc/krb5.keytab 2>/dev/null; true' \
        sh "$TSLAUTH_TOOL" "$DNS_DOMAIN" "$ADMIN_USER" "$LAB/admin-password" "$LAB/tool-stderr")
    expect "no winbind: the join is undone, the account deleted, the host as before" "exit 4
tslauth: The service has not been started. (status 1062)
tslauth: the provider says: the service winbind is not installed; the join is undone
absent" "$state
$(grep -v '^tslauth: changed: ' "$LAB/tool-stderr")
$(dc_account HV06)"
}

case_status() {
    ensure_joined m1
    check "m1 status" 0 "$(status_json "$dn1")" m1 status --json
    # The plug-in loaded, asked from threads at once and unloaded three times: one answer,
    # nothing of it left. Then the store's forwarded lookups (no "\\" before the DC's name).
    expect "m1 reloads and lookups" "$DNS_DOMAIN $NETBIOS_DOMAIN $dn1 trust 1 trusts 1
plug-in unloaded
domain controller: $DC_NAME.$DNS_DOMAIN
host principal: HV01\$@$REALM
canonical name of $USER_NAME: $user
relationship of $DNS_DOMAIN: 0x8
$trusted" "$(probe m1 answers "$DNS_DOMAIN" "$USER_NAME" 3)"
}

case_trusts() {
    local file=/etc/pam.d/system-auth-generic who="$TRUST_USER_NAME@$TRUST_DNS_DOMAIN" lab_granted
    ensure_joined m1
    # A user of the trusted forest: canonical name, PAM login through the library's file, permit.
    lab_granted="authenticate 0 (Success)
account 0 (Success)
user $lab_user"
    expect "$who: canonical name, relationships" "canonical name of $who: $lab_user
relationship of $DNS_DOMAIN: 0x8
$trusted" "$(probe m1 answers "$DNS_DOMAIN" "$who" 1 | sed -n '/^canonical name/,$p')"
    pam_policy without | on m1 sh -c "cat >$file.new && mv $file.new $file"
    check activate 0 "Active store: Active Directory" m1 activate "Active Directory"
    expect "$lab_user: right, then wrong password" "$lab_granted
authenticate 7 (Authentication failure)" "$(for p in "$TRUST_USER_PASSWORD" "not-$TRUST_USER_PASSWORD"; do
        probe m1 pam tslauth-probe "$lab_user" "$p"; done 2>/dev/null)"
    tool m1 permit --groups "$TRUST_NETBIOS_DOMAIN\\$TRUST_GROUP_NAME"
    expect "permit a group of the trusted forest: its member in, $user refused" "0 $lab_granted
authenticate 0 (Success)
account 6 (Permission denied)
user $user" "$status $(probe m1 pam tslauth-probe "$lab_user" "$TRUST_USER_PASSWORD" 2>/dev/null
        logins m1 "$USER_PASSWORD")"
    check "permit --all" 0 "May log in: every directory user" m1 permit --all
    check "activate None" 0 "Active store: None" m1 activate None
    # Without winbindd the trust comes from the directory over LDAP, the same; names are not
    # converted (winbindd does that).
    on m1 /etc/init.d/winbind stop >/dev/null
    expect "m1 without winbindd" "canonical name of $who: threw ostrel::authentication::ServiceNotActiveException: Exception 0x00000426: The service has not been started.
relationship of $DNS_DOMAIN: 0x8
$trusted" "$(probe m1 answers "$DNS_DOMAIN" "$who" 1 | sed -n '/^canonical name/,$p')"
    on m1 /etc/init.d/winbind start >/dev/null || bad "winbindd does not start again on m1"
}

pam_policy() { # with-winbind|without: the library's policy, stacks in the order account, auth, ...
    local w=$'\tsufficient\tP/pam_winbind.so\ttry_first_pass cached_login \n'
    [ "$1" = with-winbind ] || w=''
    printf '#%%PAM-1.0\n\naccount\trequired\tP/pam_unix.so\t\naccount\trequired\tP/pam_access.so\t\n%s
auth\trequired\tP/pam_env.so\t\n%sauth\tsufficient\tP/pam_unix.so\tlikeauth nullok \nauth\trequired\tP/pam_deny.so\t
\npassword\trequired\tP/pam_unix.so\tnullok use_authtok md5 shadow \n
session\trequired\tP/pam_limits.so\t\nsession\trequired\tP/pam_unix.so\t\n\n' \
        "${w:+account$'\t[success=ok ignore=ignore module_unknown=ignore default=die]\tP/pam_tslauth_permit.so\t\n'account$w}" "${w:+auth$w}" |
        sed 's|\bP/|/lib/security/$ISA/|g'
}

case_pam() {
    local file=/etc/pam.d/system-auth-generic denied="authenticate 7 (Authentication failure)"
    # A domain user logs in right after the join and the activation, nothing else in between.
    ensure_left m1
    ensure_joined m1
    # Written the way the library writes policies: activating "None" must give back these bytes.
    pam_policy without | on m1 sh -c "cat >$file.new && mv $file.new $file"
    check activate 0 "Active store: Active Directory" m1 activate "Active Directory"
    expect "PAM file with pam_winbind, authentication.conf" "$(pam_policy with-winbind | cat -A)
remote-authentication-store = \"Active Directory\"" "$(on m1 cat -A $file; on m1 cat /etc/ostrel/tslauth/authentication.conf)"
    expect "$user, right then wrong password" "$granted
$denied" "$(logins m1 "$USER_PASSWORD" "not-$USER_PASSWORD")"
    # Who may log in: checked in the account stack, also after a good password; a group's
    # members (Domain Users: alice's primary group) get in, a non-member is refused. Names as
    # winbindd spells them. Names as
    # winbindd spells them.
    local list=/etc/ostrel/tslauth/login-permissions.conf refused="authenticate 0 (Success)
account 6 (Permission denied)
user $user" sid before i
    tool m1 permit --groups "Domain Admins" --json
    sid=$(on m1 wbinfo --name-to-sid "$NETBIOS_DOMAIN\\Domain Admins" | cut -d' ' -f1)
    expect "permit --groups: the list, what changed" "0 {\"login_permissions\": {\"permit\": \"listed\", \"users\": [], \"groups\": [{\"name\": \"$NETBIOS_DOMAIN\\\\domain admins\", \"sid\": \"$sid\", \"id\": $(on m1 wbinfo --sid-to-gid "$sid")}]}, \"warnings\": [], \"changes\": [{\"change\": \"wrote $list\", \"file\": \"$list\"}]}
tslauth: changed: wrote $list" "$status $out
$err"
    expect "$user, not in Domain Admins: refused by the account stack" "$refused" "$(logins m1 "$USER_PASSWORD")"
    check "permit --groups Domain Users" 0 "May log in: only
  group $NETBIOS_DOMAIN\\domain users ($(on m1 wbinfo --name-to-sid "$NETBIOS_DOMAIN\\Domain Users" |
        cut -d' ' -f1), GID $(on m1 getent group "$NETBIOS_DOMAIN\\Domain Users" | cut -d: -f3))" \
        m1 permit --groups "domain users"
    expect "$user, in Domain Users" "$granted" "$(logins m1 "$USER_PASSWORD")"
    # A group renamed after it was permitted keeps its members (matched by GID, not by name),
    # once winbindd's cache no longer knows the old name (about 5 s; at most 20 s here).
    local smb=(-s "$TARGET/etc/smb.conf")
    on dc samba-tool group add tsl-ops "${smb[@]}" >/dev/null &&
        on dc samba-tool group addmembers tsl-ops "$USER_NAME" "${smb[@]}" >/dev/null ||
        bad "cannot create the group tsl-ops"
    dc_search "(sAMAccountName=tsl-ops)" member >/dev/null # on both DCs
    tool m1 permit --groups tsl-ops
    on dc samba-tool group rename tsl-ops --samaccountname=tsl-operators "${smb[@]}" >/dev/null ||
        bad "cannot rename the group tsl-ops"
    for ((i = 0; i < 40; i++)); do
        on m1 getent group "$NETBIOS_DOMAIN\\tsl-ops" >/dev/null || break
        sleep 0.5
    done
    expect "$user, in tsl-ops renamed tsl-operators" "0 $granted" "$status $(logins m1 "$USER_PASSWORD")"
    on dc samba-tool group delete tsl-operators "${smb[@]}" >/dev/null
    check "an unknown group" 3 "tslauth: The directory has no group 'no-such-group'" m1 permit --groups no-such-group
    check "a user given as a group" 3 "tslauth: '$user' is a user in the directory, not a group" m1 permit --groups "$USER_NAME"
    # The list survives a None / "Active Directory" cycle.
    before=$(on m1 cat $list)
    check "activate None" 0 "Active store: None" m1 activate None
    expect "PAM file as it was" "$(pam_policy without | cat -A)" "$(on m1 cat -A $file)"
    expect "$user, right password, store None" "$denied" "$(logins m1 "$USER_PASSWORD")"
    tool m1 activate "Active Directory"
    expect "the list after a None / Active Directory cycle" "$before" "$(on m1 cat $list)"
    check "permit --all" 0 "May log in: every directory user" m1 permit --all
    expect "$user, everyone permitted" "$granted" "$(logins m1 "$USER_PASSWORD")"
    check "activate None again" 0 "Active store: None" m1 activate None
}

login() { # HOST USER PASSWORD [KILL-AFTER]: one PAM conversation; sets login (its first line), ms
    local start=$(date +%s%N)
    login=$(timeout -s KILL "${4:-60}" "$lab_sh" run "$LAB" "$1" "$DIRECTORY_PROBE" pam tslauth-probe \
        "$2" "$3" 2>/dev/null | head -1) ms=$((($(date +%s%N) - start) / 1000000))
}
login_until() { # TRIES PAUSE HOST USER PASSWORD KILL-AFTER: login until it succeeds, at most TRIES
    local i
    for ((i = 0; i < $1; i++)); do
        login "${@:3}"
        [ "$login" = "authenticate 0 (Success)" ] && return
        sleep "$2"
    done
}
outage() { # frozen|unreachable: logins while no DC answers and once it answers again (times recorded)
    local kind=$1 stop=freeze start=thaw fresh="n${1:0:1}$$" later="l${1:0:1}$$" onset waiting back i
    [ "$kind" = frozen ] || stop=link-down start=link-up
    # Users who never log in before the outage (winbindd keeps its failed lookup of the first
    # for minutes: the second shows the return); the domain user logs in once (cached).
    for i in "$fresh" "$later"; do
        on dc samba-tool user create "$i" "$USER_PASSWORD" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1 ||
            bad "$kind: cannot create the user $i"
        dc_search "(sAMAccountName=$i)" dn >/dev/null # on both DCs
    done
    expect "$kind: $user logs in while the DC answers" "$granted" "$(logins m1 "$USER_PASSWORD")"
    "$lab_sh" "$stop" "$LAB" 2>/dev/null
    onset=$(date +%s%N)
    # A login that starts with the outage must end (within 20 s), whatever it answers.
    (login m1 "$user" "$USER_PASSWORD" 45 && echo "$ms ${login:-killed after 45 s}" >"$LAB/waiting") &
    sleep "$(awk -v t="$(( $(date +%s%N) - onset ))" 'BEGIN { s = 5 - t / 1e9; print (s > 0 ? s : 0) }')"
    login m1 "$user" "$USER_PASSWORD"
    expect "$kind: $user logs in from cache 5 s into the outage" "authenticate 0 (Success)" "$login"
    local cached=$ms
    login m1 "$NETBIOS_DOMAIN\\$fresh" "$USER_PASSWORD"
    [[ "$login" == "authenticate "[1-9]* ]] || bad "$kind: $fresh, never logged in, was not refused: $login"
    local never=$ms
    login m1 tsl-local "$USER_PASSWORD"
    expect "$kind: a local account logs in" "authenticate 0 (Success)" "$login"
    local local_ms=$ms
    wait
    waiting=$(cat "$LAB/waiting" 2>/dev/null)
    [[ "$waiting" != *killed* ]] || bad "$kind: a login waiting when the outage began did not end"
    # Once nothing waits for the DC any more (the login at 5 s queued behind the waiting one).
    login m1 "$user" "$USER_PASSWORD"
    expect "$kind: $user logs in from cache once no login waits" "authenticate 0 (Success)" "$login"
    local alone=$ms
    "$lab_sh" "$start" "$LAB" 2>/dev/null
    onset=$(date +%s%N)
    # Back online: a user never seen before logs in (tries until about 30 s, then gives up).
    login_until 60 0.5 m1 "$NETBIOS_DOMAIN\\$later" "$USER_PASSWORD" 20
    back=$((($(date +%s%N) - onset) / 1000000))
    expect "$kind: back online, $later logs in" "authenticate 0 (Success)" "$login"
    echo "outage $kind: cached login ${cached} ms (5 s in, behind the waiting one), ${alone} ms (alone); login waiting at the onset: ${waiting%% *} ms (${waiting#* }); never logged in: refused in ${never} ms; local: ${local_ms} ms; after the DC answered again: ${back} ms to a new user's login (that login ${ms} ms)"
}

case_frozen_dc() {
    local i
    ensure_joined m1
    # the DC runs again whatever happens
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1; "$lab_sh" link-up "$LAB" >/dev/null 2>&1' EXIT
    "$lab_sh" freeze "$LAB"
    tool m1 status --json --timeout 2
    local json=$out
    tool m1 status --timeout 2
    "$lab_sh" thaw "$LAB"
    # Exit 5 (timed out), two queries noted; they wait side by side: one time-out for the lot,
    # plus starting the command.
    expect "status with the DC frozen" "5 2" "$status $(grep -c '^Note: no answer to the' <<<"$out")"
    [ "$elapsed" -ge 2000 ] && [ "$elapsed" -le 3500 ] || bad "status should answer within about 2 s"
    # A new process: the domain from the host's own files, what the DC did not answer marked.
    expect "status with the DC frozen: the joined domain, the unanswered fields" "Domain:                $DNS_DOMAIN ($NETBIOS_DOMAIN)
Machine account:       (no answer within 2 s)
Trust state:           2 (no answer within 2 s)" "$(grep -e '^Domain:' -e '^Machine account:' -e '^Trust state:' <<<"$out")"
    expect "status --json with the DC frozen" "\"domain\": {\"dns_name\": \"$DNS_DOMAIN\", \"netbios_name\": \"$NETBIOS_DOMAIN\"}
\"unanswered_fields\": [\"machine_account\", \"trust_state\"]" \
        "$(grep -o -e '"domain": {[^}]*}' -e '"unanswered_fields": \[[^]]*\]' <<<"$json")"
    # The DC watcher may switch winbindd offline until a round after the thaw, and back online
    # at the next: back once the trust check passes twice, 2 s apart (for at most about 60 s).
    for ((i = 0; i < 60; i++)); do
        on m1 wbinfo -t &>/dev/null && sleep 2 && on m1 wbinfo -t &>/dev/null && break || sleep 0.5
    done
    # In one process: a 2 s store; the freeze and thaw come from the probe's own calls.
    # Frozen: the cached answer (2), or "no DC answered" (5) once the watcher switched winbindd
    # offline, which then answers at once.
    expect "one store: cached answers while frozen, fresh ones after the thaw" "healthy: $dn1 trust 1
frozen: $dn1 trust 2 or 5
thawed: $dn1 trust 1" "$(probe m1 frozen-dc 2 "$lab_sh freeze $LAB" "$lab_sh thaw $LAB" |
        sed '/^frozen: /s/ trust [25]$/ trust 2 or 5/')"
    # Logins: cached ones while the DC is frozen and while it is unreachable, and after it returns.
    on m1 sh -c 'id tsl-local >/dev/null 2>&1 || useradd -M tsl-local && echo "tsl-local:$1" | chpasswd' \
        sh "$USER_PASSWORD" || bad "no local account tsl-local"
    check activate 0 "Active store: Active Directory" m1 activate "Active Directory"
    outage frozen
    outage unreachable
    check "activate None" 0 "Active store: None" m1 activate None
}

case_leave() {
    ensure_joined m1
    ensure_joined m2 "OU=$OU_NAME,$BASE_DN"
    # Without credentials the DC keeps the account, which then refuses a join of the same name,
    # naming the way out; this host's own account is then taken over with --reuse-account.
    check leave 0 "Left the domain." m1 leave
    expect "leave without credentials: the note" "tslauth: note: this host's computer account stays on the domain controller; delete it there, or join this host again with --reuse-account" "$(grep "^tslauth: note" <<<"$err")"
    expect "leave: the Samba files it says it changed" "wrote /etc/samba/smb.conf
wrote /var/lib/samba/private/secrets.tdb" "$(changed)"
    expect "the account is kept, m1 no longer joined, its services stopped and disabled" \
        "$dn1 uac=4096
winbind stopped disabled
tslauth-dc-watch stopped disabled" "$(dc_account HV01; joined m1 && echo joined; services m1)"
    check "join over a kept account" 9 "$taken_join" m1 join "$DNS_DOMAIN" "${admin[@]}"
    check "join --reuse-account" 0 "Joined $DNS_DOMAIN." m1 join "$DNS_DOMAIN" --reuse-account "${admin[@]}"
    expect "the same account, enabled" "$dn1 uac=4096" "$(dc_account HV01)"
    check_member_joined m1 HV01
    # An account of a host's name that is not a member's computer account (a user's) never is.
    dc_delete_accounts "(sAMAccountName=web01\$)"
    on dc env SMB_CONF_PATH="$TARGET/etc/smb.conf" samba-tool user add 'web01$' "$ADMIN_PASSWORD" \
        -H "$TARGET/private/sam.ldb" >/dev/null || bad "cannot add the user web01\$"
    local before && before=$(dc_attribute web01 pwdLastSet)
    tool m3:web01 join "$DNS_DOMAIN" --reuse-account --skip-hostname-check "${admin[@]}"
    expect "a user's account is not taken over" "9 $before" "$status $(dc_attribute web01 pwdLastSet)"
    # With credentials: the account goes too.
    tool m2 leave "${admin[@]}" --json
    expect "leave with credentials --json: left, the Samba files it changed" '0 {"left": true,
{"change": "wrote /etc/samba/smb.conf", "file": "/etc/samba/smb.conf"}
{"change": "wrote /var/lib/samba/private/secrets.tdb", "file": "/var/lib/samba/private/secrets.tdb"}' \
        "$status $(grep -o -e '^{"left": true,' -e '{"change": "[a-z]* /[^"]*", "file": "[^"]*"}' <<<"$out")"
    expect "the account is deleted, m2 no longer joined" absent "$(dc_account HV02; joined m2 && echo joined)"
}

case_dcs() {
    # A preferred DC steers a join (the DC that makes the account) and winbindd. (Of several,
    # winbindd takes the first to answer: it asks them at once.)
    local dc1="$DC_NAME.$DNS_DOMAIN" dc2="$DC2_NAME.$DNS_DOMAIN"
    ensure_left m2
    dc_delete_accounts "(sAMAccountName=HV02\$)"
    check "dcs: none set" 0 "Preferred controllers: (none)" m2 dcs
    check "join --server dc2" 0 "Joined $DNS_DOMAIN." m2 join "$DNS_DOMAIN" --server "$dc2" "${admin[@]}"
    on m2 wbinfo -t >/dev/null 2>&1
    expect "join --server dc2: the account made on dc2, dc2 preferred, winbindd on it" "dc2
$dc2 *
$dc2 ($DC2_IP)" "$(made_on HV02; on m2 testparm -s --parameter-name='password server' 2>/dev/null
        on m2 wbinfo --dc-info="$NETBIOS_DOMAIN")"
    # winbindd confirms the trust through dc1 only once dc1 holds the account dc2 made: after
    # an outage the DCs may wait minutes before they pull again.
    dc_account HV02 >/dev/null
    check "dcs dc1" 0 "Preferred controllers: $dc1" m2 dcs "$dc1"
    expect "dcs: winbindd restarted, now on dc1" "restarted winbind
$dc1 ($DC_IP)" "$(changed_services; on_preferred m2 "$dc1")"
    check "dcs --clear" 0 "Preferred controllers: (none)" m2 dcs --clear
    tool m2 leave "${admin[@]}"
    expect "left with credentials: the account is gone from both DCs" "0 absent" "$status $(dc_account HV02)"
}
changed_services() { grep -o '^tslauth: changed: restarted winbind$' <<<"$err" | sed 's/^tslauth: changed: //'; }
# HOST DC: winbindd's DC once it connected (--dc-info gives the DC last recorded, so winbindd
# must have confirmed the trust first: a winbindd just restarted may not answer yet). winbindd
# takes the first of the DCs it may use to answer, the preferred one first: the preference is
# set again (winbindd restarted) up to four times when another won that race.
on_preferred() {
    local i j dc
    for ((i = 0; i < 5; i++)); do
        for ((j = 0; j < 30; j++)); do
            on "$1" wbinfo -t >/dev/null 2>&1 && break
            sleep 1
        done
        dc=$(on "$1" wbinfo --dc-info="$NETBIOS_DOMAIN")
        [[ "$dc" == "$2 "* ]] && break
        ((i == 4)) || tool "$1" dcs "$2"
    done
    echo "$dc"
}

until_trusted() { # HOST WHAT: status asked every second until fresh and trusted (at most 60 s)
    local i
    for ((i = 0; i < 60; i++)); do
        tool "$1" status --json --timeout 5
        [ "$status" = 0 ] && [[ "$out" == *'"trust_state_name": "trusted"'* ]] && break
        sleep 1
    done
    expect "$2" "0 trusted" "$status $(sed -n 's/.*"trust_state_name": "\([a-z ]*\)".*/\1/p' <<<"$out")"
}

# m1's DC (dc2) has just been lost (WHAT names how): status answers within its time-out,
# whatever it has, then fresh and trusted again (through dc1), and the domain user logs in.
# Sets onset, first (status's first answer), t_trusted and t_login (ms).
after_loss() {
    onset=$(date +%s%N)
    tool m1 status --json --timeout 5
    first="exit $status in $elapsed ms"
    [ "$elapsed" -le 6500 ] || bad "$1: status answered after $elapsed ms, not within its 5 s"
    until_trusted m1 "$1: status fresh and trusted again"
    t_trusted=$(since "$onset")
    login m1 "$user" "$USER_PASSWORD"
    expect "$1: $user logs in" "authenticate 0 (Success)" "$login"
    t_login=$ms
}

case_failover() {
    # The DC in use (dc2, preferred) stops; dc1 serves DNS and takes over. Joins are made by
    # fresh hosts on m3's network (hv05): the members' own state stays as the other cases need it.
    local fresh="fo$$" dc1="$DC_NAME.$DNS_DOMAIN" dc2="$DC2_NAME.$DNS_DOMAIN" onset i first
    local t_trusted t_login t_fresh t_join frozen unreachable
    ensure_joined m1
    dc_delete_accounts "(|(sAMAccountName=HV05\$)(sAMAccountName=$fresh))"
    on dc samba-tool user create "$fresh" "$USER_PASSWORD" -s "$TARGET/etc/smb.conf" >/dev/null 2>&1 ||
        bad "cannot create the user $fresh"
    dc_search "(sAMAccountName=$fresh)" dn >/dev/null # on both DCs
    tool m1 dcs "$dc2"
    expect "m1's winbindd on its preferred DC" "$dc2 ($DC2_IP)" "$(on_preferred m1 "$dc2")"
    check activate 0 "Active store: Active Directory" m1 activate "Active Directory"
    expect "$user logs in while both DCs answer" "$granted" "$(logins m1 "$USER_PASSWORD")"
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1; "$lab_sh" link-up "$LAB" >/dev/null 2>&1' EXIT
    "$lab_sh" freeze "$LAB" dc2 2>/dev/null
    after_loss failover
    frozen="status answered $first, fresh and trusted after ${t_trusted} ms; $user login ${t_login} ms"
    # A user who never logged in on m1: only a DC can let them in.
    onset=$(date +%s%N)
    login_until 30 1 m1 "$NETBIOS_DOMAIN\\$fresh" "$USER_PASSWORD" 60
    t_fresh=$(since "$onset")
    expect "failover: $fresh, never logged in before, logs in" "authenticate 0 (Success)" "$login"
    # A join that prefers the frozen DC: the account is made on the one that answers.
    tool m3:hv05 join "$DNS_DOMAIN" --server "$dc2" "${admin[@]}"
    t_join=$elapsed
    expect "failover: join --server dc2 while dc2 is frozen" "0 dc1" "$status $(made_on HV05)"
    "$lab_sh" thaw "$LAB" 2>/dev/null
    dc_delete_accounts "(sAMAccountName=HV05\$)"
    # The same with dc2's link down instead: its packets are lost, connections to it time out.
    expect "m1's winbindd back on dc2" "$dc2 ($DC2_IP)" "$(on_preferred m1 "$dc2")"
    "$lab_sh" link-down "$LAB" dc2 2>/dev/null
    after_loss "link down"
    unreachable="status answered $first, fresh and trusted after ${t_trusted} ms, $user login ${t_login} ms"
    "$lab_sh" link-up "$LAB" 2>/dev/null
    check "dcs --clear" 0 "Preferred controllers: (none)" m1 dcs --clear
    check "activate None" 0 "Active store: None" m1 activate None
    echo "failover (dc2, the DC in use, frozen; dc1 answers DNS): $frozen; $fresh (never logged in) in after ${t_fresh} ms; join --server dc2 ${t_join} ms; dc2's link down: $unreachable"
}

case_interrupted_join() {
    # dc2 stops in the middle of a join made through it: the host is left as it was (no
    # machine secret, the standalone smb.conf naming dc2 that --server wrote, no keytab), and
    # the account is gone from both DCs, or the message names it. A fresh host on m3's network
    # (hv05) joins: the members' own state stays as the other cases need it.
    local dc2="$DC2_NAME.$DNS_DOMAIN" onset state t_mid outcome
    dc_delete_accounts "(sAMAccountName=HV05\$)"
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1' EXIT
    onset=$(date +%s%N)
    (sleep 0.4 && "$lab_sh" freeze "$LAB" dc2 2>/dev/null) &
    state=$("$lab_sh" run-as "$LAB" m3 hv05 sh -c '"$1" join "$2" --server "$3" --user "$4" \
        --password-file "$5" >/dev/null 2>"$6"; echo "exit $?"; net ads testjoin >/dev/null 2>&1 &&
        echo joined; testparm -s --parameter-name=security 2>/dev/null; ls /etc/krb5.keytab 2>/dev/null
        true' sh "$TSLAUTH_TOOL" "$DNS_DOMAIN" "$dc2" "$ADMIN_USER" "$LAB/admin-password" \
        "$LAB/tool-stderr")
    wait
    t_mid=$(since "$onset") err=$(cat "$LAB/tool-stderr")
    "$lab_sh" thaw "$LAB" 2>/dev/null
    if [[ "$state" == "exit 0"* ]]; then
        outcome="joined through dc1"
        expect "interrupted join that succeeded" "CN=HV05,CN=Computers,$BASE_DN uac=4096" "$(dc_account HV05)"
    else
        outcome="failed (${state%%$'\n'*})"
        expect "interrupted join: the host not joined, standalone, no keytab" "USER" "$(sed 1d <<<"$state")"
        # An account dc2 made and could not delete while it was frozen: the message says so.
        [ "$(dc_account HV05)" = absent ] ||
            [[ "$err" == *"'HV05\$' this join "*"made on $dc2 could not be deleted"* ]] ||
            [[ "$err" == *"a computer account of its name may have been made"* ]] ||
            bad "interrupted join: HV05 is left on the DCs and the message does not say so: $err"
        # libnet tells a DC it could not reach over LDAP with the statuses of other failures.
        [[ "$err" != *"container does not exist"* && "$err" != *"device attached"* ]] ||
            bad "interrupted join: the message blames another cause than the DC: $err"
    fi
    dc_delete_accounts "(sAMAccountName=HV05\$)"
    echo "a join through dc2 interrupted by dc2's freeze 0.4 s in: $outcome after ${t_mid} ms"
}

proxy_up() { # [DC-TIMEOUT]: the enrolment service on the proxy host
    "$lab_sh" proxy-start "$LAB" "${1:-}"
    case $? in 0) ;; 77) exit 77 ;; *) bad "tslauth-proxyd does not start" && finish ;; esac
}
# The service's log since the mark, and its requests: "ADDRESS METHOD PATH host NAME: HTTP status N".
mark() { lines=$(wc -l <"$LAB/logs/proxyd.log"); }
since_mark() { tail -n "+$((lines + 1))" "$LAB/logs/proxyd.log"; }
requests() {
    since_mark | sed -n 's/^.*: \([0-9.]* [A-Z]* \/[^ ]* host [^ ]*: [0-9]* status [0-9]*\).*$/\1/p'
}
proxy_client() { # HOST: asks through the qapclient plug-in, pinning the service's thumbprint
    on "$1" sh -c 'cd /etc/ostrel && echo "provider = qapclient" >tslauth/qapprovider.conf &&
        : >>tslauth/qapservers.conf && echo "UserVars.ActiveDirectoryVerifyQAPCertificate = int:1" \
        >hostctl/advanced-options.conf' || bad "cannot configure the proxy client on $1"
    tool "$1" import-certificate "$LAB/proxy-certificate.pem" "$PROXY_IP"
    [ "$status" = 0 ] || bad "$1: import-certificate"
}

case_proxy_join() {
    proxy_up
    ensure_left m2
    dc_delete_accounts "(sAMAccountName=HV02\$)"
    proxy_client m2
    mark
    # No credentials: the member holds none, and the service's account makes the computer.
    check join-proxy 0 "Joined through the authentication proxy $PROXY_IP." m2 join-proxy "$PROXY_IP"
    expect "join-proxy: the Samba files it says it changed" "wrote /etc/samba/smb.conf
wrote /var/lib/samba/private/secrets.tdb
wrote /etc/krb5.keytab" "$(changed)"
    expect "the service answered the domain question once and created one account" \
        "$IP_M2 GET /v1/domain host -: 200 status 0
$IP_M2 POST /v1/machine-accounts host hv02.$DNS_DOMAIN: 201 status 0" "$(requests)"
    # The DNS host name comes from the service's own smb.conf for the domain.
    expect "the DC has the account in $OU_NAME, named in the domain" \
        "$dn2 uac=4096 dNSHostName=hv02.$DNS_DOMAIN" \
        "$(dc_account HV02) dNSHostName=$(dc_attribute HV02 dNSHostName)"
    check_member_joined m2 HV02
    check "status after the join through the service" 0 "$(status_json "$dn2")" m2 status --json
}

case_proxy_refusals() {
    local before i frozen late
    proxy_up
    dc_delete_accounts "(|(sAMAccountName=HV03\$)(sAMAccountName=HV04\$))"
    # An address the service does not serve: refused at the first request.
    proxy_client m4
    mark
    check "address not allowed" 4 "tslauth: the service at $PROXY_IP does not let this host's address enrol: its allow list (allow = lines in /etc/tslauth-proxyd/proxyd.conf) must name it
tslauth: the authentication proxy or the directory refused access: check that the proxy serves this host's address and may add computers to the domain (status 5)" \
        m4 join-proxy "$PROXY_IP"
    expect "address not allowed: refused by the service" "$IP_M4 GET /v1/domain host -: 403 status 5" \
        "$(requests)"
    # A name another joined host holds: refused, and that host's trust stays good.
    ensure_joined m2 "OU=$OU_NAME,$BASE_DN"
    proxy_client m3
    before=$(dc_attribute HV02 pwdLastSet)
    mark
    check "name taken" 9 "$taken" m3:hv02 join-proxy "$PROXY_IP"
    expect "name taken: refused by the service" \
        "$IP_M3 POST /v1/machine-accounts host hv02.$DNS_DOMAIN: 409 status 1316" "$(requests | grep POST)"
    expect "name taken: the account's password was not reset, m2's trust holds" "$before trusted" \
        "$(dc_attribute HV02 pwdLastSet) $(on m2 wbinfo -t &>/dev/null && echo trusted)"
    # The DC frozen behind the service: its dc-timeout, then a time-out; the account request waits.
    tool m3 proxy-domain "$PROXY_IP"
    trap '"$lab_sh" thaw "$LAB" >/dev/null 2>&1; "$lab_sh" link-up "$LAB" >/dev/null 2>&1' EXIT
    "$lab_sh" freeze "$LAB"
    mark
    tool m3 join-proxy "$PROXY_IP"
    frozen="$status $err" late=$((elapsed - PROXY_DC_TIMEOUT * 1000))
    # The name is held until the provisioning, which runs on, has ended and been undone.
    tool m3 join-proxy "$PROXY_IP"
    expect "DC frozen: the name is held while its provisioning runs on" "9 $taken" "$status $err"
    "$lab_sh" thaw "$LAB"
    expect "DC frozen: exit status (timed out) and message" "5 tslauth: the domain controller of the domain did not answer in time: check that it runs and is reachable, then try again (status 10060)" "$frozen"
    expect "DC frozen: the service timed the request out, then refused the name" \
        "$IP_M3 POST /v1/machine-accounts host hv03.$DNS_DOMAIN: 504 status 10060
$IP_M3 POST /v1/machine-accounts host hv03.$DNS_DOMAIN: 409 status 1316" "$(requests | grep POST)"
    [ "$late" -ge 0 ] && [ "$late" -le 2500 ] ||
        bad "DC frozen: answered $late ms after the dc-timeout, not within about $PROXY_DC_TIMEOUT s"
    # Thawed, the late provisioning ends and is undone: no account, nothing of a join anywhere.
    # (The log line follows the deletion's helper run; the provisioning's helper, when it
    # succeeded, waits for the next request as the service's other long-lived helpers do.)
    for ((i = 0; i < 900; i++)); do since_mark | grep -q 'HV03\$: ' && break || sleep 0.1; done
    [ "$i" -lt 900 ] || bad "DC frozen: the late provisioning of HV03 did not end within 90 s"
    expect "no account for HV03 or HV04" "absent absent" "$(dc_account HV03) $(dc_account HV04)"
    expect "m3 and m4 never joined" "" "$(for i in m3 m4; do on $i sh -c \
        'ls /var/lib/samba/private/secrets.tdb /etc/samba/smb.conf /etc/krb5.keytab 2>/dev/null'; done)"
}
enrol_one() { # MEMBER NAME: one join (it checks its keytab as the machine), printing "NAME exit STATUS"
    "$lab_sh" run-as "$LAB" "$1" "$2" "$TSLAUTH_TOOL" join-proxy "$PROXY_IP" &>"$LAB/load/$2.log"
    echo "$2 exit $?"
}
request_one() { # MEMBER NAME: a join's requests to the service without the join: "NAME ACCOUNT"
    echo "$2 $("$lab_sh" run "$LAB" "$1" "$DIRECTORY_PROBE" enrol "$PROXY_IP" "$2.$DNS_DOMAIN" 2>&1)"
}
case_proxy_load() {
    local pid before i n=50 joins=8 sanitized=no
    # 50 enrolments, 8 at a time (the default dc-timeout: they keep the DC busy), from m1..m3.
    # The first 8 are whole joins, all at once; the others make only a join's requests (the
    # proxy client through the library, TLS and the pinned thumbprint included): the service
    # sees the same, and the host's side of a join, a winbindd's start above all, would cost
    # each several times the service's work.
    proxy_up 30
    for i in m1 m2 m3; do proxy_client "$i" >/dev/null; done
    dc_delete_accounts "(sAMAccountName=LOAD*)"
    rm -rf "$LAB/load" && mkdir -p "$LAB/load"
    pid=$(cat "$LAB/pids/proxyd")
    # A sanitizer's build makes 16, two rounds of the 8 at once, which take every path the 50
    # take at several times the processor time each; the plain build's 50 bound the memory.
    ! grep -q -e libasan -e libtsan "/proc/$pid/maps" || sanitized=yes n=16
    rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; } && before=$(rss)
    mark
    export -f enrol_one request_one && export lab_sh LAB TSLAUTH_TOOL PROXY_IP DIRECTORY_PROBE DNS_DOMAIN
    for i in $(seq $n); do
        printf '%s m%d load%02d\n' "$( ((i > joins)) && echo request || echo enrol)" $((i % 3 + 1)) "$i"
    done >"$LAB/load/work"
    # Each line: KIND MEMBER NAME, run as KIND_one MEMBER NAME.
    xargs -P 8 -L 1 bash -c '"${0}_one" "$@"' <"$LAB/load/work" | sort >"$LAB/load/results"
    expect "$joins joins, then a join's requests $((n - joins)) times" "$(awk '
        { print $3, ($1 == "enrol" ? "exit 0" : toupper($3) "$") }' "$LAB/load/work")" \
        "$(cat "$LAB/load/results")"
    expect "each account exists once, in $OU_NAME" "$(printf "CN=LOAD%02d,OU=$OU_NAME,$BASE_DN uac=4096\n" \
        $(seq $n))" "$(dc_accounts '(sAMAccountName=LOAD*)')"
    expect "the service created each account once" "$(printf 'load%02d 201\n' $(seq $n))" "$(requests |
        grep POST | sed -n "s/^.* host \(load[0-9]*\)\.$DNS_DOMAIN: \([0-9]*\) .*/\1 \2/p" | sort)"
    # The sanitizers' runtimes keep freed memory on purpose: no bound applies there.
    [ "$sanitized" = yes ] || [ "$(rss)" -le $((before + 16384)) ] ||
        bad "the service's VmRSS grew by more than 16 MiB: $before kB before, $(rss) kB after"
}

case ${1:-} in
    up | down)
        # A run killed before its cleanup may have left a lab: "up" takes it down first.
        [ ! -f "$pointer" ] || { "$lab_sh" down "$(cat "$pointer")"; rc=$? && rm -f "$pointer"; }
        [ "$1" = down ] && exit "${rc:-0}"
        lab=$("$lab_sh" up "${@:2}") || exit
        printf '%s\n' "$lab" >"$pointer.new" && mv "$pointer.new" "$pointer"; exit
        ;;
esac
declare -F "case_${1//-/_}" >/dev/null || { sed -n '2,3p' "$0" >&2 && exit 2; }
[ -f "$pointer" ] || { echo "skipped: no lab is running (its setup was skipped)" && exit 77; }
# shellcheck source=/dev/null
. "$(cat "$pointer")/lab.env"
: "${TSLAUTH_TOOL:?}" "${DIRECTORY_PROBE:?}"
(umask 077 && printf '%s\n' "$ADMIN_PASSWORD" >"$LAB/admin-password" &&
    printf 'not-%s\n' "$ADMIN_PASSWORD" >"$LAB/wrong-password")
admin=(--user "$ADMIN_USER" --password-file "$LAB/admin-password")
user="$NETBIOS_DOMAIN\\$USER_NAME" lab_user="$TRUST_NETBIOS_DOMAIN\\$TRUST_USER_NAME"
# The forest trust as a member sees it: both ways (0x22), asked by either name.
trusted="trusted: DNS Name: $TRUST_DNS_DOMAIN, NetBIOS Name: $TRUST_NETBIOS_DOMAIN, relationship 0x22 / 0x22"
dn1="CN=HV01,CN=Computers,$BASE_DN" dn2="CN=HV02,OU=$OU_NAME,$BASE_DN"
granted="authenticate 0 (Success)
account 0 (Success)
user $user" taken="tslauth: the domain already has a computer account of this host's name: it belongs to another host of that name, or to an earlier join of this host; if it is this host's, delete it in the domain and try again (status 1316)"
taken_join="tslauth: the domain $DNS_DOMAIN already has a computer account of this host's name: it belongs to another host of that name, or to an earlier join of this host that left without credentials. If it is this host's, run the join again with --reuse-account (its password is reset); if not, give this host another name or delete that account (status 1316)
tslauth: the provider says: the domain already has a computer account 'HV01\$'; it belongs to another host or to an earlier join of this one"
"case_${1//-/_}"
finish
