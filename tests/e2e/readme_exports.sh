#!/usr/bin/env bash
# The README's commands that take a Windows machine's exports through the
# Linux build, as written there (between its markers), run in the source
# tree with this build's program as build/lorimex and a home of their own:
#   - the usual case: the default profile's export as reg export writes it
#     (UTF-16LE), and no user's export, which reg export did not write;
#   - both exports saved again as UTF-8 by an editor (one with a byte-order
#     mark), the user's with a value of its own and a name beyond the Basic
#     Multilingual Plane.
# The commands must succeed, and import.reg hold the current user's Norvane
# as lorimex left it, and nothing else. Without the default profile's export
# they must stop at the first command, before lorimex, with no import.reg.
#   readme_exports.sh BUILD README.md
set -u
build=$1 readme=$2 root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commands=$(sed -n '/^<!-- exports -->$/,/^<!-- \/exports -->$/p' "$readme" | sed '/^<!--/d; /^```/d')
[ -n "$commands" ] || { echo "no commands between the README's exports markers"; exit 1; }
mkdir -p "$work/tree/build" "$work/home"
ln -s "$root/examples" "$work/tree/examples"
ln -s "$build/lorimex" "$work/tree/build/lorimex"
try=$work/home/lorimex-try

# The example export's two profiles as two exports, in UTF-8.
utf8=$(iconv -f UTF-16LE -t UTF-8 "$root/examples/profile5.reg" | sed '1s/^\xEF\xBB\xBF//' | tr -d '\r')
header=$(head -n 1 <<<"$utf8")
default=$(sed '/^\[HKEY_CURRENT_USER/,$d' <<<"$utf8")
user=$(printf '%s\n\n' "$header"; sed -n '/^\[HKEY_CURRENT_USER/,$p' <<<"$utf8"; echo '"Mine 😀"="kept"')

failed=0
tree() { LORIMEX_REGISTRY=$1 "$build/regdump" --wide hkcu 'Software\Norvane'; }
commands() { (cd "$work/tree" && HOME=$work/home bash -c "$commands") >"$work/out" 2>&1; }
run() {
  commands ||
    { echo "--- $1: the commands failed:"; cat "$work/out"; failed=1; return; }
  grep -qx 'lorimex completed successfully' "$work/out" || { echo "--- $1: lorimex said:"; cat "$work/out"; failed=1; }
  tree "$try/registry.reg" >"$work/expected.tree"
  tree "$try/import.reg" >"$work/import.tree"
  cmp -s "$work/expected.tree" "$work/import.tree" ||
    { echo "--- $1: import.reg does not hold lorimex's result:"; diff "$work/expected.tree" "$work/import.tree" | head; failed=1; }
  grep -q '^\[HKEY_USERS' <(iconv -f UTF-16LE -t UTF-8 "$try/import.reg") && { echo "--- $1: import.reg holds .DEFAULT"; failed=1; }
  grep -qF "$2" "$work/import.tree" || { echo "--- $1: import.reg lacks $2"; failed=1; }
}

mkdir -p "$try"
printf '%s\n' "$default" | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE | { printf '\xFF\xFE'; cat; } >"$try/default.reg"
run "exports as reg export writes them, without the user's" '"InstallDir"'
rm -f "$try"/*.reg
printf '%s\n' "$default" >"$try/default.reg"
{ printf '\xEF\xBB\xBF'; printf '%s\n' "$user"; } >"$try/user.reg"
run "exports saved as UTF-8" '"Mine 😀"'
rm -f "$try"/*.reg
commands && { echo "--- no default.reg: the commands succeeded"; failed=1; }
grep -q 'Updating roaming user' "$work/out" && { echo "--- no default.reg: lorimex ran"; failed=1; }
[ -e "$try/import.reg" ] && { echo "--- no default.reg: import.reg was written"; failed=1; }
exit $failed
