#!/usr/bin/env bash
# Benchmarks of lorimex. Prints four tables:
#  1. the Linux build: wall time and peak memory of whole runs (load, copy,
#     save) on product subtrees of 1,000, 10,000 and 100,000 keys with 10
#     values each, beside the floor: loading the same file and writing it
#     back with no copy;
#  2. whole runs on files of 200,000 entries in these shapes: sibling keys
#     with one value each in order, the same in reverse order, one key with
#     200,000 values, the same with text values, and with the shortest text
#     values ("v00001"="x", a value of a few bytes), keys without values,
#     chains of 50 keys, 2,000 values of 2048 bytes, the keys in order as a
#     version 5 file (UTF-16); and hostile ones: 100,000 values removed again
#     by as many "name"=- lines, 100,000 keys removed by [-key] lines, value
#     and key names made to collide in a hash anyone can compute (FNV-1a,
#     see crafted_names.cpp) and, as their measure, names of the same length
#     not made so; peak memory against the larger of the file before and
#     after the run;
#  3. the calls of each registry operation on a generated tree, beside the
#     least the copy needs;
#  4. under Wine, lorimex.exe (x86_64) against the 64-bit `reg copy ... /s
#     /f` on one prefix and one tree of 5,000 keys and 50,000 values,
#     alternated run by run (21 pairs, the order swapped each pair).
#  Every timed Wine run is checked afterwards: the destination must equal the
#  source, or the benchmark stops with an error.
#   bench/run.sh [--smoke] [FOLDER]
#  --smoke: small sizes, one run each. FOLDER: where to build (build/bench).
#  LORIMEX_BENCH_LINUX, LORIMEX_BENCH_WINDOWS: folders of builds to use
#  instead (the tests' own, for their smoke run).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
smoke=
if [ "${1:-}" = --smoke ]; then smoke=1; shift; fi
folder=${1:-$root/build/bench}
build=${LORIMEX_BENCH_LINUX:-$folder/linux}
work=$(mktemp -d)
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then timeout 30 wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

sizes="1000 10000 100000" runs=3 wine_keys=5000 pairs=21 shape_count=200000
if [ -n "$smoke" ]; then sizes="100 1000" runs=1 wine_keys=200 pairs=1 shape_count=2000; fi

if [ -z "${LORIMEX_BENCH_LINUX:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLORIMEX_TESTS=OFF -DLORIMEX_BENCH=ON >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds_since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.4f\n", e - s }'; }
# Prints "seconds peak-KB" of one command, its output thrown away.
measure() {
  local start
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/time" "$@" >/dev/null 2>&1 || true
  echo "$(seconds_since "$start") $(cat "$work/time")"
}

echo "## Linux build: whole run against loading and saving the same file"
echo
echo "| keys | values | file MB | run s | floor s | run / floor | run peak MB | peak / file | run us per key |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for keys in $sizes; do
  "$build/gen_tree" "$keys" 10 10 >"$work/tree.reg"
  file_kb=$(( $(stat -c %s "$work/tree.reg") / 1024 ))
  : >"$work/run" >"$work/floor" >"$work/peak"
  for ((i = 0; i < runs; ++i)); do
    cp "$work/tree.reg" "$work/registry.reg"
    read -r seconds peak < <(LORIMEX_REGISTRY=$work/registry.reg measure "$build/lorimex")
    echo "$seconds" >>"$work/run"; echo "$peak" >>"$work/peak"
    cp "$work/tree.reg" "$work/registry.reg"
    read -r seconds _ < <(measure "$build/load_save" "$work/registry.reg")
    echo "$seconds" >>"$work/floor"
  done
  run=$(median <"$work/run") floor=$(median <"$work/floor") peak=$(median <"$work/peak")
  awk -v k="$keys" -v f="$file_kb" -v r="$run" -v fl="$floor" -v p="$peak" 'BEGIN {
    printf "| %d | %d | %.1f | %.3f | %.3f | %.2f | %.0f | %.1f | %.1f |\n",
      k, k * 10, f / 1024, r, fl, (fl > 0 ? r / fl : 0), p / 1024, p / f, r * 1e6 / k }'
done

