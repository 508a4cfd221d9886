#!/bin/sh
# Fails on any formatter warning about the manual page, and on any command of the tool's own
# --help that the page does not describe. Usage: check_manpage.sh PAGE TOOL
set -u
page=$1 tool=$2
command -v groff >/dev/null 2>&1 || { echo "groff is not installed; skipping"; exit 77; }
warnings=$(groff -man -Tascii -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { printf 'groff warns about %s:\n%s\n' "$page" "$warnings" >&2; exit 1; }
# Plain text at a width where no synopsis wraps before the command name.
text=$(groff -man -Tascii -P-cbou -rLL=200n "$page" 2>/dev/null) || exit 1
help=$("$tool" --help) || { echo "$tool --help failed" >&2; exit 1; }
# One synopsis line per command in --help: "  tslauth join DOMAIN...", "  tslauth pam show ...".
names=$(printf '%s\n' "$help" | awk '/^  tslauth / {print ($2 == "pam" ? $2 "_" $3 : $2)}')
[ -n "$names" ] || { echo "no commands in '$tool --help'" >&2; exit 1; }
status=0
for name in $names; do
    name=$(printf '%s' "$name" | tr _ ' ')
    printf '%s\n' "$text" | grep -q "^       $name\( \|$\)" ||
        { echo "the manual page does not describe: tslauth $name" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "$page renders cleanly and describes every command"
exit "$status"
