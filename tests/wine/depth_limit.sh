#!/usr/bin/env bash
# A product subtree deeper than the copy goes: a chain of 1,000 keys,
# deeper than the 512 levels that Wine's registry holds and the Linux one
# refuses (made beside the merge fixture, whose other keys the copy must take
# too). Under Wine the copy must stop at 512 levels within seconds, report
# the key it did not open, and end with the failed verdict.
#   depth_limit.sh WINDOWS_BUILD chain
set -u
windows=$1 mode=$2
. "$(dirname "$0")/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cases=$(dirname "$0")/../e2e/cases
case $mode in
  chain) cut_off=L513 make=(chain 1000) fixture=$cases/merge/input.reg ;;
  *) echo "usage: depth_limit.sh WINDOWS_BUILD chain"; exit 2 ;;
esac
wine_run "$windows/regload.exe" "Z:$fixture" </dev/null >"$work/load.out" 2>&1 &&
  wine_run "$windows/reglink.exe" "${make[@]}" </dev/null >>"$work/load.out" 2>&1 ||
  { echo "setting up the tree failed:"; cat "$work/load.out"; exit 1; }
WINE_TIMEOUT=120 wine_run "$windows/lorimex.exe" </dev/null | tr -d '\r' >"$work/out"
status=${PIPESTATUS[0]}

failed=0
[ "$status" = 1 ] || { echo "exit status $status, expected 1"; failed=1; }
[ "$(tail -n 1 "$work/out")" = "lorimex completed with errors" ] || { echo "no failed verdict"; failed=1; }
grep -qx "Error opening source key $cut_off" "$work/out" || { echo "$cut_off was not reported"; failed=1; }
# Below the banner only depth-limit lines may appear: every other key is
# copied.
unexpected=$(tail -n +12 "$work/out" | grep -v -x -e '' -e 'lorimex completed with errors' \
  -e 'Error opening source key [A-Za-z0-9]*' | head -n 5)
[ -z "$unexpected" ] || { echo "unexpected lines:"; echo "$unexpected"; failed=1; }
# The copy went exactly 512 levels deep.
depth=$(wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro' </dev/null | tr -d '\r' |
  awk '!/^ / { n = gsub(/\\/, "\\"); if (n > max) max = n } END { print max - 1 }')
[ "$depth" = 512 ] || { echo "copied $depth levels, expected 512"; failed=1; }
exit $failed
