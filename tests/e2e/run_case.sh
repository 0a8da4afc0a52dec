#!/usr/bin/env bash
# Runs lorimex on a copy of a case's registry file and compares its output,
# exit status, standard error and the registry afterwards with the case's
# expected files.
# In plain mode a WRAPPER command line (valgrind, say) may run the program.
# A case's file "ulimit" gives the largest file, in KB, the run may write;
# its file "codepage" the code page of a REGEDIT4 registry (LORIMEX_CODEPAGE).
# Mode "hive" runs the case on hive files instead: the default profile's
# tree in one, the current user's in another (see hive_case.sh). Mode "help"
# asks for help in each of its spellings, which must print the usage
# (e2e/help.out), exit 0 and leave the registry as it was; mode "argument"
# runs with arguments that ask for nothing, which must change nothing.
#   run_case.sh LORIMEX CASE_DIR [plain|second-run|head|broken-pipe|closed-stdout|while-locked|hive|help|argument] [WRAPPER...]
set -u
lorimex=$1 case_dir=$2 mode=${3:-plain}
wrapper=("${@:4}")
work=$(mktemp -d)
failed=0
trap 'rm -rf "$work"' EXIT
cp "$case_dir/input.reg" "$work/registry.reg"
export LORIMEX_REGISTRY=$work/registry.reg
export LORIMEX_CODEPAGE=$(cat "$case_dir/codepage" 2>/dev/null || echo utf-8)
expected_out=$case_dir/expected.out

limit=$(cat "$case_dir/ulimit" 2>/dev/null || echo unlimited)
case $mode in
  plain) (ulimit -f "$limit" && exec "${wrapper[@]}" "$lorimex") >"$work/out" 2>"$work/err"; status=$? ;;
  second-run)
    "$lorimex" >/dev/null 2>&1
    "$lorimex" >"$work/out" 2>"$work/err"; status=$? ;;
  head)
    # The reader goes away after one line; the copy must still finish.
    "$lorimex" 2>"$work/err" | head -n 1 >"$work/out"
    status=${PIPESTATUS[0]}
    head -n 1 "$case_dir/expected.out" >"$work/expected.out"
    expected_out=$work/expected.out ;;
  broken-pipe)
    # Every write fails: standard output is a pipe nobody reads.
    perl -e 'pipe(my $r, my $w) or die; close $r; open(STDOUT, ">&", $w) or die; exec @ARGV or die' \
      "$lorimex" 2>"$work/err"; status=$?
    : >"$work/out"; : >"$work/expected.out"
    expected_out=$work/expected.out ;;
  while-locked)
    # Another run holds the registry until told: every line written until
    # then must reach the file while this run waits (each line is flushed
    # at once).
    lock=$work/registry.reg
    flock "$lock" bash -c 'until [ -e "$1" ]; do sleep 0.05; done' - "$work/release" & holder=$!
    until ! flock -n "$lock" true; do sleep 0.05; done
    "$lorimex" >"$work/out" 2>"$work/err" & run=$!
    for ((i = 0; i < 100; ++i)); do
      waiting_lines=$(wc -l <"$work/out")
      [ "$waiting_lines" -ge 11 ] && break
      sleep 0.05
    done
    touch "$work/release"
    wait "$run"; status=$?
    wait "$holder" ;;
  closed-stdout)
    # The files the run opens must not take descriptor 1: the lines would go
    # into them. The run comes second, so that it writes nothing back and
    # the registry file it holds open is the one compared below.
    "$lorimex" >/dev/null 2>&1
    "$lorimex" >&- 2>"$work/err"; status=$?
    : >"$work/out"; : >"$work/expected.out"
    expected_out=$work/expected.out ;;
  hive)
    . "$(dirname "$0")/hive_case.sh"
    run_on_hives ;;
  help)
    status=0 expected_out=$(dirname "$0")/help.out expected_reg=$case_dir/input.reg expected_status=0
    for option in /? -? /H -h --help --HELP; do
      "$lorimex" "$option" >"$work/out" 2>>"$work/err" || status=$?
      cmp -s "$expected_out" "$work/out" || break
    done ;;
  argument) "$lorimex" /s -y --helpful /?? >"$work/out" 2>"$work/err"; status=$? ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac

if [ -n "${waiting_lines:-}" ] && [ "$waiting_lines" != 11 ]; then
  echo "--- while the run waited, $waiting_lines lines had reached the file, not 11"
  failed=1
fi
check() {
  if ! cmp -s "$1" "$2"; then
    echo "--- $3 differs (expected, then actual):"
    diff "$1" "$2" | head -n 40
    failed=1
  fi
}
check "$expected_out" "$work/out" "standard output"
if [ "$mode" = hive ]; then
  check_hives
else
  check "${expected_reg:-$case_dir/expected.reg}" "$work/registry.reg" "registry file"
fi
if [ -f "$case_dir/expected.err" ]; then
  sed "s|@REGISTRY@|$work/registry.reg|; s|@DEFAULT_HIVE@|$work/default.hiv|; s|@USER_HIVE@|$work/user.hiv|" \
    "$case_dir/expected.err" >"$work/expected.err"
else
  : >"$work/expected.err"
fi
check "$work/expected.err" "$work/err" "standard error"
expected_status=${expected_status:-$(cat "$case_dir/expected.status" 2>/dev/null || echo 0)}
if [ "$status" != "$expected_status" ]; then
  echo "--- exit status $status, expected $expected_status"
  failed=1
fi
exit $failed
