#!/usr/bin/env bash
# Version 5 files against Wine's own regedit, a client written by others.
#   import: regedit imports the example export; lorimex.exe copies; regedit
#     exports the current user's Norvane. The Linux build runs on the same
#     file; both results, read by the Linux build, must hold the same tree.
#     Then the file the Linux build wrote is imported with regedit: Wine's
#     registry must then hold that tree too.
#   export: regedit exports a default profile holding every value type; the
#     Linux build must read from that file exactly what Wine's registry holds.
#   roaming: the README's way for a user without the product key, then for
#     one with it: reg export of the default profile's and the user's Norvane
#     (which fails without it), examples/exports.sh join, the Linux build,
#     exports.sh user, reg import: Wine must then hold what the Linux build
#     made, and without the key a copy of the default profile's.
#   differential FORM COUNT: COUNT files from gen_export.pl (seeds 1 to
#     COUNT) in FORM (5: version 5; utf8: version 5 saved as UTF-8; 1252,
#     932: REGEDIT4 in that code page, with Wine's regedit under a locale
#     of that code page). Each must give
#     the same trees (default profile's and current user's Norvane) in Wine
#     after regedit imports it as in the Linux build reading it; and once
#     the Linux build has copied, regedit's import of its result must give
#     what Wine's own reg copy makes of the imported file.
#   regedit.sh NATIVE_BUILD WINDOWS_BUILD import|export|roaming|differential
set -u
native=$1 windows=$2 mode=$3 here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Windows paths of files here, for regedit.
winpath() { echo "Z:${1//\//\\}"; }
forget() {
  for key in 'HKU\.DEFAULT\Software\Norvane' 'HKCU\Software\Norvane'; do
    wine_run reg delete "$key" /f </dev/null >/dev/null 2>&1
  done
}
regedit() { wine_run regedit "$@" </dev/null >/dev/null 2>&1 || { echo "regedit $1 failed"; exit 1; }; }
# The tree at ROOT PATH of a registry file, as the Linux build reads it.
file_tree() { LORIMEX_REGISTRY=$1 "$native/regdump" --wide "$2" "$3"; }
wine_tree() { wine_run "$windows/regdump.exe" --wide "$1" "$2" </dev/null | tr -d '\r'; }
same() {
  cmp -s "$1" "$2" && return 0
  echo "--- $3 (first, then second):"; diff "$1" "$2" | cut -c1-200 | head -n 30; exit 1
}

