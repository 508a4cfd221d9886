#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing, and keeps
# the build machine's own services, name-service switch and PAM stack free of the directory
# packages' side effects.
# Usage: ensure-deps.sh [i386] [packaging]
#   i386       also what the 32-bit build needs (g++-multilib, the i386 -dev packages, and the
#              i386 PAM modules that the judged PAM tests load)
#   packaging  also what building the Debian packages needs (debhelper, lintian)
set -euo pipefail
# openssl makes the tour's proxy certificate (tools/tour.sh); groff-base renders the manual
# page in its test; clang-14 and its runtime libraries build and run the fuzz targets
# (tools/fuzz.sh).
packages=(g++ cmake ninja-build pkg-config libboost-dev libssl-dev libgtest-dev iproute2 util-linux
          openssl groff-base clang-14 libclang-rt-14-dev)
# The samba provider plug-in's libraries (plugins/samba).
packages+=(samba-dev libwbclient-dev libldap-dev libsasl2-dev libkrb5-dev libtdb-dev libtalloc-dev)
# HTTPS and JSON for the enrolment service (proxy/) and the proxy-client plug-in.
packages+=(libcpp-httplib-dev nlohmann-json3-dev)
# The directory suite (tests/directory): a domain controller, a member with winbindd, its PAM
# and NSS modules and GSSAPI for LDAP, and the tools that tell when the controller is ready.
packages+=(samba-ad-dc samba-ad-provision winbind libpam-winbind libnss-winbind
           libsasl2-modules-gssapi-mit krb5-user ldb-tools bind9-host libpam0g-dev)
foreign_architecture=
for group in "$@"; do
    case $group in
    i386)
        foreign_architecture=i386
        packages+=(g++-multilib libssl-dev:i386 libgtest-dev:i386
                   samba-dev:i386 libwbclient-dev:i386 libldap-dev:i386 libkrb5-dev:i386
                   libtdb-dev:i386 libtalloc-dev:i386 libcpp-httplib-dev:i386 libpam0g-dev:i386
                   libpam-modules:i386)
        ;;
    packaging) packages+=(build-essential debhelper dpkg-dev lintian) ;;
    *)
        echo "ensure-deps.sh: unknown group '$group'" >&2
        exit 2
        ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "Packages are missing and this is not root: install them first: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$foreign_architecture" ] &&
        ! dpkg --print-foreign-architectures | grep -qx "$foreign_architecture"; then
        dpkg --add-architecture "$foreign_architecture"
    fi
    # The Samba packages would start their daemons on this machine: a policy that refuses
    # every start while they are installed. A policy the machine already has stays.
    policy=/usr/sbin/policy-rc.d
    made_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy.tslauth"
        chmod 755 "$policy.tslauth"
        mv -f "$policy.tslauth" "$policy"
        made_policy=1
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    if [ -n "$made_policy" ]; then
        rm -f "$policy"
        trap - EXIT
    fi
fi

# The directory suite runs its controller and winbindd in namespaces of its own; on the
# build machine they stay disabled, and the machine's users and logins stay its own:
# libnss-winbind's first install adds winbind to passwd and group in /etc/nsswitch.conf, and
# libpam-winbind enables pam_winbind in /etc/pam.d/common-*, while only libtslauth decides
# where pam_winbind goes on a host. Checked on every run, so that packages installed
# earlier by other means are put right too.
fixes=()
for service in samba-ad-dc smbd nmbd winbind; do
    if command -v systemctl >/dev/null &&
        [ "$(systemctl is-enabled "$service.service" 2>/dev/null)" = enabled ]; then
        fixes+=("systemd $service")
    fi
    if [ -e "/etc/init.d/$service" ] && compgen -G "/etc/rc[2-5].d/S[0-9][0-9]$service" >/dev/null; then
        fixes+=("sysv $service")
    fi
done
nss_winbind='^(passwd|group):.*[[:space:]]winbind\b'
if grep -Eq "$nss_winbind" /etc/nsswitch.conf 2>/dev/null; then
    fixes+=(nsswitch)
fi
# pam-auth-update enables a profile it has not seen yet whenever any package runs it, so
# the profile is disabled (which marks it seen), not only taken out of the files.
common_pam=(/etc/pam.d/common-{auth,account,password,session,session-noninteractive})
if [ -e /usr/share/pam-configs/winbind ] &&
    { grep -qs pam_winbind "${common_pam[@]}" || ! grep -qsx winbind /var/lib/pam/seen; }; then
    fixes+=(pam)
fi
if [ ${#fixes[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "ensure-deps.sh: not root, so left as it is: ${fixes[*]}" >&2
        exit 0
    fi
    for fix in "${fixes[@]}"; do
        case $fix in
        systemd\ *)
            echo "Disabling ${fix#systemd }.service on this machine"
            systemctl disable --quiet "${fix#systemd }.service"
            ;;
        sysv\ *)
            echo "Disabling the ${fix#sysv } init script on this machine"
            update-rc.d "${fix#sysv }" disable >/dev/null
            ;;
        nsswitch)
            echo "Taking winbind out of /etc/nsswitch.conf"
            sed -E '/^(passwd|group):/ s/[[:space:]]+winbind\b([[:space:]]*\[[^]]*\])*//' \
                /etc/nsswitch.conf >/etc/nsswitch.conf.tslauth
            chmod --reference=/etc/nsswitch.conf /etc/nsswitch.conf.tslauth
            mv -f /etc/nsswitch.conf.tslauth /etc/nsswitch.conf
            ;;
        pam)
            echo "Disabling pam_winbind in /etc/pam.d/common-*"
            DEBIAN_FRONTEND=noninteractive pam-auth-update --package --disable winbind
            if grep -qs pam_winbind "${common_pam[@]}"; then
                echo "ensure-deps.sh: /etc/pam.d/common-* has local changes, so pam-auth-update" \
                    "left pam_winbind in it; take it out by hand" >&2
            fi
            ;;
        esac
    done
fi
