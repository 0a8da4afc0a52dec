#!/usr/bin/env bash
# lorimex-profiles on a folder of profiles: one it updates, one that has the
# settings already (skipped, then serviced with --force), one Windows has
# not finished with, one that is not a hive. Each run's lines, summary,
# exit status and files are compared; a dry run must leave every byte,
# inode and time as it was; backups keep the oldest; SIGINT stops cleanly
# and a second run does the rest; on a terminal the progress never stays.
#   service_profiles.sh BUILD
set -u
build=$1 root=$(cd "$(dirname "$0")/../.." && pwd)
command=$build/lorimex-profiles
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/e2e/profiles_run.sh"
# The default hive in a folder of its own: a dry run must not read it either.
default=$work/hives/default.hiv
mkdir "$work/hives"
fill "$default" 'HKEY_USERS\.DEFAULT' "$root/examples/profile.reg"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\Options]\n"Language"="fr"\n' >"$work/own.reg"
fill "$work/own.hiv" HKEY_CURRENT_USER "$work/own.reg"
p=$work/profiles
make_profiles() {
  rm -rf "$p"
  for user in alice bob carol dan erin; do mkdir -p "$p/$user"; done
  fill "$p/alice/NTUSER.DAT" HKEY_CURRENT_USER "$root/examples/profile.reg"
  cp "$work/own.hiv" "$p/bob/ntuser.dat"
  echo junk >"$p/carol/NTUSER.DAT"
  cp "$p/alice/NTUSER.DAT" "$p/dan/NTUSER.DAT"
  "$build/hivetool" sequence "$p/dan/NTUSER.DAT" 3 2
  chmod 640 "$p/alice/NTUSER.DAT"
  # Erin's settings are where Windows' lookup cannot find them: not hers.
  cp "$work/own.hiv" "$p/erin/NTUSER.DAT"
  "$build/hivetool" hash "$p/erin/NTUSER.DAT" Software
}
skipped='skipped: already holds Software\Norvane\Kelvaro, whose values a run would overwrite (--force services it)'
recovery='failed: needs recovery from its transaction logs (its sequence numbers 3 and 2 differ): let Windows load the profile once (log on and off), then run again (error 32 at Software)'
junk='failed: not a usable hive: no base block (a hive file begins with "regf") (error 1015 at Software)'
language='Software\Norvane\Kelvaro\Options\Language'

# A dry run says what each would get and touches nothing, not even a time.
make_profiles
cp -r "$p" "$work/copies"
settle "$p" "$work/hives"
before=$(snapshot)
run --dry-run --jobs 2 --backup "$work/backup" "$default" "$p"
expect 1 "$p/alice/NTUSER.DAT: would update: 5 keys to create, 12 values to set" "$p/bob/ntuser.dat: $skipped" \
  "$p/carol/NTUSER.DAT: $junk" "$p/dan/NTUSER.DAT: $recovery" \
  "$p/erin/NTUSER.DAT: would update: 2 keys to create, 12 values to set (1 replace a different value: $language)" \
  "profiles: 5, would update: 2, unchanged: 0, skipped: 1, failed: 2"
after=$(snapshot)
[ "$after" = "$before" ] || { fail "the dry run changed files"; diff <(echo "$before") <(echo "$after"); }
diff -r "$work/copies" "$p" >/dev/null || fail "the dry run changed a hive's bytes"
[ ! -e "$work/backup" ] || fail "the dry run made a backup"
# A parent that left SIGCHLD ignored must not keep the command from waiting
# for its services.
perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV' timeout 60 "$command" --dry-run "$default" "$p" >"$work/out" 2>&1
grep -q '^profiles: 5, would update: 2, ' "$work/out" || fail "with SIGCHLD ignored: $(tail -1 "$work/out")"
# A dry run does not wait for a hive another run holds: this shell holds
# its lock, so that nothing is left running to hold the test's output.
exec {held}<"$p/alice/NTUSER.DAT"
flock -x "$held"
timeout 8 "$command" --dry-run "$default" "$p" >"$work/out" 2>&1
grep -q "^$p/alice/NTUSER.DAT: would update" "$work/out" || fail "a dry run waited for a held hive: $(grep alice "$work/out")"
exec {held}<&-
# What the save would refuse, the dry run refuses too.
ln "$p/alice/NTUSER.DAT" "$work/second-name"
run --dry-run "$default" "$p"
grep -qF "$p/alice/NTUSER.DAT: failed: has other hard links" "$work/out" ||
  fail "the dry run passes what the save refuses: $(grep alice "$work/out")"
