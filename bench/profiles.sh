#!/usr/bin/env bash
# Benchmark of a profile server: COUNT (1,000) roaming profiles, each an
# NTUSER.DAT of 1 to 10 MB (sizes in turn), given the Kelvaro settings of
# examples/profile.reg's default profile by lorimex-profiles, one profile
# at a time and two at a time (--jobs 2). Prints the total times, the
# median time of one profile, and the peak memory of one run against its
# hive, by size. The hives are made from nothing: blank ones (hivetool)
# filled through the stand-in's hive layer with keys of ten values each.
#   bench/profiles.sh [--smoke] [FOLDER]
#  --smoke: 10 profiles of 1 and 2 MB. FOLDER: where to build and work
#  (build/bench); a full run needs about 12 GB there.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
smoke=
if [ "${1:-}" = --smoke ]; then smoke=1; shift; fi
folder=${1:-$root/build/bench}
build=$folder/hives
count=1000 sizes="1 2 3 4 5 6 7 8 9 10"
if [ -n "$smoke" ]; then count=10 sizes="1 2"; fi
work=$(mktemp -d -p "$folder" 2>/dev/null || { mkdir -p "$folder" && mktemp -d -p "$folder"; })
trap 'rm -rf "$work"' EXIT

. "$root/bench/hives.sh"

# A profile of about MB megabytes: vendors of products of keys of ten values.
profile_reg() {
  perl -e '
    my $keys = 850 * $ARGV[0];
    print "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows]\n\"Theme\"=\"aero\"\n\n";
    for my $k (0 .. $keys - 1) {
      printf "[HKEY_CURRENT_USER\\Software\\Vendor%03d\\Product%02d\\Settings%03d]\n", $k / 500, $k / 25 % 20, $k % 25;
      for my $v (0 .. 9) {
        if ($v % 3 == 0) { printf "\"Text%d\"=\"%s\"\n", $v, "value $k $v " x 4 }
        elsif ($v % 3 == 1) { printf "\"Number%d\"=dword:%08x\n", $v, $k * 10 + $v }
        else { printf "\"Data%d\"=hex:%s\n", $v, join(",", map { sprintf "%02x", ($k + $_) % 256 } 0 .. 39) }
      }
      print "\n";
    }' "$1"
}
for mb in $sizes; do
  profile_reg "$mb" >"$work/profile.reg"
  hive "$work/template-$mb.hiv" HKEY_CURRENT_USER "$work/profile.reg"
done
rm -f "$work/profile.reg"