echo
echo "## Linux build: shapes of the file ($shape_count entries)"
echo
echo "| shape | file MB | after MB | run s | run / in order | peak MB | peak / file |"
echo "|---|---:|---:|---:|---:|---:|---:|"
# Writes a registry file of one shape: sibling keys with one value each, in
# or against the sorted order; one key with all the values, DWORD, text or
# the shortest text; keys without values; chains of 50 keys, each with a
# value; a hundredth as many values of 2048 bytes; values or keys removed by
# the lines after them.
shape() {
  awk -v n="$shape_count" -v shape="$1" 'BEGIN {
    root = "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro"
    print "REGEDIT4\n"
    if (shape == "one key" || shape == "big values" || shape ~ /text values/) print "[" root "]"
    if (shape == "removed values") {
      print "[" root "]"
      for (i = 1; i <= n / 2; ++i) printf "\"V%07d\"=dword:%08x\n", i, i
      for (i = n / 2; i >= 1; --i) printf "\"V%07d\"=-\n", i
      n = 0
    }
    if (shape == "removed keys") {
      for (i = 1; i <= n / 2; ++i) printf "[%s\\K%07d]\n", root, i
      for (i = n / 2; i >= 1; --i) printf "[-%s\\K%07d]\n", root, i
      n = 0
    }
    if (shape == "big values") {
      hex = "00"; for (b = 1; b < 2048; ++b) hex = hex ",00"
      for (i = 1; i <= n / 100; ++i) printf "\"B%07d\"=hex:%s\n", i, hex
    }
    for (i = 1; shape != "big values" && i <= n; ++i) {
      k = (shape == "reverse order") ? n + 1 - i : i
      if (shape == "one key") printf "\"V%07d\"=dword:%08x\n", k, k
      else if (shape == "text values") printf "\"T%07d\"=\"text %d\"\n", k, k
      else if (shape == "short text values") printf "\"v%05d\"=\"x\"\n", k
      else if (shape == "empty keys") printf "[%s\\K%07d]\n\n", root, k
      else if (shape == "deep and narrow") {
        if (i % 50 == 1) path = sprintf("%s\\C%05d", root, i)
        else path = path "\\L"
        printf "[%s]\n\"v\"=dword:%08x\n\n", path, k
      } else printf "[%s\\K%07d]\n\"v\"=dword:%08x\n\n", root, k, k
    }
    print "\n[HKEY_CURRENT_USER\\Software]"
  }'
}
in_order=
# The same keys in order as a version 5 file: UTF-16LE, CR LF.
version5() {
  printf '\xff\xfe'
  shape "keys in order" | sed '1s/.*/Windows Registry Editor Version 5.00/; s/$/\r/' | iconv -f UTF-8 -t UTF-16LE
}
# One key's values, or sibling keys, named from a list of names.
named() {
  awk -v kind="$1" 'BEGIN {
    root = "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro"
    print "REGEDIT4\n"
    if (kind == "values") print "[" root "]"
  }
  { if (kind == "values") printf "\"%s\"=dword:%08x\n", $0, NR; else printf "[%s\\%s]\n\n", root, $0 }
  END { print "\n[HKEY_CURRENT_USER\\Software]" }' "$2"
}
"$build/crafted_names" "$shape_count" >"$work/crafted.names"
"$build/crafted_names" "$shape_count" plain >"$work/plain.names"
for kind in "keys in order" "reverse order" "one key" "text values" "short text values" "empty keys" \
  "deep and narrow" "big values" "version 5" "removed values" "removed keys" "value names" "crafted value names" \
  "key names" "crafted key names"; do
  case $kind in
    "version 5") version5 ;;
    "value names") named values "$work/plain.names" ;;
    "crafted value names") named values "$work/crafted.names" ;;
    "key names") named keys "$work/plain.names" ;;
    "crafted key names") named keys "$work/crafted.names" ;;
    *) shape "$kind" ;;
  esac >"$work/shape.reg"
  : >"$work/run" >"$work/peak"
  for ((i = 0; i < runs; ++i)); do
    cp "$work/shape.reg" "$work/registry.reg"
    read -r seconds peak < <(LORIMEX_REGISTRY=$work/registry.reg measure "$build/lorimex")
    echo "$seconds" >>"$work/run"; echo "$peak" >>"$work/peak"
  done
  run=$(median <"$work/run") peak=$(median <"$work/peak")
  in_order=${in_order:-$run}
  # Peak memory against the larger of the file before and after the run.
  awk -v s="$kind" -v f="$(stat -c %s "$work/shape.reg")" -v a="$(stat -c %s "$work/registry.reg")" -v r="$run" \
    -v o="$in_order" -v p="$peak" 'BEGIN {
      m = (a > f) ? a : f
      printf "| %s | %.1f | %.1f | %.3f | %.2f | %.0f | %.1f |\n", s, f / 1048576, a / 1048576, r, (o > 0 ? r / o : 0),
        p / 1024, p * 1024 / m }'
