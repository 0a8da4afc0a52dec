#!/usr/bin/env bash
# The logon script of the README and the administrator's guide, as written
# there (between their markers, the same in each), at two logons of one
# user: the first must give the user the default profile's settings
# (Language=de); the user then sets fr; the second logon must keep fr, since
# a run would put the default profile's value back.
#   logon_script.sh WINDOWS_BUILD DOCUMENT...
set -u
windows=$1 here=$(cd "$(dirname "$0")" && pwd)
shift
. "$here/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

# The script with the share's lorimex.exe replaced by this build's, in CR LF
# as cmd reads a batch file.
marked() { sed -n '/^<!-- logon-script -->$/,/^<!-- \/logon-script -->$/p' "$1" | sed '/^<!--/d; /^```/d'; }
script=$(marked "$1")
share='\\server\netlogon\lorimex.exe'
[[ $script == *"$share"* ]] || { echo "no logon script running $share between the markers of $1"; exit 1; }
for document in "${@:2}"; do
  [ "$(marked "$document")" = "$script" ] || { echo "the logon scripts of $1 and $document differ"; exit 1; }
done
script=${script//"$share"/"$(winpath "$windows/lorimex.exe")"}
printf '%s\n' "$script" | sed 's/$/\r/' >"$work/logon.bat"

cat >"$work/profile.reg" <<'EOF'
REGEDIT4

[HKEY_USERS\.DEFAULT\Software\Norvane\Kelvaro\Options]
"Language"="de"
"AutoSave"=dword:00000001
EOF
wine_run "$windows/regload.exe" "Z:$work/profile.reg" </dev/null >"$work/load.out" 2>&1 ||
  { echo "loading the default profile failed:"; cat "$work/load.out"; exit 1; }
logon() { wine_run cmd /c "$(winpath "$work/logon.bat")" </dev/null >"$work/logon$1.out" 2>&1; }
language() {
  wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro\Options' </dev/null | tr -d '\r' |
    sed -n 's/^  "Language" 1: //p'
}
# Language as regdump shows REG_SZ data: its bytes with the NUL.
de='64 65 00' fr='66 72 00'

failed=0
logon 1
[ "$(language)" = "$de" ] || { echo "first logon: Language is '$(language)', not de"; cat "$work/logon1.out"; failed=1; }
wine_run reg add 'HKCU\Software\Norvane\Kelvaro\Options' /v Language /d fr /f </dev/null >/dev/null 2>&1 ||
  { echo "reg add failed"; exit 1; }
[ "$(language)" = "$fr" ] || { echo "the user's change did not take: '$(language)'"; exit 1; }
logon 2
[ "$(language)" = "$fr" ] || { echo "second logon: Language is '$(language)', the user's fr is lost"; failed=1; }
exit $failed
