# The hive mode of run_case.sh (sourced): the case's trees go into hive
# files made from nothing (hivetool blank), lorimex runs on them, and the
# user's hive must afterwards hold the tree that expected.reg says, read
# back through the stand-in's hive layer and, apart from the program's own
# hive code, by libhivex (hivexdump); it must read as the reference hive
# the writer made of expected.reg does, to libhivex and libregf's
# regfexport; it must keep Windows' rules (hivetool check, as every hive
# the case made), and the default hive must be exactly as it was.
build=$(dirname "$lorimex")

# fill FILE HIVE KEY: the file's KEY becomes the hive's root.
fill() {
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$2 "$build/regload" --wide --into-user "$3" "$1"
}

run_on_hives() {
  for hive in default user scratch reference; do "$build/hivetool" blank "$work/$hive.hiv"; done
  fill "$case_dir/input.reg" "$work/default.hiv" 'HKEY_USERS\.DEFAULT'
  if [ -f "$case_dir/nul" ]; then "$build/hivetool" nul "$work/default.hiv"; fi
  fill "$case_dir/input.reg" "$work/user.hiv" HKEY_CURRENT_USER
  # A case's file "damage" holds hivetool commands, one a line, on @DEFAULT@
  # or @USER@: damage Windows' loader lets through; on @REFERENCE@ too, for
  # damage the run leaves as it is, which expected.reg cannot hold.
  damage() {
    [ -f "$case_dir/damage" ] || return 0
    while read -r -a command; do
      "$build/hivetool" "${command[@]//@DEFAULT@/$work/default.hiv}" || failed=1
    done < <(grep "$@" "$case_dir/damage" | sed "s|@USER@|$work/user.hiv|g; s|@REFERENCE@|$work/reference.hiv|g")
  }
  damage -v @REFERENCE@
  fill "$case_dir/expected.reg" "$work/reference.hiv" HKEY_CURRENT_USER
  damage @REFERENCE@
  cp "$work/default.hiv" "$work/default.before"
  LORIMEX_DEFAULT_HIVE=$work/default.hiv LORIMEX_USER_HIVE=$work/user.hiv "${wrapper[@]}" "$lorimex" >"$work/out" \
    2>"$work/err"
  status=$?
}

check_hives() {
  if ! cmp -s "$work/default.before" "$work/default.hiv"; then
    echo "--- the default hive was written"
    failed=1
  fi
  for hive in user reference; do "$build/hivetool" check "$work/$hive.hiv" || failed=1; done
  [ -f "$case_dir/damage" ] || "$build/hivetool" check "$work/default.hiv" || failed=1
  cp "$case_dir/expected.reg" "$work/expected.reg"
  LORIMEX_REGISTRY=$work/expected.reg "$build/regdump" --wide hkcu Software >"$work/expected.tree"
  # Where a key is left as it is, the hive layer reads an error there
  # (expected.tree), and libhivex what the reference hive holds.
  local reference=
  if [ -f "$case_dir/expected.tree" ]; then
    cp "$case_dir/expected.tree" "$work/expected.tree"
    reference=1
  fi
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$work/user.hiv "$build/regdump" --wide hkcu Software \
    >"$work/hive.tree"
  check "$work/expected.tree" "$work/hive.tree" "tree read through the hive layer"
  # libregf takes a value without data whose data field is the nil cell
  # for damage: where a case made such values, that is not compared.
  local keep=.
  [ -f "$case_dir/damage" ] && keep='^Is corrupted$'
  # What the .reg file says against what libhivex reads in the hive, key
  # by key: the subkeys' order is Windows' in the hive, not the .reg file's
  # (hivetool check checks it).
  if [ ! -x "$build/hivexdump" ]; then
    echo "--- no hivexdump (libhivex-dev): the hive is not read apart from the program"
    failed=1
  fi
  by_key() { awk '/^[^ ]/ { key = $0 } { print key "\t" $0 }' "$1" | LC_ALL=C sort; }
  by_key "$work/expected.tree" >"$work/expected.keys"
  "$build/hivexdump" "$work/user.hiv" Software >"$work/hive.libhivex" 2>&1
  by_key "$work/hive.libhivex" >"$work/hive.keys"
  [ -n "$reference" ] || check "$work/expected.keys" "$work/hive.keys" "tree read by libhivex against expected.reg"
  if [ -x "$build/hivexdump" ]; then
    "$build/hivexdump" "$work/reference.hiv" >"$work/expected.hivex" 2>&1
    "$build/hivexdump" "$work/user.hiv" >"$work/hive.hivex" 2>&1
    check "$work/expected.hivex" "$work/hive.hivex" "tree read by libhivex"
  fi
  regfexport "$work/reference.hiv" 2>&1 | grep -v "$keep" >"$work/expected.regf"
  regfexport "$work/user.hiv" 2>&1 | grep -v "$keep" >"$work/hive.regf"
  check "$work/expected.regf" "$work/hive.regf" "tree read by regfexport"
}
