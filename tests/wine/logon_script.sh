#!/usr/bin/env bash
# The archive's logon script, run as it is from the unpacked archive (whose
# files lie at its top level, as on the NETLOGON share). Logons of one
# user, each adding a line to the user's log:
#   - a default profile without the Kelvaro key (Kelvaro not installed):
#     lorimex is not run, the log says so, the console shows nothing and the
#     user gets no Norvane key;
#   - with lorimex.exe removed: the log says where it was looked for, and the
#     user gets no Kelvaro key, so that the next logon tries again;
#   - the default profile with Kelvaro: the user gets Language=de;
#   - the user sets fr, the log has grown past 64 KB: the next logon keeps fr
#     (a run would put de back) and moves the log to lorimex.log.old;
#   - reg.exe forbidden (a reg.bat that fails first on the PATH): fr kept,
#     the log says why lorimex was not run;
#   - the user without the key again and a log that cannot be written (a
#     folder in its place): the copy is made all the same.
#   logon_script.sh WINDOWS_BUILD
set -u
windows=$1 here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

folder=$work/share/
(cd "$windows" && cpack -B "$work" >/dev/null) && mkdir "$folder" && (cd "$folder" && cmake -E tar xf "$work"/lorimex-*.zip) ||
  { echo "packing or unpacking the archive failed"; exit 1; }
script=$folder/kelvaro-logon.bat

who=$(wine_run cmd /c 'echo %COMPUTERNAME% %USERDOMAIN%\%USERNAME%' </dev/null | tr -d '\r')
log=$(wine_run winepath -u "$(wine_run cmd /c 'echo %APPDATA%' </dev/null | tr -d '\r')" </dev/null)/Norvane/lorimex.log
[ -n "$who" ] && [ -n "$log" ] || { echo "no user or log folder under Wine"; exit 1; }
rm -f "$log" "$log.old"
load() {
  printf 'REGEDIT4\n\n[HKEY_USERS\\.DEFAULT\\Software\\Norvane%s]\n%s\n' "$1" "$2" >"$work/profile.reg"
  wine_run "$windows/regload.exe" "Z:$work/profile.reg" </dev/null >"$work/load.out" 2>&1 ||
    { echo "loading the default profile failed:"; cat "$work/load.out"; exit 1; }
}
# logon NAME [FOLDER]: FOLDER first on the PATH.
logon() {
  local path=${2:+"set PATH=$(winpath "$2");%PATH%&& "}
  wine_run cmd /c "$path$(winpath "$script")" </dev/null >"$work/logon-$1.out" 2>&1
}
language() {
  wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro\Options' </dev/null | tr -d '\r' |
    sed -n 's/^  "Language" 1: //p'
}
no_product_key() { ! wine_run reg query 'HKCU\Software\Norvane\Kelvaro' </dev/null >/dev/null 2>&1; }
# The logon's line: date and time, computer and user, then what it did.
logged() {
  local line
  line=$(tr -d '\r' <"$log" | grep -F -- " $who: $1" | tail -n 1)
  [[ ${line%" $who: "*} == *[0-9]* ]] || { echo "--- $2: the log lacks a dated line saying $1:"; cat "$log"; failed=1; }
}
# Language as regdump shows REG_SZ data: its bytes with the NUL.
de='64 65 00' fr='66 72 00'

failed=0
load '' ''
logon absent
logged 'Kelvaro is not installed on this PC: lorimex not run' "no default Kelvaro"
[ ! -s "$work/logon-absent.out" ] || { echo "no default Kelvaro: the console shows:"; cat "$work/logon-absent.out"; failed=1; }
! wine_run reg query 'HKCU\Software\Norvane' </dev/null >/dev/null 2>&1 ||
  { echo "no default Kelvaro: the user has a Norvane key"; failed=1; }

load '\Kelvaro\Options' $'"Language"="de"\n"AutoSave"=dword:00000001'
mv "$folder/lorimex.exe" "$work/lorimex.exe"
logon missing
logged "no Kelvaro settings, lorimex.exe not found at $(winpath "$folder")lorimex.exe" "lorimex.exe missing"
grep -q 'lorimex.exe not found at' "$work/logon-missing.out" || { echo "the console lacks lorimex.exe not found"; failed=1; }
no_product_key || { echo "lorimex.exe missing: the user has a Kelvaro key"; failed=1; }
mv "$work/lorimex.exe" "$folder/lorimex.exe"

logon 1
[ "$(language)" = "$de" ] || { echo "first logon: Language is '$(language)', not de"; cat "$work/logon-1.out"; failed=1; }
tr -d '\r' <"$log" | tail -n 1 | grep -qx 'lorimex completed successfully' || { echo "first logon: the log ends otherwise"; cat "$log"; failed=1; }
wine_run reg add 'HKCU\Software\Norvane\Kelvaro\Options' /v Language /d fr /f </dev/null >/dev/null 2>&1 ||
  { echo "reg add failed"; exit 1; }
[ "$(language)" = "$fr" ] || { echo "the user's change did not take: '$(language)'"; exit 1; }
head -c 65537 /dev/zero | tr '\0' '.' >>"$log"
size=$(stat -c %s "$log")
logon 2
[ "$(language)" = "$fr" ] || { echo "second logon: Language is '$(language)', the user's fr is lost"; failed=1; }
[ "$(stat -c %s "$log.old" 2>/dev/null)" = "$size" ] || { echo "a log of $size bytes was not moved to lorimex.log.old"; failed=1; }
logged 'Kelvaro settings found, lorimex not run' "second logon"
[ "$(wc -l <"$log")" = 1 ] || { echo "second logon: the log holds more than its line"; cat "$log"; failed=1; }

# A program that fails for every reg query stands in for a forbidden reg.exe.
mkdir "$work/forbidden"
cp "$windows/reglink.exe" "$work/forbidden/reg.exe"
logon forbidden "$work/forbidden"
[ "$(language)" = "$fr" ] || { echo "reg.exe forbidden: Language is '$(language)', the user's fr is lost"; failed=1; }
logged 'reg.exe cannot read the registry, lorimex not run' "reg.exe forbidden"

wine_run reg delete 'HKCU\Software\Norvane' /f </dev/null >/dev/null 2>&1 || { echo "reg delete failed"; exit 1; }
rm -f "$log" && mkdir "$log"
logon unwritable
[ "$(language)" = "$de" ] || { echo "a log that cannot be written: Language is '$(language)', not de"; cat "$work/logon-unwritable.out"; failed=1; }
grep -q 'cannot write' "$work/logon-unwritable.out" || { echo "a log that cannot be written: the console does not say so"; failed=1; }
rmdir "$log"
exit $failed
