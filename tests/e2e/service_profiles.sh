#!/usr/bin/env bash
# examples/service_profiles.sh on a folder of profiles: one it updates, one
# Windows has not finished with, one that is not a hive. A line each (in
# the order the runs end), the summary, exit 1; then, with only good ones
# left, exit 0, one of them in a folder whose name holds a line break,
# which must count as one profile, and the one updated before unchanged.
# On a terminal, the progress count must not stay on the screen. When
# nothing can be done, exit 2 with one line naming what is missing.
#   service_profiles.sh BUILD
set -u
build=$1 root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hive() {
  "$build/hivetool" blank "$1"
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regload" --wide --into-user "$2" \
    "$root/examples/profile.reg"
}
"$build/hivetool" blank "$work/scratch.hiv"
hive "$work/default.hiv" 'HKEY_USERS\.DEFAULT'
for user in alice bob carol; do
  mkdir -p "$work/profiles/$user"
  hive "$work/profiles/$user/NTUSER.DAT" HKEY_CURRENT_USER
done
"$build/hivetool" sequence "$work/profiles/bob/NTUSER.DAT" 3 2
echo junk >"$work/profiles/carol/NTUSER.DAT"

service() {
  LORIMEX=$build/lorimex JOBS=2 "$root/examples/service_profiles.sh" "$work/default.hiv" "$work/profiles" \
    >"$work/out" 2>"$work/progress"
}
failed=0
expect() {
  if ! grep -qxF -- "$1" "$work/out"; then
    echo "--- no line: $1"
    failed=1
  fi
}
service
[ $? = 1 ] || { echo "--- exit status not 1"; failed=1; }
p=$work/profiles
expect "$p/alice/NTUSER.DAT: updated"
expect "$p/bob/NTUSER.DAT: failed: Error 32 occurred opening Current User Software key (lorimex: $p/bob/NTUSER.DAT: needs recovery from its transaction logs (its sequence numbers 3 and 2 differ): let Windows load the profile once (log on and off), then run again)"
expect "$p/carol/NTUSER.DAT: failed: Error 1015 occurred opening Current User Software key (lorimex: $p/carol/NTUSER.DAT: not a usable hive: no base block (a hive file begins with \"regf\"))"
expect "profiles: 3, updated: 1, unchanged: 0, failed: 2"
[ "$(wc -l <"$work/out")" = 4 ] || { echo "--- not four lines"; failed=1; }
grep -q "3 of 3 profiles" "$work/progress" || { echo "--- no progress"; failed=1; }
"$build/hivetool" check "$p/alice/NTUSER.DAT" || failed=1
rm -r "$p/bob" "$p/carol"
mkdir "$p/dave
smith"
hive "$p/dave
smith/NTUSER.DAT" HKEY_CURRENT_USER
service || { echo "--- a run with only good profiles failed"; failed=1; }
expect "$p/alice/NTUSER.DAT: unchanged"
expect "profiles: 2, updated: 1, unchanged: 1, failed: 0"
# A run that ends without a verdict (killed, say) still says how it ended.
LORIMEX=false "$root/examples/service_profiles.sh" "$work/default.hiv" "$work/profiles" >"$work/out" 2>/dev/null
expect "$p/alice/NTUSER.DAT: failed: no verdict (exit status 1)"
[ $failed = 0 ] || cat "$work/out"

# Nothing can be done: a missing hive, folder or program, a folder without
# profiles.
mkdir "$work/empty"
hive_line="the default profile's hive, saved with reg save HKU\\.DEFAULT"
while IFS='|' read -r hive folder program expected; do
  LORIMEX=$program "$root/examples/service_profiles.sh" "$hive" "$folder" >/dev/null 2>"$work/err"
  status=$?
  [ $status = 2 ] && [ "$(cat "$work/err")" = "service_profiles.sh: $expected" ] ||
    { echo "--- $hive $folder $program: exit status $status, not 2 with: $expected"; cat "$work/err"; failed=1; }
done <<ROWS
$work/none.hiv|$p|$build/lorimex|$work/none.hiv: no such file ($hive_line)
$p|$p|$build/lorimex|$p: not a file ($hive_line)
$work/default.hiv|$work/none|$build/lorimex|$work/none: no such folder (the folder of the profiles, each a folder holding NTUSER.DAT)
$work/default.hiv|$work/empty|$build/lorimex|$work/empty: no profile in it (no FOLDER/NTUSER.DAT): nothing to do
$work/default.hiv|$p|$work/none|$work/none: no such program (build it, or name it in LORIMEX)
ROWS

# On a terminal (tmux), the result lines and the summary each on a line of
# their own, and no progress count left on the screen.
if command -v tmux >/dev/null; then
  session=lorimex-service-$$
  tmux -L "$session" -u new-session -d -s "$session" -x 250 -y 30 "LORIMEX=$(printf %q "$build/lorimex") JOBS=1 \
    $(printf '%q ' "$root/examples/service_profiles.sh" "$work/default.hiv" "$p"); echo finished; sleep 60"
  for ((i = 0; i < 300; ++i)); do
    screen=$(tmux -L "$session" capture-pane -p -t "$session" 2>/dev/null)
    grep -q '^finished' <<<"$screen" && break
    sleep 0.2
  done
  tmux -L "$session" kill-server 2>/dev/null
  if ! grep -qxF "$p/alice/NTUSER.DAT: unchanged" <<<"$screen" ||
    ! grep -qxF "profiles: 2, updated: 0, unchanged: 2, failed: 0" <<<"$screen" || grep -q 'of 2 profiles' <<<"$screen"; then
    echo "--- the terminal shows:"; echo "$screen"; failed=1
  fi
else
  echo "tmux is missing: the terminal's row is not run"
fi
exit $failed