rm "$work/second-name"
run --dry-run --force "$default" "$p"
grep -qxF "$p/bob/ntuser.dat: would update: 2 keys to create, 12 values to set (1 replace a different value: $language)" \
  "$work/out" || fail "no forced dry-run line: $(cat "$work/out")"

# The run: the backup keeps the old bytes, owner and mode, in a folder of a
# relative path it makes; the report has a row per profile, written through
# a link to it, and none of the lines, with standard output closed; the
# skipped profile keeps the user's own settings.
cp "$p/alice/NTUSER.DAT" "$work/alice.before"
settle "$p/bob"
bob=$(snapshot)
(cd "$work" && exec "$command" --dry-run --report closed.csv "$default" "$p" >&- 2>/dev/null)
grep -q '^profiles: ' "$work/closed.csv" && fail "with standard output closed, lines went into the report"
# The report to /dev/stdout, which is a file: rows and lines both there.
(cd "$work" && exec "$command" --dry-run --report /dev/stdout "$default" "$p" >"$work/both" 2>/dev/null)
grep -q '^profiles: ' "$work/both" && grep -q '^path,result,' "$work/both" ||
  fail "--report /dev/stdout into a file lost the lines or the rows: $(cat "$work/both")"
ln -s report-1.csv "$work/report.csv"
run --jobs 2 --backup backup --report report.csv "$default" "$p"
[ -L "$work/report.csv" ] || fail "the link to the report was replaced"
expect 1 "$p/alice/NTUSER.DAT: updated: 5 keys created, 12 values set" "$p/bob/ntuser.dat: $skipped" \
  "$p/carol/NTUSER.DAT: $junk" "$p/dan/NTUSER.DAT: $recovery" \
  "$p/erin/NTUSER.DAT: updated: 2 keys created, 12 values set (1 replaced a different value: $language)" \
  "profiles: 5, updated: 2, unchanged: 0, skipped: 1, failed: 2"
cmp -s "$work/alice.before" "$work/backup/alice/NTUSER.DAT" || fail "no backup of alice"
[ "$(stat -c %a "$work/backup/alice/NTUSER.DAT")" = 640 ] || fail "the backup's mode is not the hive's"
[ "$(find "$work/backup" -type f | wc -l)" = 2 ] || fail "backups of hives that were not replaced"
"$build/hivetool" check "$p/erin/NTUSER.DAT" || fail "erin's settings are still hidden from Windows"
# (Read it may be: its folder is looked into for transaction logs.)
[ "$(snapshot | cut -d ' ' -f 1-6)" = "$(cut -d ' ' -f 1-6 <<<"$bob")" ] || fail "the skipped profile was written"
"$build/hivetool" check "$p/alice/NTUSER.DAT" || fail "alice's hive breaks Windows' rules"
{
  echo 'path,result,detail,keys created,values set'
  echo "$p/alice/NTUSER.DAT,updated,\"5 keys created, 12 values set\",5,12"
  echo "$p/bob/ntuser.dat,skipped,\"${skipped#skipped: }\",0,0"
  echo "$p/carol/NTUSER.DAT,failed,\"${junk#failed: }\",0,0" | sed 's/"regf"/""regf""/'
  echo "$p/dan/NTUSER.DAT,failed,\"${recovery#failed: }\",0,0"
  echo "$p/erin/NTUSER.DAT,updated,\"2 keys created, 12 values set (1 replaced a different value: $language)\",2,12"
} | sed 's/$/\r/' | sort >"$work/want.csv"
sort "$work/report.csv" | cmp -s - "$work/want.csv" || { fail "report differs"; diff "$work/want.csv" <(sort "$work/report.csv"); }
[ "$(head -c 42 "$work/report.csv")" = 'path,result,detail,keys created,values set' ] || fail "the header is not first"

