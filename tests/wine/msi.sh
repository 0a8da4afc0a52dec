#!/usr/bin/env bash
# The build's MSI through Wine's msiexec, in one prefix:
#   - msiexec /i ... /qn puts the build's files into %ProgramFiles%\Norvane\
#     lorimex and the Active Setup component into the registry view of the
#     package's bitness (and none into the other);
#   - the component's StubPath, run as Windows runs it at a logon (Wine does
#     not run Active Setup itself): on a PC without Kelvaro it creates
#     nothing, at a user's first logon it copies, at the next it keeps the
#     user's change and moves a log past 64 KB to .old; each logon adds its
#     dated line to the user's log, and one whose log cannot be written
#     copies all the same;
#   - the same version built again installs no second product; a package of
#     a higher version, built from the same files, replaces the first: one
#     product, the component with the new Version;
#   - msiexec /x removes the component, the files and the folders.
#   msi.sh WINDOWS_BUILD VERSION win64|win32
set -u
windows=$1 version=$2 suffix=$3 here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "$*"; failed=1; }

cmake --build "$windows" --target msi >"$work/build.out" 2>&1 || { echo "the msi target failed:"; cat "$work/build.out"; exit 1; }
IFS=. read -r major minor patch <<<"$version"
next=$major.$minor.$((patch + 1))
mapfile -t arguments <"$windows/msi/wixl-arguments"
(cd "$windows" && wixl "${arguments[@]}" -D Version="$next" -D SetupVersion="${next//./,}" \
  -D ProductCode="$(cat /proc/sys/kernel/random/uuid)" -o "$work/next.msi") \
  >"$work/next.out" 2>&1 || { echo "building version $next failed:"; cat "$work/next.out"; exit 1; }

if [ "$suffix" = win64 ]; then
  view=64 other=32 programs='C:\Program Files'
else
  view=32 other=64 programs='C:\Program Files (x86)'
fi
folder="$programs\\Norvane\\lorimex"
component='HKLM\Software\Microsoft\Active Setup\Installed Components\{31C9D06E-EA88-459A-A6CE-7F7F94C78A08}'
installed=$(wine_run winepath -u "$folder" </dev/null)
log=$(wine_run winepath -u "$(wine_run cmd /c 'echo %APPDATA%' </dev/null | tr -d '\r')" </dev/null)/Norvane/lorimex.log
who=$(wine_run cmd /c 'echo %COMPUTERNAME% %USERDOMAIN%\%USERNAME%' </dev/null | tr -d '\r')
[ -n "$installed" ] && [ -n "$who" ] || { echo "no folders or user under Wine"; exit 1; }

msiexec() {
  wine_run msiexec "$1" "Z:${2//\//\\}" /qn </dev/null >"$work/msiexec.out" 2>&1 ||
    { fail "msiexec $1 ${2##*/} failed: $?"; cat "$work/msiexec.out"; }
}
# The component's values, in one view, as reg shows them.
values() { wine_run reg query "$component" /reg:"$1" </dev/null 2>/dev/null | tr -d '\r' | grep '^    '; }
expected() {
  printf '    %s\n' '(Default)    REG_SZ    lorimex' 'IsInstalled    REG_DWORD    0x1' \
    "StubPath    REG_SZ    \"$folder\\lorimex-logon.exe\"" "Version    REG_SZ    ${1//./,}"
}
products() {
  wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:"$view" </dev/null |
    tr -d '\r' | grep -c '^ *DisplayName *REG_SZ *lorimex$'
}
load() {
  printf 'REGEDIT4\n\n[HKEY_USERS\\.DEFAULT\\Software\\Norvane%s]\n%s\n' "$1" "$2" >"$work/profile.reg"
  wine_run "$windows/regload.exe" "Z:$work/profile.reg" </dev/null >/dev/null 2>&1 || { echo "regload failed"; exit 1; }
}
# A logon: the StubPath, a quoted path, started as Active Setup starts it.
logon() {
  local stub
  stub=$(values "$view" | sed -n 's/^ *StubPath *REG_SZ *"\(.*\)"$/\1/p')
  wine_run "$stub" </dev/null >"$work/logon-$1.out" 2>&1
  status=$?
  [ $status = 0 ] || fail "logon $1: status $status"
  [ ! -s "$work/logon-$1.out" ] || { fail "logon $1 wrote:"; cat "$work/logon-$1.out"; }
}
logged() {
  local line
  line=$(tr -d '\r' <"$log" | grep -F -- " $who: $1" | tail -n 1)
  [[ ${line%" $who: "*} == *[0-9]* ]] || { fail "--- $2: the log lacks a dated line saying $1:"; cat "$log"; }
}
language() {
  wine_run "$windows/regdump.exe" hkcu 'Software\Norvane\Kelvaro\Options' </dev/null | tr -d '\r' |
    sed -n 's/^  "Language" 1: //p'
}