case $mode in
  import)
    cp "$here/../../examples/profile5.reg" "$work/linux.reg"
    LORIMEX_REGISTRY=$work/linux.reg "$native/lorimex" >/dev/null 2>&1
    forget
    regedit /s "$(winpath "$here/../../examples/profile5.reg")"
    wine_run "$windows/lorimex.exe" </dev/null >/dev/null 2>&1
    regedit /e "$(winpath "$work/wine.reg")" 'HKEY_CURRENT_USER\Software\Norvane'
    file_tree "$work/linux.reg" hkcu 'Software\Norvane' >"$work/linux.tree"
    file_tree "$work/wine.reg" hkcu 'Software\Norvane' >"$work/wine.tree"
    same "$work/linux.tree" "$work/wine.tree" "the Linux build's copy and lorimex.exe's, exported by regedit"
    forget
    regedit /s "$(winpath "$work/linux.reg")"
    wine_tree hkcu 'Software\Norvane' >"$work/imported.tree"
    same "$work/linux.tree" "$work/imported.tree" "the Linux build's file and what regedit imported of it" ;;
  export)
    wine_run "$windows/regload.exe" --wide "Z:$here/../e2e/cases/example/input.reg" </dev/null >/dev/null 2>&1 ||
      { echo "loading the fixture failed"; exit 1; }
    regedit /e "$(winpath "$work/export.reg")" 'HKEY_USERS\.DEFAULT\Software\Norvane'
    file_tree "$work/export.reg" hku '.DEFAULT\Software\Norvane' >"$work/linux.tree"
    wine_tree hku '.DEFAULT\Software\Norvane' >"$work/wine.tree"
    same "$work/wine.tree" "$work/linux.tree" "Wine's registry and the Linux build's reading of regedit's export" ;;
  roaming)
    exports=$here/../../examples/exports.sh
    for user in without with; do
      forget
      regedit /s "$(winpath "$here/../../examples/profile5.reg")"
      [ $user = with ] || wine_run reg delete 'HKCU\Software\Norvane' /f </dev/null >/dev/null 2>&1
      rm -f "$work"/*.reg
      wine_run reg export 'HKU\.DEFAULT\Software\Norvane' "$(winpath "$work/default.reg")" </dev/null >/dev/null 2>&1 ||
        { echo "reg export of the default profile failed"; exit 1; }
      wine_run reg export 'HKCU\Software\Norvane' "$(winpath "$work/user.reg")" </dev/null >/dev/null 2>&1
      exported=without
      [ -f "$work/user.reg" ] && exported=with
      [ $exported = $user ] || { echo "reg export of the user's key, $user it: the file is $exported"; exit 1; }
      bash "$exports" join "$work/default.reg" $([ $user = without ] || echo "$work/user.reg") >"$work/registry.reg"
      LORIMEX_REGISTRY=$work/registry.reg "$native/lorimex" >"$work/out" 2>&1 ||
        { echo "lorimex failed ($user the key):"; cat "$work/out"; exit 1; }
      bash "$exports" user "$work/registry.reg" >"$work/import.reg"
      wine_run reg import "$(winpath "$work/import.reg")" </dev/null >/dev/null 2>&1 || { echo "reg import failed"; exit 1; }
      file_tree "$work/registry.reg" hkcu 'Software\Norvane' >"$work/linux.tree"
      wine_tree hkcu 'Software\Norvane' >"$work/imported.tree"
      same "$work/linux.tree" "$work/imported.tree" "the Linux build's result and what reg import made of it ($user the key)"
      [ $user = with ] && continue
      wine_tree hku '.DEFAULT\Software\Norvane\Kelvaro' | sed 's/^\.DEFAULT\\//' >"$work/source.tree"
      wine_tree hkcu 'Software\Norvane\Kelvaro' >"$work/copy.tree"
      same "$work/source.tree" "$work/copy.tree" "the default profile's product key and the user's copy"
    done ;;
  differential)
    form=$4 count=$5
    declare -A locales=([1252]=en_US.UTF-8 [932]=ja_JP.UTF-8)
    if [ -n "${locales[$form]:-}" ]; then export WINE_LOCALE=${locales[$form]} LORIMEX_CODEPAGE=$form; fi
    for ((seed = 1; seed <= count; ++seed)); do
      perl "$here/gen_export.pl" "$seed" "$form" >"$work/in.reg" || exit 1
      forget
      regedit /s "$(winpath "$work/in.reg")"
      for tree in "hku .DEFAULT\Software\Norvane" "hkcu Software\Norvane"; do
        file_tree "$work/in.reg" $tree >"$work/linux.tree"
        wine_tree $tree >"$work/wine.tree"
        same "$work/wine.tree" "$work/linux.tree" "file $seed ($form): regedit's import and the Linux build's reading"
      done
      cp "$work/in.reg" "$work/linux.reg"
      LORIMEX_REGISTRY=$work/linux.reg "$native/lorimex" >"$work/out" 2>&1 ||
        { echo "file $seed ($form): lorimex failed:"; cat "$work/out"; exit 1; }
      wine_run reg copy 'HKU\.DEFAULT\Software\Norvane\Kelvaro' 'HKCU\Software\Norvane\Kelvaro' /s /f \
        </dev/null >/dev/null 2>&1 || { echo "file $seed ($form): reg copy failed"; exit 1; }
      wine_tree hkcu 'Software\Norvane' >"$work/copy.tree"
      forget
      regedit /s "$(winpath "$work/linux.reg")"
      wine_tree hkcu 'Software\Norvane' >"$work/imported.tree"
      same "$work/copy.tree" "$work/imported.tree" "file $seed ($form): reg copy's result and regedit's import of lorimex's"
    done
    echo "$count files ($form): all agree" ;;
  *) echo "usage: regedit.sh NATIVE_BUILD WINDOWS_BUILD import|export|roaming|differential FORM COUNT"; exit 2 ;;
esac