# --force: bob gets the default's values over his own; the oldest backup
# is kept.
mkdir "$work/backup/bob" && cp "$work/alice.before" "$work/backup/bob/ntuser.dat"
rm -r "$p/carol" "$p/dan"
run --force --backup "$work/backup" "$default" "$p"
expect 0 "$p/alice/NTUSER.DAT: unchanged" "$p/erin/NTUSER.DAT: unchanged" \
  "$p/bob/ntuser.dat: updated: 2 keys created, 12 values set (1 replaced a different value: $language)" \
  "profiles: 3, updated: 1, unchanged: 2, skipped: 0, failed: 0"
cmp -s "$work/alice.before" "$work/backup/bob/ntuser.dat" || fail "an older backup was overwritten"

# A wrong hash on a key beside the way hides only that key from Windows:
# the user's own settings are found, and kept, the hive not even repaired.
mkdir -p "$work/beside/gus"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"W"="x"\n' >"$work/desktop.reg"
cp "$work/own.hiv" "$work/beside/gus/NTUSER.DAT"
LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$work/beside/gus/NTUSER.DAT "$build/regload" --wide \
  --into-user HKEY_CURRENT_USER "$work/desktop.reg"
"$build/hivetool" hash "$work/beside/gus/NTUSER.DAT" 'Control Panel'
cp "$work/beside/gus/NTUSER.DAT" "$work/gus.before"
run --backup "$work/gus-backup" "$default" "$work/beside"
expect 0 "$work/beside/gus/NTUSER.DAT: $skipped" "profiles: 1, updated: 0, unchanged: 0, skipped: 1, failed: 0"
cmp -s "$work/gus.before" "$work/beside/gus/NTUSER.DAT" && [ ! -e "$work/gus-backup" ] ||
  fail "the skipped profile was written or backed up"

# A copy of the default profile's hive among the profiles (it names itself
# DEFAULT.SAV) is never written as a user's; the line gives the command's
# reason, not the environment's of a run of lorimex.
mkdir -p "$work/saved/frank"
cp "$work/own.hiv" "$work/saved/frank/NTUSER.DAT"
"$build/hivetool" name "$work/saved/frank/NTUSER.DAT" 'Config\DEFAULT.SAV'
run "$default" "$work/saved"
expect 1 "$work/saved/frank/NTUSER.DAT: failed: names itself \"Config\\DEFAULT.SAV\", the default profile's hive, which is never written as a user's (error 5 at Software)" \
  "profiles: 1, updated: 0, unchanged: 0, skipped: 0, failed: 1"
# An empty hive in a profile's place: made from nothing, never a profile's.
mkdir -p "$work/empty/gina"
"$build/hivetool" blank "$work/empty/gina/NTUSER.DAT"
run "$default" "$work/empty"
expect 1 "$work/empty/gina/NTUSER.DAT: failed: not a user's profile hive: its root holds no keys at all (an empty hive) (error 2 at Software)" \
  "profiles: 1, updated: 0, unchanged: 0, skipped: 0, failed: 1"

# Nothing can be done: exit 2, one line, no profile touched. (The checks
# of the command line, the files and folders are the unit tests'.)
"$build/hivetool" blank "$work/bare.hiv"
# A default profile whose settings the copy cannot read whole: a value
# past the copy's 2048 bytes.
perl -e 'print "REGEDIT4\n\n[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro]\n\"Version\"=\"4.2\"\n";
  print "\"Layout\"=hex:", join(",", ("00") x 3000), "\n\"Server\"=\"srv1\"\n"' >"$work/big.reg"
fill "$work/big.hiv" 'HKEY_USERS\.DEFAULT' "$work/big.reg"
settle "$p"
before=$(snapshot)
while IFS='|' read -r arguments expected; do
  eval "run $arguments"
  [ $status = 2 ] && [ "$(cat "$work/err")" = "lorimex-profiles: $expected" ] ||
    fail "$arguments: exit status $status, not 2 with: $expected; got: $(cat "$work/err")"
