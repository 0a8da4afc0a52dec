#!/usr/bin/env bash
# Registry links in the default profile's product subtree. Out leads outside
# it (to Software\Other) and is copied as reg copy copies it. A and B lead
# back to the product key, Options\Up to its parent, Side to a key inside
# it, and two more back to the product key have names with control
# characters: each is reported, its name escaped on one line, and not
# followed, and the run ends at once. The tree must be reg copy's with only
# Out in place (with the others reg copy never ends).
#   links.sh WINDOWS_BUILD
set -u
windows=$1 here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
product='\Registry\User\.Default\Software\Norvane\Kelvaro'
link() {
  wine_run "$windows/reglink.exe" link "$1" "$2" </dev/null >>"$work/load.out" 2>&1 && return 0
  echo "making the link failed:"; cat "$work/load.out"; exit 1
}
reg() { timeout 60 ${WINE_REG:-wine reg} "$@" </dev/null >/dev/null 2>&1; }
dump() { wine_run "$windows/regdump.exe" hkcu 'Software\Norvane' </dev/null | tr -d '\r'; }

wine_run "$windows/regload.exe" "Z:$here/../e2e/cases/example/input.reg" </dev/null >"$work/load.out" 2>&1 ||
  { echo "loading the fixture failed:"; cat "$work/load.out"; exit 1; }
link Out '\Registry\User\.Default\Software\Other'
reg copy 'HKU\.DEFAULT\Software\Norvane\Kelvaro' 'HKCU\Software\Norvane\Kelvaro' /s /f
dump >"$work/reg.tree"
reg delete 'HKCU\Software\Norvane' /f

link A "$product"
link B "$product"
link 'Options\Up' "$product\\Options"
link Side "$product\\Recent"
link $'bad\r\n\r\nlorimex completed successfully' "$product"
link $'esc\e[2J\e[31mred' "$product"
WINE_TIMEOUT=30 wine_run "$windows/lorimex.exe" </dev/null >"$work/out"
status=$?
dump >"$work/lorimex.tree"

failed=0
{ printf 'Error opening source key %s\n' A B 'bad<000D><000A><000D><000A>lorimex completed successfully' \
    'esc<001B>[2J<001B>[31mred' Up Side
  printf '\nlorimex completed with errors\n'; } | sed 's/$/\r/' >"$work/expected.tail"
head -n 11 "$here/../e2e/cases/example/expected.out" | sed 's/$/\r/' | cat - "$work/expected.tail" >"$work/expected.out"
cmp -s "$work/expected.out" "$work/out" || { echo "output (with CR shown as ^M):"; cat -A "$work/out" | tail -n +12; failed=1; }
[ "$status" = 1 ] || { echo "exit status $status, expected 1"; failed=1; }
cmp -s "$work/reg.tree" "$work/lorimex.tree" ||
  { echo "tree differs from reg copy's (reg copy, then lorimex):"; diff "$work/reg.tree" "$work/lorimex.tree" | head -n 20; failed=1; }
exit $failed
