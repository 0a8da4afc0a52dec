#!/usr/bin/env bash
# A value and a key whose names hold a NUL, which the Windows registry can
# hold: every call that takes a name cuts it at the NUL, so the copy must
# report the value as one it cannot write and the key as one it cannot open
# (names in UTF-8, the NUL shown as <0000>), keep the current user's value of
# the cut name, and go on.
#   nul_name.sh WINDOWS_BUILD
set -u
windows=$1 here=$(dirname "$0")
. "$here/wine_env.sh"
work=$(mktemp -d)
# The key with the NUL would stay behind and hold up later cases' clean-up.
trap 'wine_run "$windows/reglink.exe" unnul </dev/null >/dev/null 2>&1; rm -rf "$work"' EXIT

wine_run "$windows/regload.exe" "Z:$(cd "$here" && pwd)/nul-name.reg" </dev/null >"$work/load.out" 2>&1 &&
  wine_run "$windows/reglink.exe" nul </dev/null >>"$work/load.out" 2>&1 ||
  { echo "setting up the value failed:"; cat "$work/load.out"; exit 1; }
wine_run "$windows/lorimex.exe" </dev/null | tr -d '\r' | tail -n +12 >"$work/out"
status=${PIPESTATUS[0]}
wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro' </dev/null | tr -d '\r' >"$work/tree"

failed=0
printf '  Error writing value Режим<0000>x\nError opening source key n<0000>z\n\nlorimex completed with errors\n' >"$work/expected.out"
cmp -s "$work/expected.out" "$work/out" || { echo "output:"; cat "$work/out"; failed=1; }
[ "$status" = 1 ] || { echo "exit status $status, expected 1"; failed=1; }
printf '%s\n' 'Software\Norvane\Kelvaro' '  "Alpha" 1: 31 00' '  "Zeta" 1: 32 00' \
  '  "Режим" 1: 6d 69 6e 65 00' '  "Яблоко" 1: 33 00' 'Software\Norvane\Kelvaro\n' \
  '  "v" 1: 6e 20 69 74 73 65 6c 66 00' >"$work/expected.tree"
cmp -s "$work/expected.tree" "$work/tree" || { echo "tree:"; cat "$work/tree"; failed=1; }
exit $failed
