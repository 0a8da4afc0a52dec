#!/usr/bin/env bash
# Runs one fixture through lorimex.exe under Wine and compares it with a
# reference: by default lorimex on the stand-in registry (Linux), with the
# same output lines (CR LF under Wine), the same exit status and the same
# resulting Norvane subtree of the current user.
#   --wide    the fixture goes into Wine's registry, and the tree comes back,
#             through the wide calls (text no 8-bit code page holds; names
#             may carry <XXXX> units, text data raw UTF-16 after "(utf-16)")
#   --reg     the reference is `reg copy /s /f` of the same start under Wine
#             (for what the Linux registry cannot hold); the run must succeed
#   --guard   after loading, the current user's Software, Norvane\Kelvaro and
#             Norvane\Kelvaro\Protected deny everybody DELETE, WRITE_DAC and
#             WRITE_OWNER (a "protect from deletion" rule), which a copy
#             that asks for no more than it uses does not notice
#   --wow     after loading, keys of the 32-bit view (Wow6432Node) stand
#             beside the product keys in both profiles, with a decoy value:
#             both builds must use the ordinary keys all the same
#   --acp LOCALE  run as Windows before 1903 would: the manifest's code page
#             setting made unknown, the 8-bit code page chosen by the locale
#             (en_US.UTF-8: 1252, ja_JP.UTF-8: 932)
#   --windows-case  the fixture (UTF-8) holds names that Windows' own case
#             table keeps apart and Wine 8 folds together, as newer Unicode
#             does: Georgian ა and Ა, Cherokee ꭰ and Ꭰ, and the other 188
#             pairs of windows_case_only below (measured under Wine over the
#             whole plane). Windows holds there, and the case checks the
#             Linux build on them on its own; here the keys and values so
#             named are left out of the fixture, for both runs.
#   --args WORDS  both runs get these arguments (split at spaces); with
#             --acp, Windows gets them through cmd, in the code page's bytes
#   --9x      Wine runs lorimex-9x.exe, the program as Windows 9x runs it
#             (every wide call fails with 120, so it makes the 8-bit ones)
#   compare.sh [--wide] [--reg] [--guard] [--wow] [--acp LOCALE] [--windows-case] [--args WORDS] [--9x] NATIVE_BUILD WINDOWS_BUILD FIXTURE.reg|deep:LEVELS [runs]
set -u
wide=() against_reg= locale= guarded=() wow= windows_case= arguments=() program=lorimex
while true; do
  case $1 in
    --9x) program=lorimex-9x; shift ;;
    --args) read -ra arguments <<<"$2"; shift 2 ;;
    --wide) wide=(--wide); shift ;;
    --windows-case) windows_case=1; shift ;;
    --reg) against_reg=1; shift ;;
    --guard) guarded=('Software' 'Software\Norvane\Kelvaro' 'Software\Norvane\Kelvaro\Protected'); shift ;;
    --wow) wow=1; shift ;;
    --acp) locale=$2; shift 2 ;;
    *) break ;;
  esac
done
native=$1 windows=$2 fixture=$3 runs=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
work=$(mktemp -d)
# What --guard and --wow add to a loaded fixture ("on"), or take away again
# ("off"), so that the next load and the next case start clean.
extras() {
  local key status=0 prefix=
  [ "$1" = on ] || prefix=un
  for key in "${guarded[@]}"; do
    wine_run "$windows/reglink.exe" ${prefix}guard "$key" </dev/null >>"$work/load.out" 2>&1 || status=1
  done
  [ -z "$wow" ] || wine_run "$windows/reglink.exe" ${prefix}wow </dev/null >>"$work/load.out" 2>&1 || status=1
  return $status
}
trap 'extras off; rm -rf "$work"' EXIT

if [[ $fixture == deep:* ]]; then
  bash "$here/deep_fixture.sh" "${fixture#deep:}" >"$work/fixture.reg"
  fixture=$work/fixture.reg