# The profiles, anew before each pass: profile N has the Nth size in turn.
read -r -a size_list <<<"$sizes"
make_profiles() {
  rm -rf "$work/profiles"
  for ((i = 0; i < count; ++i)); do
    mkdir -p "$work/profiles/user$i"
    mb=${size_list[i % ${#size_list[@]}]}
    cp "$work/template-$mb.hiv" "$work/profiles/user$i/NTUSER.DAT"
  done
  sync
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds_since() { awk -v s="$1" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", e - s }'; }

echo "## A profile server: $count profiles of ${size_list[0]} to ${size_list[-1]} MB"
echo
# each_profile FILE COMMAND...: every profile anew, one run at a time of
# COMMAND with the profile's hive in place of @USER@, each timed and
# measured on its own: a line of FILE per profile, its size, microseconds,
# peak KB and growth in bytes.
each_profile() {
  local file=$1 user size start
  shift
  make_profiles
  : >"$file"
  for ((i = 0; i < count; ++i)); do
    user=$work/profiles/user$i/NTUSER.DAT
    size=$(stat -c %s "$user")
    start=${EPOCHREALTIME/./}
    /usr/bin/time -f '%M' -o "$work/time" "${@//@USER@/$user}" >/dev/null 2>&1 || { echo "$* failed on $user"; exit 1; }
    echo "$size $(( ${EPOCHREALTIME/./} - start )) $(cat "$work/time") $(( $(stat -c %s "$user") - size ))" >>"$file"
  done
}
each_profile "$work/runs" env LORIMEX_DEFAULT_HIVE="$work/default.hiv" LORIMEX_USER_HIVE=@USER@ "$build/lorimex"
for jobs in 1 2; do
  make_profiles
  start=$(date +%s.%N)
  "$build/lorimex-profiles" --jobs "$jobs" "$work/default.hiv" "$work/profiles" >"$work/service.out" 2>/dev/null ||
    { tail -n 3 "$work/service.out"; exit 1; }
  total[$jobs]=$(seconds_since "$start")
  tail -n 1 "$work/service.out" | grep -qx "profiles: $count, updated: $count, unchanged: 0, skipped: 0, failed: 0" || { tail -n 3 "$work/service.out"; exit 1; }
done
echo "| runs at a time | total s | profiles per s |"
echo "|---:|---:|---:|"
for jobs in 1 2; do
  echo "| $jobs | ${total[$jobs]} | $(awk -v n="$count" -v t="${total[$jobs]}" 'BEGIN { printf "%.0f", n / t }') |"
done
echo
# What any run holds (program, libraries), measured on the smallest hive
# there is: the rest grows with the hive.
hive "$work/blank.hiv" HKEY_CURRENT_USER <(printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n')
LORIMEX_DEFAULT_HIVE=$work/default.hiv LORIMEX_USER_HIVE=$work/blank.hiv \
  /usr/bin/time -f '%M' -o "$work/time" "$build/lorimex" >/dev/null
floor=$(cat "$work/time")
settings=$(stat -c %s "$work/default.hiv")
echo "| hive MB | runs | median s | peak MB | peak / hive | (peak - $((floor / 1024)) MB of any run) / hive | growth KB |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
for mb in $sizes; do
  size=$(stat -c %s "$work/template-$mb.hiv")
  awk -v s="$size" '$1 == s' "$work/runs" >"$work/these"
  seconds=$(awk '{ print $2 / 1e6 }' "$work/these" | median)
  peak=$(awk '{ print $3 }' "$work/these" | sort -g | tail -n 1)
  growth=$(awk '{ print $4 }' "$work/these" | median)
  awk -v s="$size" -v n="$(wc -l <"$work/these")" -v t="$seconds" -v p="$peak" -v f="$floor" -v g="$growth" \
    'BEGIN { printf "| %.1f | %d | %.3f | %.1f | %.2f | %.2f | %.0f |\n", s / 1048576, n, t, p / 1024, p * 1024 / s,
             (p - f) * 1024 / s, g / 1024 }'
done
echo
echo "The settings copied take $((settings / 1024)) KB in the default profile's hive (a hive of their own)."
echo
printf "Median of one profile: %.3f s\n" "$(awk '{ print $2 / 1e6 }' "$work/runs" | median)"

# The same profiles through hivexregedit --merge (Debian's
# libwin-hivex-perl), where it is installed: the product key exported from
# the default hive as a .reg file, below the vendor key it needs to exist.
if command -v hivexregedit >/dev/null; then
  {
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Norvane]\n\n'
    hivexregedit --export --prefix HKEY_CURRENT_USER "$work/default.hiv" '\Software\Norvane\Kelvaro' | tail -n +2
  } >"$work/peer.reg"
  each_profile "$work/peer" hivexregedit --merge --prefix HKEY_CURRENT_USER @USER@ "$work/peer.reg"
  echo
  echo "## Side by side with hivexregedit --merge, the same profiles one at a time"
  echo
  echo "| | median s | median growth KB | peak MB |"
  echo "|---|---:|---:|---:|"
  for file in runs peer; do
    name=lorimex
    [ "$file" = peer ] && name="hivexregedit --merge"
    printf '| %s | %.3f | %.0f | %.1f |\n' "$name" "$(awk '{ print $2 / 1e6 }' "$work/$file" | median)" \
      "$(awk '{ print $4 / 1024 }' "$work/$file" | median)" "$(awk '{ print $3 / 1024 }' "$work/$file" | sort -g | tail -n 1)"
  done
  ratio() { awk -v a="$(awk "{ print \$$1 }" "$work/peer" | median)" -v b="$(awk "{ print \$$1 }" "$work/runs" | median)" \
    'BEGIN { if (b > 0) printf "%.1f", a / b; else printf "-" }'; }
  echo
  echo "hivexregedit / lorimex: time $(ratio 2)x, growth $(ratio 4)x, peak memory $(ratio 3)x (medians)"
fi

# Many new siblings at once: a default profile whose settings hold N keys
# of one value each, copied into the smallest profile. Growth and time per
# key stay flat: each list the run changes is written once.
echo
echo "## New sibling keys copied into a ${size_list[0]} MB profile"
echo
echo "| siblings | settings KB | growth KB | growth per key B | s | ms per key over no siblings | peak MB |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
siblings() {
  perl -e 'my $n = shift; print "REGEDIT4\n\n[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Settings]\n\n";
    printf "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Settings\\Key%05d]\n\"Value\"=\"setting %d\"\n\n", $_, $_
      for 0 .. $n - 1' "$1" >"$work/siblings.reg"
  hive "$work/siblings.hiv" 'HKEY_USERS\.DEFAULT' "$work/siblings.reg"
  cp "$work/template-${size_list[0]}.hiv" "$work/sibling-user.hiv"
  start=${EPOCHREALTIME/./}
  LORIMEX_DEFAULT_HIVE=$work/siblings.hiv LORIMEX_USER_HIVE=$work/sibling-user.hiv \
    /usr/bin/time -f '%M' -o "$work/time" "$build/lorimex" >/dev/null
  echo "$(( ${EPOCHREALTIME/./} - start )) $(( $(stat -c %s "$work/sibling-user.hiv") - $(stat -c %s "$work/template-${size_list[0]}.hiv") )) $(stat -c %s "$work/siblings.hiv") $(cat "$work/time")"
}
read -r base _ <<<"$(siblings 0)"
shapes="500 2000 10000"
[ -n "$smoke" ] && shapes="50 200"
for n in $shapes; do
  read -r micros growth settings peak <<<"$(siblings "$n")"
  awk -v n="$n" -v t="$micros" -v b="$base" -v g="$growth" -v s="$settings" -v p="$peak" \
    'BEGIN { printf "| %d | %.0f | %.0f | %.0f | %.3f | %.3f | %.1f |\n", n, s / 1024, g / 1024, g / n, t / 1e6,
             (t - b) / 1e3 / n, p / 1024 }'
done
