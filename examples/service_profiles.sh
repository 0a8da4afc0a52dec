#!/usr/bin/env bash
# Gives every roaming profile on a file server the Kelvaro settings of the
# default profile, offline: runs lorimex on each PROFILES_DIR/*/NTUSER.DAT
# (any case), a few at a time, with DEFAULT_HIVE as the default profile's
# hive. Run it while the users are logged off: Windows writes a logged-on
# user's profile back at logoff, over the change.
#   examples/service_profiles.sh DEFAULT_HIVE PROFILES_DIR
# Prints one line per profile, "PATH: VERDICT": "updated" when the hive was
# replaced, "unchanged" when it already held everything (lorimex then
# writes nothing), "failed: " with the first error line and the reason, or
# with its exit status when a run ended without a verdict; then a summary.
# Progress goes to standard error. Exits 1 when any profile failed, 2 when
# nothing can be done: wrong arguments, a missing hive, folder or program,
# no profile in the folder (one line on standard error says which).
# LORIMEX: the program (default: lorimex on the PATH, else build/lorimex of
# this tree); JOBS: runs at a time (default: the number of processors).
set -u
cannot() { echo "service_profiles.sh: $*" >&2; exit 2; }
[ $# -eq 2 ] || { echo "usage: $0 DEFAULT_HIVE PROFILES_DIR" >&2; exit 2; }
[ -e "$1" ] || cannot "$1: no such file (the default profile's hive, saved with reg save HKU\.DEFAULT)"
[ -f "$1" ] || cannot "$1: not a file (the default profile's hive, saved with reg save HKU\.DEFAULT)"
[ -d "$2" ] || cannot "$2: no such folder (the folder of the profiles, each a folder holding NTUSER.DAT)"
here=$(cd "$(dirname "$0")" && pwd)
lorimex=${LORIMEX:-$(command -v lorimex || echo "$here/../build/lorimex")}
command -v -- "$lorimex" >/dev/null || cannot "$lorimex: no such program (build it, or name it in LORIMEX)"
default_hive=$(realpath "$1")
jobs=${JOBS:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

find "$2" -mindepth 2 -maxdepth 2 -iname NTUSER.DAT -type f -print0 | sort -z >"$work/profiles"
total=$(tr -cd '\0' <"$work/profiles" | wc -c)
[ "$total" -gt 0 ] || cannot "$2: no profile in it (no FOLDER/NTUSER.DAT): nothing to do"

# One profile: its line, "PATH: updated", "PATH: unchanged" or "PATH:
# failed: ...", ended by a NUL, as a path may hold a line break. lorimex
# replaces a hive it changes by a new file, so the file's identity (inode,
# modification time) tells whether it wrote.
service() {
  local profile=$1 errors=$work/errors.$$ out err= before
  before=$(stat -c '%i %y' -- "$profile")
  if out=$(LORIMEX_DEFAULT_HIVE=$default_hive LORIMEX_USER_HIVE=$profile "$lorimex" 2>"$errors"); then
    if [ "$(stat -c '%i %y' -- "$profile")" = "$before" ]; then
      printf '%s: unchanged\0' "$profile"
    else
      printf '%s: updated\0' "$profile"
    fi
  else
    local status=$?
    IFS= read -r err <"$errors"
    out=$(grep -m 1 '^ *Error' <<<"$out")
    # A run killed (or never started) wrote no error line: how it ended.
    out=${out:-no verdict (exit status $status)}
    printf '%s: failed: %s%s\0' "$profile" "${out#"${out%%[! ]*}"}" "${err:+ ($err)}"
  fi
  rm -f "$errors"
}
export -f service
export lorimex default_hive work

# The lines as the runs end, with the count so far on standard error. On a
# terminal the count is taken off its line before each result line, and at
# the end, so that the two never run into each other.
clear=
[ -t 2 ] && clear=$'\r\e[K'
finished=0 updated=0 unchanged=0
while IFS= read -r -d '' line; do
  printf '%s' "$clear" >&2
  printf '%s\n' "$line"
  finished=$((finished + 1))
  case $line in
    *": updated") updated=$((updated + 1)) ;;
    *": unchanged") unchanged=$((unchanged + 1)) ;;
  esac
  printf '\r%d of %d profiles' "$finished" "$total" >&2
done < <(xargs -0 -r -n 1 -P "$jobs" bash -c 'service "$1"' - <"$work/profiles")
if [ -n "$clear" ]; then printf '%s' "$clear" >&2; else echo >&2; fi
failed=$((total - updated - unchanged))
echo "profiles: $total, updated: $updated, unchanged: $unchanged, failed: $failed"
[ "$failed" = 0 ]