done

echo
echo "## Registry calls of one run (1,000 keys, 10,000 values)"
echo
"$build/gen_tree" 1000 10 10 >"$work/registry.reg"
echo '```'
LORIMEX_REGISTRY=$work/registry.reg "$build/opcounts" 2>&1 >/dev/null
echo '```'

if ! command -v wine >/dev/null || ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo; echo "(Wine or mingw-w64 missing: the comparison with reg copy is left out)"
  exit 0
fi
windows=${LORIMEX_BENCH_WINDOWS:-$folder/win64}
if [ -z "${LORIMEX_BENCH_WINDOWS:-}" ]; then
  cmake -S "$root" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$windows" -j2 >/dev/null
fi
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
timeout 300 wine wineboot --init >/dev/null 2>&1 </dev/null
"$build/gen_tree" "$wine_keys" 10 10 >"$work/tree.reg"
timeout 600 wine "$windows/regload.exe" "Z:$work/tree.reg" </dev/null >/dev/null 2>&1
dump() { timeout 600 wine "$windows/regdump.exe" "$@" </dev/null | tr -d '\r'; }
dump hku '.DEFAULT\Software\Norvane\Kelvaro' | sed 's|^\.DEFAULT\\||' >"$work/source.tree"
[ "$(wc -l <"$work/source.tree")" -gt "$wine_keys" ] || { echo "loading the tree into Wine failed"; exit 1; }
# Let the prefix's own start-up work die down before timing anything.
[ -n "$smoke" ] || sleep 10

destination='HKCU\Software\Norvane\Kelvaro'
elapsed() {
  timeout 300 wine reg delete "$destination" /f </dev/null >/dev/null 2>&1 || true
  local start
  start=$(date +%s.%N)
  timeout 600 "$@" </dev/null >/dev/null 2>&1
  seconds_since "$start"
}
# A run that copied nothing would win: each one must have copied it all.
check() {
  dump hkcu 'Software\Norvane\Kelvaro' >"$work/destination.tree"
  if ! cmp -s "$work/source.tree" "$work/destination.tree"; then
    echo "$1 did not copy the tree:"
    diff "$work/source.tree" "$work/destination.tree" | head -n 5
    exit 1
  fi
}
: >"$work/lorimex" >"$work/regcopy" >"$work/ratio"
# Like with like: the x86_64 build against the 64-bit reg.exe (a plain
# `wine reg` starts the 32-bit one where 32-bit Wine is installed).
wine64=wine
[ -x /usr/lib/wine/wine64 ] && wine64=/usr/lib/wine/wine64
run_lorimex() { elapsed wine "$windows/lorimex.exe"; }
run_regcopy() { elapsed "$wine64" reg copy 'HKU\.DEFAULT\Software\Norvane\Kelvaro' "$destination" /s /f; }
for ((i = 0; i < pairs; ++i)); do
  # Which goes first changes every pair, so that neither always runs just
  # after the other's changes to the registry.
  if ((i % 2 == 0)); then
    a=$(run_lorimex); check lorimex.exe; b=$(run_regcopy); check "reg copy"
  else
    b=$(run_regcopy); check "reg copy"; a=$(run_lorimex); check lorimex.exe
  fi
  echo "$a" >>"$work/lorimex"; echo "$b" >>"$work/regcopy"
  awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$work/ratio"
done
echo
echo "## Under Wine: lorimex.exe against reg copy ($wine_keys keys, $((wine_keys * 10)) values, $pairs pairs)"
echo
echo "| lorimex.exe median s | reg copy median s | median of lorimex / reg copy |"
echo "|---:|---:|---:|"
awk -v a="$(median <"$work/lorimex")" -v b="$(median <"$work/regcopy")" -v r="$(median <"$work/ratio")" \
  'BEGIN { printf "| %.2f | %.2f | %.2f |\n", a, b, r }'