done <<ROWS
$work/bare.hiv $p|$work/bare.hiv: holds no Software\\Norvane\\Kelvaro: save the default profile of a PC where Kelvaro is installed (reg save HKU\\.DEFAULT default.hiv)
$work/own.reg $p|$work/own.reg: not a usable hive: no base block (a hive file begins with "regf") (error 1015 at the default hive's Software\\Norvane\\Kelvaro)
$work/big.hiv $p|$work/big.hiv: the copy cannot read all of its Software\\Norvane\\Kelvaro (the copy left out what it does not copy: a value larger than it takes, a name holding a NUL, or a link or a depth it does not follow): every profile would get only part of it
$default $work/none|$work/none: no such folder (the folder of the profiles, each a folder holding NTUSER.DAT or Profile_*.vhdx)
--jobs 0 $default $p|--jobs takes a number of profiles at a time, 1 to 1024, not "0" (try lorimex-profiles --help)
ROWS
after=$(snapshot)
[ "$after" = "$before" ] || { fail "a run that could do nothing touched a profile"; diff <(echo "$before") <(echo "$after"); }
"$command" --help | grep -q '^usage: lorimex-profiles' || fail "--help"

# SIGINT, SIGTERM or SIGHUP: the profiles under way finish, no new one starts,
# every hive is whole and no temporary file is left; a second run does the
# rest.
for stop in INT:130 TERM:143 HUP:129; do
  rm -rf "$p"
  for i in $(seq 1 60); do mkdir -p "$p/user$i" && cp "$work/alice.before" "$p/user$i/NTUSER.DAT"; done
  # The signal goes to the command's process group, services and all, as
  # Ctrl-C on a terminal sends it; to the command itself, not a shell
  # around it (exec), and not before it has written a line of its own.
  rm -f "$work/out"
  (exec setsid "$command" --jobs 2 --report "$work/stop.csv" "$default" "$p" >"$work/out" 2>"$work/err") &
  pid=$!
  for ((i = 0; i < 500; ++i)); do [ -s "$work/out" ] && break; sleep 0.01; done
  kill -"${stop%:*}" -- -$pid
  wait $pid
  status=$?
  [ $status = "${stop#*:}" ] || fail "exit status $status after SIG${stop%:*}, not ${stop#*:}"
  grep -q ", not reached: $(grep -c ',not reached,' "$work/stop.csv")\$" "$work/out" ||
    fail "the summary does not say what was not reached, or the report's rows do not: $(tail -1 "$work/out")"
  grep -q ': failed' "$work/out" && fail "a profile under way failed: $(grep ': failed' "$work/out")"
  [ -z "$(find "$p" -name '.*')" ] || fail "temporary files left: $(find "$p" -name '.*')"
  for hive in "$p"/*/NTUSER.DAT; do
    cmp -s "$hive" "$work/alice.before" || "$build/hivetool" check "$hive" >/dev/null || fail "$hive is broken"
  done
  done_first=$(grep -c ': updated' "$work/out")
  # More at a time than there are descriptors for: the rest wait their turn.
  (ulimit -n 40 && exec "$command" --jobs 30 "$default" "$p") >"$work/out" 2>"$work/err"
  status=$?
  [ $status = 0 ] || fail "the second run's exit status is $status"
  [ "$(tail -1 "$work/out")" = "profiles: 60, updated: $((60 - done_first)), unchanged: 0, skipped: $done_first, failed: 0" ] ||
    fail "the second run: $(tail -1 "$work/out")"
done

# On a terminal (tmux), the result lines and the summary each on a line of
# their own, and no progress left on the screen.
if command -v tmux >/dev/null; then
  session=lorimex-profiles-$$
  tmux -L "$session" -u new-session -d -s "$session" -x 250 -y 80 \
    "$(printf '%q ' "$command" --jobs 1 "$default" "$p"); echo finished; sleep 60"
  for ((i = 0; i < 300; ++i)); do
    screen=$(tmux -L "$session" capture-pane -p -t "$session" 2>/dev/null)
    grep -q '^finished' <<<"$screen" && break
    sleep 0.2
  done
  tmux -L "$session" kill-server 2>/dev/null
  if ! grep -qxF "$p/user9/NTUSER.DAT: $skipped" <<<"$screen" ||
    ! grep -qxF "profiles: 60, updated: 0, unchanged: 0, skipped: 60, failed: 0" <<<"$screen" ||
    grep -q 'of 60 profiles' <<<"$screen"; then
    fail "the terminal shows:"
    echo "$screen"
  fi
else
  echo "tmux is missing: the terminal's row is not run"
fi
exit $failed