msi=$windows/lorimex-$version-$suffix.msi
msiexec /i "$msi"
[ "$(values "$view")" = "$(expected "$version")" ] || { fail "installed: the component holds:"; values "$view"; }
[ -z "$(values "$other")" ] || fail "installed: a component in the $other-bit view"
guide=$(sed -n 's/^Guide=//p' "$windows/msi/wixl-arguments")
for file in msi/lorimex.exe msi/lorimex-logon.exe package/kelvaro-logon.bat "package/$guide" package/LICENSE.txt; do
  cmp -s "$windows/$file" "$installed/${file#*/}" || fail "installed: ${file#*/} is not the build's $file"
done
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$windows/CMakeCache.txt")
"${objdump:-objdump}" -p "$installed/lorimex-logon.exe" | grep -q '^Subsystem.*(Windows GUI)' ||
  fail "lorimex-logon.exe would open a console"

# The same version built again is the same product, not a second beside it.
mv "$msi" "$work/first.msi" && cmake --build "$windows" --target msi >"$work/build.out" 2>&1 ||
  { echo "building the msi target again failed:"; cat "$work/build.out"; exit 1; }
msiexec /i "$msi"
[ "$(products)" = 1 ] || fail "the same version again: $(products) products named lorimex"

rm -f "$log"
load '' ''
logon absent
logged 'Kelvaro is not installed on this PC: lorimex not run' "no default Kelvaro"
! wine_run reg query 'HKCU\Software\Norvane' </dev/null >/dev/null 2>&1 || fail "no default Kelvaro: the user has a Norvane key"
load '\Kelvaro\Options' '"Language"="de"'
logon first
[ "$(language)" = '64 65 00' ] || fail "first logon: Language is '$(language)', not de"
logged "no Kelvaro settings, running $folder\\lorimex.exe" "first logon"
tr -d '\r' <"$log" | tail -n 1 | grep -qx 'lorimex completed successfully' || { fail "first logon: the log ends otherwise"; cat "$log"; }
wine_run reg add 'HKCU\Software\Norvane\Kelvaro\Options' /v Language /d fr /f </dev/null >/dev/null 2>&1 || fail "reg add failed"
head -c 65537 /dev/zero | tr '\0' '.' >>"$log"
size=$(stat -c %s "$log")
logon second
[ "$(language)" = '66 72 00' ] || fail "second logon: Language is '$(language)', the user's fr is lost"
logged 'Kelvaro settings found, lorimex not run' "second logon"
[ "$(stat -c %s "$log.old" 2>/dev/null)" = "$size" ] || fail "a log of $size bytes was not moved to lorimex.log.old"
[ "$(wc -l <"$log")" = 1 ] || { fail "second logon: the log holds more than its line"; cat "$log"; }
# A log that cannot be written (a folder in its place) does not keep a user
# without the settings from the copy: Active Setup starts a user's logon once.
wine_run reg delete 'HKCU\Software\Norvane' /f </dev/null >/dev/null 2>&1 || fail "reg delete failed"
rm -f "$log" "$log.old" && mkdir "$log"
logon unwritable
[ "$(language)" = '64 65 00' ] || fail "a log that cannot be written: Language is '$(language)', not de"
rmdir "$log"

msiexec /i "$work/next.msi"
[ "$(values "$view")" = "$(expected "$next")" ] || { fail "upgraded: the component holds:"; values "$view"; }
[ "$(products)" = 1 ] || fail "upgraded: $(products) products named lorimex"

msiexec /x "$work/next.msi"
[ -z "$(values "$view")$(values "$other")" ] || fail "uninstalled: the component is still there"
[ "$(products)" = 0 ] || fail "uninstalled: $(products) products named lorimex"
[ ! -e "${installed%/*}" ] || fail "uninstalled: left $(find "${installed%/*}")"

wine_run reg delete 'HKCU\Software\Norvane' /f </dev/null >/dev/null 2>&1
rm -f "$log" "$log.old"
exit $failed
