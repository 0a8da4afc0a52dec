#!/usr/bin/env bash
# Runs one fixture through both builds and compares them: lorimex on the
# stand-in registry (Linux), and lorimex.exe under Wine after the fixture was
# loaded into Wine's registry. Same output lines (CR LF under Wine), same
# exit status, same resulting Norvane subtree of the current user.
# With --wide the fixture goes into Wine's registry, and the tree comes back,
# through the wide-character calls: text that no 8-bit code page holds is
# then checked independently of the code page the program runs under.
#   compare.sh [--wide] NATIVE_BUILD WINDOWS_BUILD FIXTURE.reg|deep:LEVELS [runs]
set -u
wide=()
if [ "$1" = --wide ]; then wide=(--wide); shift; fi
native=$1 windows=$2 fixture=$3 runs=${4:-1}
. "$(dirname "$0")/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ $fixture == deep:* ]]; then
  bash "$(dirname "$0")/deep_fixture.sh" "${fixture#deep:}" >"$work/fixture.reg"
  fixture=$work/fixture.reg
fi
cp "$fixture" "$work/registry.reg"
export LORIMEX_REGISTRY=$work/registry.reg
for ((i = 0; i < runs; ++i)); do
  "$native/lorimex" >"$work/native.out" 2>&1
  native_status=$?
done
"$native/regdump" hkcu 'Software\Norvane' >"$work/native.tree"

if ! wine_run "$windows/regload.exe" "${wide[@]}" "Z:$fixture" </dev/null >"$work/load.out" 2>&1; then
  echo "loading the fixture into Wine failed:"; cat "$work/load.out"; exit 1
fi
for ((i = 0; i < runs; ++i)); do
  wine_run "$windows/lorimex.exe" </dev/null >"$work/wine.raw" 2>"$work/wine.err"
  wine_status=$?
done
wine_run "$windows/regdump.exe" "${wide[@]}" hkcu 'Software\Norvane' </dev/null | tr -d '\r' >"$work/wine.tree"

failed=0
sed 's/$/\r/' "$work/native.out" >"$work/native.crlf"
if ! cmp -s "$work/native.crlf" "$work/wine.raw"; then
  echo "--- output differs (Linux with CR LF, then Wine):"
  diff "$work/native.crlf" "$work/wine.raw" | cat -A | head -n 30
  failed=1
fi
if [ "$native_status" != "$wine_status" ]; then
  echo "--- exit status: Linux $native_status, Wine $wine_status"
  failed=1
fi
if ! cmp -s "$work/native.tree" "$work/wine.tree"; then
  echo "--- resulting tree differs (Linux, then Wine):"
  diff "$work/native.tree" "$work/wine.tree" | cut -c1-200 | head -n 30
  failed=1
fi
if [ -s "$work/wine.err" ]; then
  echo "--- Wine wrote to standard error:"; head -n 5 "$work/wine.err"
  failed=1
fi
exit $failed
