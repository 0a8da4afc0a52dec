#!/usr/bin/env bash
# The example playbook on localhost (-c local), as an inventory of one file
# server: the profiles serviced, the report fetched to the controller's
# folder; a second run with a failing profile fails the host, after its
# report is fetched. Skipped (77) without ansible-playbook.
#   ansible_playbook.sh BUILD
set -u
build=$1 root=$(cd "$(dirname "$0")/../.." && pwd)
command -v ansible-playbook >/dev/null || { echo "ansible-playbook is missing: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "--- $*"; failed=1; }
fill() {
  "$build/hivetool" blank "$1"
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regload" --wide --into-user "$2" \
    "$root/examples/profile.reg"
}
"$build/hivetool" blank "$work/scratch.hiv"
fill "$work/default.hiv" 'HKEY_USERS\.DEFAULT'
# The server's folder for the default hive is not there yet, as on a new
# server.
mkdir -p "$work/profiles/alice" "$work/server"
fill "$work/profiles/alice/NTUSER.DAT" HKEY_CURRENT_USER
echo 'localhost ansible_connection=local' | sed '1i [profile_servers]' >"$work/inventory"
# Run from the work folder, as an administrator would from theirs: the
# default hive and the reports' folder relative to it. PWD names another
# folder, as it does when a program (make -C, a job runner) starts the
# command in a folder it changed to itself.
play() {
  (cd "$work" && PWD=$root ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ansible-playbook -i inventory -c local "$root/examples/ansible/service-profiles.yml" \
    -e "lorimex_become=false lorimex_profiles=$build/lorimex-profiles default_hive_source=default.hiv" \
    -e "default_hive=$work/server/lib/lorimex/default.hiv backup_dir=$work/backup profiles_dir=$work/profiles" "$@") \
    >"$work/log" 2>&1
}
play || { fail "the playbook failed"; cat "$work/log"; }
grep -q "^$work/profiles/alice/NTUSER.DAT,updated," "$work/reports/localhost.csv" 2>/dev/null ||
  { fail "no report fetched with alice updated"; cat "$work/log"; }
[ -f "$work/backup/alice/NTUSER.DAT" ] || fail "no backup of alice"
mkdir "$work/profiles/bob" && echo junk >"$work/profiles/bob/NTUSER.DAT"
rm "$work/reports/localhost.csv"
play -e "reports=$work/reports" && fail "the playbook did not fail with a failed profile"
grep -q "^$work/profiles/bob/NTUSER.DAT,failed," "$work/reports/localhost.csv" 2>/dev/null ||
  { fail "no report fetched with bob failed"; cat "$work/log"; }
exit $failed
