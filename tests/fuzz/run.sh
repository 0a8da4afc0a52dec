#!/usr/bin/env bash
# A short pass of the registry file fuzzer: builds the target with clang's
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, seeds it with
# the end-to-end fixtures, and runs it for SECONDS. A crash, a sanitizer
# report, a stack overflow (deep recursion) or an accepted input that does
# not write back and read again the same fails it.
#   run.sh FOLDER SECONDS
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
folder=$1 seconds=$2
mkdir -p "$folder/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root" \
  "$root/tests/fuzz/regfile_fuzz.cpp" "$root"/standin/{casefold,names,tree,reader,writer}.cpp -licuuc \
  -o "$folder/regfile_fuzz"
for fixture in "$root"/tests/e2e/cases/*/*.reg; do
  cp "$fixture" "$folder/corpus/$(basename "$(dirname "$fixture")")-$(basename "$fixture")"
done
cd "$folder"
./regfile_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 corpus 2>&1 | tail -n 12
