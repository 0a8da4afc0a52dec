#!/usr/bin/env bash
# A short pass of a fuzzer: builds the target with clang's libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, seeds it, and runs it for
# SECONDS. TARGET "regfile" (the default) is the registry file reader and
# writer, seeded with the end-to-end fixtures: an accepted input that does
# not write back and read again the same fails it. TARGET "hive" is the
# hive reader, checker and writer, seeded with hives the e2e runs make. A
# crash, a sanitizer report or a stack overflow fails either.
#   run.sh FOLDER SECONDS [TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
folder=$1 seconds=$2 target=${3:-regfile}
mkdir -p "$folder/corpus"
if [ "$target" = hive ]; then
  clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root" \
    "$root/tests/fuzz/hive_fuzz.cpp" "$root"/standin/hive/{cells,keys}.cpp "$root"/regfile/casefold.cpp \
    -o "$folder/hive_fuzz"
  mkdir -p "$folder/hive-corpus"
  cp "$root"/tests/fuzz/hive-seeds/* "$folder/hive-corpus/" 2>/dev/null || true
  cd "$folder"
  ./hive_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 hive-corpus 2>&1 | tail -n 12
  exit "${PIPESTATUS[0]}"
fi
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root" \
  "$root/tests/fuzz/regfile_fuzz.cpp" "$root"/regfile/{casefold,names,tree,key_index,reader,writer}.cpp \
  -o "$folder/regfile_fuzz"
for fixture in "$root"/tests/e2e/cases/*/*.reg; do
  cp "$fixture" "$folder/corpus/$(basename "$(dirname "$fixture")")-$(basename "$fixture")"
done
cd "$folder"
./regfile_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 corpus 2>&1 | tail -n 12
