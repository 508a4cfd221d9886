#!/bin/sh
# Fails when the library exports anything besides its two public namespaces: a leaked helper
# or standard-library instantiation would become part of the ABI by accident.
set -u
library=${1:?usage: check_exports.sh LIBRARY}
symbols=$(nm -D --defined-only -C "$library") || { echo "nm failed on '$library'" >&2; exit 1; }
# "ADDRESS TYPE NAME", the name demangled; the version node shows as an absolute symbol.
names=$(printf '%s\n' "$symbols" | sed -n 's/^[0-9a-fA-F]* *[A-Za-z] //p')
count=$(printf '%s\n' "$names" | grep -c .)
[ "$count" -gt 0 ] || { echo "no exported symbols found in '$library'" >&2; exit 1; }
allowed='^((typeinfo for |typeinfo name for |vtable for |VTT for |construction vtable for |(non-)?virtual thunk to |covariant return thunk to )?(ostrel|SystemConfiguration)::|TSLAUTH_[0-9_]+$)'
if offending=$(printf '%s\n' "$names" | grep -Ev "$allowed"); then
    echo "symbols exported outside ostrel:: and SystemConfiguration:: from '$library':" >&2
    printf '%s\n' "$offending" >&2
    exit 1
fi
echo "$count exported symbols, all in the public namespaces"
