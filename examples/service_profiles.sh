#!/usr/bin/env bash
# Gives every roaming profile on a file server the Kelvaro settings of the
# default profile, offline: runs lorimex on each PROFILES_DIR/*/NTUSER.DAT
# (any case), a few at a time, with DEFAULT_HIVE as the default profile's
# hive. Run it while the users are logged off: Windows writes a logged-on
# user's profile back at logoff, over the change.
#   examples/service_profiles.sh DEFAULT_HIVE PROFILES_DIR
# Prints one line per profile, "PATH: VERDICT" (with the first error line
# and the reason when a run failed, or its exit status when it ended
# without a verdict), then a summary; progress goes to
# standard error. Exits 1 when any profile failed, 2 on wrong arguments.
# LORIMEX: the program (default: lorimex on the PATH, else build/lorimex of
# this tree); JOBS: runs at a time (default: the number of processors).
set -u
if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -d "$2" ]; then
  echo "usage: $0 DEFAULT_HIVE PROFILES_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
lorimex=${LORIMEX:-$(command -v lorimex || echo "$here/../build/lorimex")}
default_hive=$(realpath "$1")
jobs=${JOBS:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

find "$2" -mindepth 2 -maxdepth 2 -iname NTUSER.DAT -type f -print0 | sort -z >"$work/profiles"
total=$(tr -cd '\0' <"$work/profiles" | wc -c)

# One profile: its line, "PATH: updated" or "PATH: failed: ...", ended by a
# NUL, as a path may hold a line break.
service() {
  local profile=$1 errors=$work/errors.$$ out err=
  if out=$(LORIMEX_DEFAULT_HIVE=$default_hive LORIMEX_USER_HIVE=$profile "$lorimex" 2>"$errors"); then
    printf '%s: updated\0' "$profile"
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

# The lines as the runs end, with the count so far on standard error.
finished=0 failed=0
while IFS= read -r -d '' line; do
  printf '%s\n' "$line"
  finished=$((finished + 1))
  [[ $line == *": updated" ]] || failed=$((failed + 1))
  printf '\r%d of %d profiles' "$finished" "$total" >&2
done < <(xargs -0 -r -n 1 -P "$jobs" bash -c 'service "$1"' - <"$work/profiles")
[ "$total" -gt 0 ] && echo >&2
echo "profiles: $total, updated: $((finished - failed)), failed: $failed"
[ "$failed" = 0 ] && [ "$finished" = "$total" ]
