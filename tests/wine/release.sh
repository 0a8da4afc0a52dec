#!/usr/bin/env bash
# What a Windows build ships: cpack makes lorimex-VERSION-SUFFIX.zip holding
# the program, its logon script, the administrator's guide and the licence,
# at its top level, as they are to be copied to NETLOGON. The texts are the
# tree's with CR LF line ends, the guide plain text that Notepad shows as it
# is (ASCII, lines of at most 80 characters, no markup), and the program carries no
# debug sections; it carries its manifest (UTF-8 code page, no elevation,
# Windows 7 to 11) and its version information, read back with wrestool,
# and reserves a stack of 2 MB, read back with objdump. The 32-bit program
# imports only what Windows 95 and NT 4.0 export (win95-nt4-imports.txt),
# asks in its header for no newer system than 4.0, and holds no
# instruction that a 486 lacks.
#   release.sh WINDOWS_BUILD VERSION win64|win32
set -u
windows=$1 version=$2 suffix=$3 root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "$*"; failed=1; }

name=lorimex-$version-$suffix
(cd "$windows" && cpack -B "$work" >/dev/null) || { echo "cpack failed"; exit 1; }
listing=$(cmake -E tar tf "$work/$name.zip" 2>&1 | sort | paste -sd ' ')
[ "$listing" = "LICENSE.txt kelvaro-logon.bat lorimex-guide.txt lorimex.exe" ] ||
  fail "$name.zip holds: $listing"
shipped=$work/unpacked
mkdir "$shipped" && (cd "$shipped" && cmake -E tar xf "$work/$name.zip") || exit 1
for pair in app/kelvaro-logon.bat:kelvaro-logon.bat docs/lorimex-guide.txt:lorimex-guide.txt LICENSE:LICENSE.txt; do
  source=$root/${pair%%:*} text=$shipped/${pair#*:}
  [ "$(grep -c $'\r$' "$text")" = "$(wc -l <"$source")" ] || fail "${pair#*:} has lines without CR LF"
  tr -d '\r' <"$text" | cmp -s - "$source" || fail "${pair#*:} is not ${pair%%:*}"
done
guide=$shipped/lorimex-guide.txt
LC_ALL=C grep -qP '[^\x00-\x7f]' "$guide" && fail "lorimex-guide.txt holds text beyond ASCII"
awk '{ sub(/\r$/, "") } length > 80 { print "lorimex-guide.txt: line " NR " has " length " characters"; bad = 1 } END { exit bad }' \
  "$guide" || failed=1
LC_ALL=C grep -nE '^(#|```|[|]|<!--|    [$] )|[*][*]|`[^`]+`|</?[a-z]+>|\]\(' "$guide" && fail "lorimex-guide.txt holds markup"
exe=$shipped/lorimex.exe

manifest=$(wrestool -x --raw --type=24 --name=1 "$exe")
for line in '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>' \
  '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' \
  '<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>' \
  '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'; do
  grep -qF "$line" <<<"$manifest" || fail "manifest lacks $line"
done

# The version strings are UTF-16: one name, then its value.
strings=$(wrestool -x --raw --type=16 --name=1 "$exe" | strings -el | paste -sd '|')
for pair in 'CompanyName|Norvane' 'FileDescription|lorimex - Configure roaming user' "FileVersion|$version" \
  'OriginalFilename|lorimex.exe' 'ProductName|Kelvaro' "ProductVersion|$version"; do
  grep -qF "|$pair|" <<<"|$strings|" || fail "version information lacks $pair"
done

# The stack the copy's 512 levels take (about 750 KB) fits the 2 MB the
# build reserves.
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$windows/CMakeCache.txt")
reserve=$("${objdump:-objdump}" -p "$exe" | awk '$1 == "SizeOfStackReserve" { print $2 }')
[ "$reserve" != "" ] && [ $((16#$reserve)) = $((2 * 1024 * 1024)) ] || fail "stack reserve is ${reserve:-unknown}, not 2 MB"
# Stripped: no debug sections, no symbols.
"${objdump:-objdump}" -h "$exe" | grep -q ' \.debug' && fail "lorimex.exe has debug sections"
"${objdump:-objdump}" -f "$exe" | grep -qE 'HAS_(SYMS|DEBUG)' && fail "lorimex.exe has symbols"

# The import table as DLL and function, one a line.
imports() {
  "${objdump:-objdump}" -p "$1" | awk '/DLL Name:/ { dll = $3 } /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }'
}
if [ "$suffix" = win32 ]; then
  allowed=$(grep -v '^#' "$root/tests/wine/win95-nt4-imports.txt" | awk '{ print $1, $2 }')
  imported=$(imports "$exe")
  [ -n "$imported" ] || fail "no imports read from lorimex.exe"
  while read -r dll function; do
    grep -qixF "$dll $function" <<<"$allowed" || fail "lorimex.exe imports $dll $function, not listed in win95-nt4-imports.txt"
  done <<<"$imported"
  "${objdump:-objdump}" -p "$exe" | awk '$1 ~ /^Major(OSystem|Subsystem)Version$/ && $2 > 4 { print; bad = 1 } END { exit bad }' ||
    fail "lorimex.exe asks for a system newer than 4.0"
  "${objdump:-objdump}" -d "$exe" | grep -qE $'\t(cmov[a-z]+|f(u)?comip?) |xmm' && fail "lorimex.exe holds instructions a 486 lacks"
fi

exit $failed
