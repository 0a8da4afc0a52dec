#!/usr/bin/env bash
# A key of the default profile's product subtree that links back to the
# product key: under Wine the copy must stop at the registry's nesting limit
# within seconds, report it, and end with the failed verdict.
#   link_loop.sh WINDOWS_BUILD FIXTURE.reg
set -u
windows=$1 fixture=$2
. "$(dirname "$0")/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

wine_run "$windows/regload.exe" "Z:$fixture" </dev/null >"$work/load.out" 2>&1 &&
  wine_run "$windows/reglink.exe" </dev/null >>"$work/load.out" 2>&1 ||
  { echo "setting up the loop failed:"; cat "$work/load.out"; exit 1; }
WINE_TIMEOUT=120 wine_run "$windows/lorimex.exe" </dev/null | tr -d '\r' >"$work/out"
status=${PIPESTATUS[0]}

failed=0
[ "$status" = 1 ] || { echo "exit status $status, expected 1"; failed=1; }
[ "$(tail -n 1 "$work/out")" = "lorimex completed with errors" ] || { echo "no failed verdict"; failed=1; }
grep -qx 'Error opening source key Loop' "$work/out" || { echo "the loop was not reported"; failed=1; }
# Below the banner only depth-limit lines may appear: every other key is
# copied.
unexpected=$(tail -n +12 "$work/out" | grep -v -x -e '' -e 'lorimex completed with errors' \
  -e 'Error opening source key [A-Za-z]*' | head -n 5)
[ -z "$unexpected" ] || { echo "unexpected lines:"; echo "$unexpected"; failed=1; }
# The copy went exactly 512 levels deep.
depth=$(wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro' </dev/null | tr -d '\r' |
  awk '!/^ / { n = gsub(/\\/, "\\"); if (n > max) max = n } END { print max - 1 }')
[ "$depth" = 512 ] || { echo "copied $depth levels, expected 512"; failed=1; }
exit $failed
