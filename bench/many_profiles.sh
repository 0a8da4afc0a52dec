#!/usr/bin/env bash
# Benchmark of lorimex-profiles on a large file server: 1,000 and 10,000
# roaming profiles, each an NTUSER.DAT of 1 MB (a user's hive of some use:
# keys of ten values each, made from nothing through the stand-in's hive
# layer), all given the Kelvaro settings of examples/profile.reg's default
# profile. Prints, for each count, the total time, profiles per second and
# the peak memory of the command (the largest of the command itself and
# any one profile's service), which must not grow with the count; the
# command with its defaults and with --jobs 1, each beside the I/O floor
# measured in the same run on the same profiles (bench/io_floor: each hive
# read, and a copy written, flushed and renamed over it), as a ratio, in
# wall time and in processor time (user and system, the profiles' processes
# included), which other load on the machine changes less.
#   bench/many_profiles.sh [--smoke] [FOLDER]
#  --smoke: 20 and 100 profiles. FOLDER: where to build and work
#  (build/bench); a full run needs about 12 GB there. COUNTS: the numbers
#  of profiles instead ("1000 5000").
# LORIMEX_BENCH_LINUX: a build folder to use instead of building. SCRIPT: a
# script of the interface the command replaced (JOBS and LORIMEX in the
# environment, DEFAULT_HIVE and PROFILES_DIR as arguments) to time beside
# it on the same profiles. BEFORE: the build folder of an earlier version,
# whose lorimex-profiles --jobs 1 is timed beside this one's.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
smoke=
if [ "${1:-}" = --smoke ]; then smoke=1; shift; fi
folder=${1:-$root/build/bench}
counts=${COUNTS:-1000 10000} megabytes=1
[ -n "$smoke" ] && counts="20 100"
mkdir -p "$folder"
work=$(mktemp -d -p "$folder")
trap 'rm -rf "$work"' EXIT
build=$folder/hives
. "$root/bench/hives.sh"
perl -e '
  print "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows]\n\"Theme\"=\"aero\"\n\n";
  for my $k (0 .. 850 * $ARGV[0] - 1) {
    printf "[HKEY_CURRENT_USER\\Software\\Vendor%03d\\Product%02d\\Settings%03d]\n", $k / 500, $k / 25 % 20, $k % 25;
    printf "\"Value%d\"=\"value %d %d value %d %d\"\n", $_, $k, $_, $k, $_ for 0 .. 9;
    print "\n";
  }' "$megabytes" >"$work/profile.reg"
hive "$work/template.hiv" HKEY_CURRENT_USER "$work/profile.reg"

make_profiles() {
  rm -rf "$work/profiles"
  for ((i = 0; i < $1; ++i)); do
    mkdir -p "$work/profiles/user$i"
    cp "$work/template.hiv" "$work/profiles/user$i/NTUSER.DAT"
  done
  sync
}

# floor COUNT: the I/O floor on COUNT fresh profiles: microseconds of wall
# time, then of processor time.
floor() {
  make_profiles "$1"
  local start=${EPOCHREALTIME/./}
  /usr/bin/time -f '%U %S' -o "$work/floor_time" "$build/io_floor" "$work"/profiles/*/NTUSER.DAT || exit 1
  echo $((${EPOCHREALTIME/./} - start)) "$(awk '{ printf "%.0f", ($1 + $2) * 1e6 }' "$work/floor_time")"
}

# measure NAME COUNT COMMAND...: a row of the table, beside a floor
# measured just before; the command must update every profile.
measure() {
  local name=$1 count=$2
  shift 2
  local floor_micros floor_cpu
  read -r floor_micros floor_cpu < <(floor "$count")
  make_profiles "$count"
  local start=${EPOCHREALTIME/./}
  /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" "$work/default.hiv" "$work/profiles" >"$work/out" 2>/dev/null ||
    { echo "$name failed:"; tail -n 3 "$work/out"; exit 1; }
  local micros=$((${EPOCHREALTIME/./} - start))
  [ "$(grep -c ': updated' "$work/out")" = "$count" ] || { echo "$name did not update every profile"; exit 1; }
  read -r peak user system <"$work/time"
  awk -v n="$name" -v c="$count" -v t="$micros" -v p="$peak" -v f="$floor_micros" -v u="$user" -v s="$system" \
    -v fc="$floor_cpu" 'BEGIN {
      cpu = (u + s) * 1e6
      # time(1) counts in hundredths of a second: a smoke run may see none.
      ratio = fc > 0 ? sprintf("%.2f", cpu / fc) : "-"
      printf "| %s | %d | %.1f | %.0f | %.0f | %.2f | %.2f | %.2f | %s | %.1f |\n", n, c, t / 1e6, c * 1e6 / t,
        c * 1e6 / f, t / f, cpu / c / 1e3, fc / c / 1e3, ratio, p / 1024 }'
}

echo "## lorimex-profiles: profiles of $(($(stat -c %s "$work/template.hiv") / 1024)) KB, $(nproc) at a time"
echo
echo "| command | profiles | total s | profiles per s | floor per s | / floor | processor ms per profile | floor's | / floor's | peak MB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for count in $counts; do
  measure lorimex-profiles "$count" "$build/lorimex-profiles"
  measure "lorimex-profiles --jobs 1" "$count" "$build/lorimex-profiles" --jobs 1
  if [ -n "${BEFORE:-}" ]; then
    measure "before: lorimex-profiles --jobs 1" "$count" "$BEFORE/lorimex-profiles" --jobs 1
  fi
  if [ -n "${SCRIPT:-}" ]; then
    measure "$(basename "$SCRIPT")" "$count" env JOBS="$(nproc)" LORIMEX="$build/lorimex" bash "$SCRIPT"
  fi
done