fi
# The fixture without the sections of keys, and the lines of values, whose
# names hold a unit that Wine folds and Windows does not.
windows_case_only() {
  perl -CSD -ne '
    BEGIN {
      my $units = q{\x{023F}-\x{0240}\x{0252}\x{025C}\x{0261}\x{0265}-\x{0266}\x{026A}\x{026C}\x{0282}\x{0287}}
        . q{\x{029D}-\x{029E}\x{037F}\x{03F3}\x{0524}-\x{052F}\x{10C7}\x{10CD}\x{10D0}-\x{10FA}\x{10FD}-\x{10FF}}
        . q{\x{13A0}-\x{13F5}\x{13F8}-\x{13FD}\x{1C90}-\x{1CBA}\x{1CBD}-\x{1CBF}\x{1D8E}\x{2C2F}\x{2C5F}\x{2C70}}
        . q{\x{2C7E}-\x{2C7F}\x{2CEB}-\x{2CEE}\x{2CF2}-\x{2CF3}\x{2D27}\x{2D2D}\x{A660}-\x{A661}\x{A698}-\x{A69B}}
        . q{\x{A78D}\x{A790}-\x{A794}\x{A796}-\x{A7AE}\x{A7B0}-\x{A7CA}\x{A7D0}-\x{A7D1}\x{A7D6}-\x{A7D9}}
        . q{\x{A7F5}-\x{A7F6}\x{AB53}\x{AB70}-\x{ABBF}};
      $folds = qr/[$units]/;
    }
    if ($in_value) { $in_value = /\\\r?$/; next }  # the data lines of a value left out
    if (/^\[/) { $key_out = /$folds/ }
    elsif (/^"((?:[^"\\]|\\.)*)"=/ && $1 =~ $folds) { $in_value = /\\\r?$/; next }
    print unless $key_out;
  ' "$1"
}
if [ -n "$windows_case" ]; then
  windows_case_only "$fixture" >"$work/windows-case.reg"
  fixture=$work/windows-case.reg
fi
load() {
  extras off
  wine_run "$windows/regload.exe" "${wide[@]}" "Z:$fixture" </dev/null >"$work/load.out" 2>&1 && extras on && return 0
  echo "loading the fixture into Wine failed:"; cat "$work/load.out"; exit 1
}
dump() { wine_run "$windows/regdump.exe" "${wide[@]}" hkcu 'Software\Norvane' </dev/null | tr -d '\r'; }

lorimex=$windows/$program.exe
if [ -n "$locale" ]; then
  declare -A code_pages=([en_US.UTF-8]=1252 [ja_JP.UTF-8]=932)
  for exe in $program codepage; do
    LC_ALL=C perl -pe 's/activeCodePage/activeCodePagX/g' "$windows/$exe.exe" >"$work/$exe.exe"
  done
  lorimex=$work/$program.exe
  export WINE_LOCALE=$locale
  code_page=$(wine_run "$work/codepage.exe" </dev/null | tr -d '\r')
  [ "$code_page" = "${code_pages[$locale]}" ] || { echo "runs under code page $code_page, not ${code_pages[$locale]}"; exit 1; }
fi

if [ -n "$against_reg" ]; then
  load
  timeout 60 ${WINE_REG:-wine reg} copy 'HKU\.DEFAULT\Software\Norvane\Kelvaro' 'HKCU\Software\Norvane\Kelvaro' /s /f \
    </dev/null >/dev/null 2>&1
  dump >"$work/native.tree"
  cp "$here/../e2e/cases/example/expected.out" "$work/native.out"
  native_status=0
else
  cp "$fixture" "$work/registry.reg"
  export LORIMEX_REGISTRY=$work/registry.reg
  for ((i = 0; i < runs; ++i)); do
    "$native/lorimex" "${arguments[@]}" >"$work/native.out" 2>&1
    native_status=$?
  done
  "$native/regdump" "${wide[@]}" hkcu 'Software\Norvane' >"$work/native.tree"
fi

# Wine takes arguments through this system's locale, which may be missing:
# under --acp they go as a batch file's line, which cmd reads in the code
# page, quotes and all, as typed at a prompt.
run=("$lorimex" "${arguments[@]}")
if [ -n "$locale" ] && [ ${#arguments[@]} -gt 0 ]; then
  printf '@"Z:%s" %s\r\n' "${lorimex//\//\\}" "${arguments[*]}" |
    iconv -f UTF-8 -t "CP${code_pages[$locale]}" >"$work/run.bat" || { echo "the arguments do not fit code page ${code_pages[$locale]}"; exit 1; }
  run=(cmd /c "Z:${work//\//\\}\\run.bat")
fi
load
for ((i = 0; i < runs; ++i)); do
  wine_run "${run[@]}" </dev/null >"$work/wine.raw" 2>"$work/wine.err"
  wine_status=$?
done
dump >"$work/wine.tree"

failed=0
sed 's/$/\r/' "$work/native.out" >"$work/native.crlf"
if ! cmp -s "$work/native.crlf" "$work/wine.raw"; then
  echo "--- output differs (reference with CR LF, then Wine):"
  diff "$work/native.crlf" "$work/wine.raw" | cat -A | head -n 30
  failed=1
fi
if [ "$native_status" != "$wine_status" ]; then
  echo "--- exit status: reference $native_status, Wine $wine_status"
  failed=1
fi
if ! cmp -s "$work/native.tree" "$work/wine.tree"; then
  echo "--- resulting tree differs (reference, then Wine):"
  diff "$work/native.tree" "$work/wine.tree" | cut -c1-200 | head -n 30
  failed=1
fi
if [ -s "$work/wine.err" ]; then
  echo "--- Wine wrote to standard error:"; head -n 5 "$work/wine.err"
  failed=1
fi
exit $failed
