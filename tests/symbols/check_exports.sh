#!/bin/sh
# Fails when the library exports anything besides its two public namespaces: a leaked
# helper or standard-library instantiation would become part of the ABI by accident.
# Usage: check_exports.sh LIBRARY
set -u
library=${1:?usage: check_exports.sh LIBRARY}

if ! symbols=$(nm -D --defined-only -C "$library"); then
    echo "nm failed on '$library'" >&2
    exit 1
fi

# "ADDRESS TYPE NAME"; the name may contain blanks once demangled. The version node
# itself shows up as an absolute symbol of the map's node name.
names=$(printf '%s\n' "$symbols" | sed -n 's/^[0-9a-fA-F]* *[A-Za-z] //p')
count=$(printf '%s\n' "$names" | grep -c .)
if [ "$count" -eq 0 ]; then
    echo "no exported symbols found in '$library'" >&2
    exit 1
fi

allowed='^((typeinfo for |typeinfo name for |vtable for |VTT for |construction vtable for |(non-)?virtual thunk to |covariant return thunk to )?(ostrel|SystemConfiguration)::|TSLAUTH_[0-9_]+$)'
offending=$(printf '%s\n' "$names" | grep -Ev "$allowed")
if [ -n "$offending" ]; then
    echo "symbols exported outside ostrel:: and SystemConfiguration:: from '$library':" >&2
    printf '%s\n' "$offending" >&2
    exit 1
fi
echo "$count exported symbols, all in the public namespaces"
