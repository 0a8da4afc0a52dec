# Sourced by the lorimex-profiles tests, after they set `build`, `work` and
# `command`: hives filled from .reg files, the run and its expected lines,
# and the snapshot of every name, inode, size, mode and time under folders.

# fill HIVE ROOT REG: a hive made from nothing, holding REG's keys under ROOT.
fill() {
  "$build/hivetool" blank "$1"
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regload" --wide --into-user "$2" "$3"
}
"$build/hivetool" blank "$work/scratch.hiv"

# Every name, inode, size, mode and time under the folders (their bytes are
# compared with copies); the folders are read once, then their access
# times and their files' set long ago, which any later read would change.
settle() {
  mapfile -t listed < <(find "$@")
  touch -a -d 2020-01-01 "${listed[@]}"
}
snapshot() { stat -c '%n %i %s %a %Y %Z %X' "${listed[@]}"; }

failed=0
fail() { echo "--- $*"; failed=1; }
# In the work folder, where relative paths start.
run() {
  (cd "$work" && exec "$command" "$@") >"$work/out" 2>"$work/err"
  status=$?
}
# expect STATUS LINE...: the run's exit status and its lines, in any order.
expect() {
  [ "$status" = "$1" ] || fail "exit status $status, not $1"
  shift
  printf '%s\n' "$@" | sort >"$work/want"
  sort "$work/out" >"$work/got"
  cmp -s "$work/want" "$work/got" || { fail "lines differ"; diff "$work/want" "$work/got"; cat "$work/err"; }
}
