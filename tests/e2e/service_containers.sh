#!/usr/bin/env bash
# lorimex-profiles on profile containers, made here with qemu-img and
# libguestfs: a VHDX (GPT) it updates, with an Office container beside it
# that is never opened; a VHD (MBR) that has the settings; one with RW.VHDX
# beside it and one whose VHDX log is not empty (both in use); and a folder
# profile beside them. A dry run changes no byte and no time; a run keeps
# the old hives in --backup; the appliance killed at each step of a
# replace leaves each container readable with its old or new hive whole,
# and the next run clears what was left. Skipped (77) without the
# containers' part of the build or libguestfs.
#   service_containers.sh BUILD
set -u
build=$1 root=$(cd "$(dirname "$0")/../.." && pwd)
command=$build/lorimex-profiles
[ -x "$build/lorimex-containers" ] && command -v guestfish >/dev/null && command -v qemu-img >/dev/null || exit 77
export LIBGUESTFS_BACKEND=direct
# KVM where the test runner asks for it; this sandbox's hangs.
export LIBGUESTFS_BACKEND_SETTINGS=${LIBGUESTFS_BACKEND_SETTINGS-force_tcg}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/e2e/profiles_run.sh"
default=$work/default.hiv
fill "$default" 'HKEY_USERS\.DEFAULT' "$root/examples/profile.reg"
fill "$work/plain.hiv" HKEY_CURRENT_USER "$root/examples/profile.reg"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\Options]\n"Language"="fr"\n' >"$work/own.reg"
fill "$work/own.hiv" HKEY_CURRENT_USER "$work/own.reg"

# The two kinds of container, in one launch: a VHDX with GPT holding a hive
# to update, a VHD with MBR holding one that has the settings.
qemu-img create -q -f vhdx "$work/plain.vhdx" 32M
qemu-img create -q -f vpc "$work/own.vhd" 32M
guestfish -a "$work/plain.vhdx" -a "$work/own.vhd" <<MAKE || { echo "cannot make the containers"; exit 1; }
run
part-disk /dev/sda gpt
part-disk /dev/sdb mbr
mkfs ntfs /dev/sda1
mkfs ntfs /dev/sdb1
mount /dev/sda1 /
mkdir /Profile
upload $work/plain.hiv /Profile/NTUSER.DAT
umount-all
mount /dev/sdb1 /
mkdir /Profile
upload $work/own.hiv /Profile/NTUSER.DAT
umount-all
MAKE
# A VHDX whose log holds writes: LogGuid set in both headers, their
# CRC-32C made anew.
set_log() {
  perl -e '
    my @t; for my $i (0..255) { my $c = $i; $c = $c & 1 ? ($c >> 1) ^ 0x82F63B78 : $c >> 1 for 1..8; $t[$i] = $c }
    open(my $f, "+<", $ARGV[0]) or die; binmode $f;
    for my $at (65536, 131072) {
      seek $f, $at, 0; read $f, my $h, 4096;
      substr($h, 48, 16) = "lorimex-test-log"; substr($h, 4, 4) = "\0" x 4;
      my $c = 0xFFFFFFFF; $c = $t[($c ^ ord) & 0xFF] ^ ($c >> 8) for split //, $h;
      substr($h, 4, 4) = pack("V", $c ^ 0xFFFFFFFF); seek $f, $at, 0; print $f $h;
    }' "$1"
}
p=$work/profiles
mkdir -p "$p"/{S-1-5-21-1001_alice,bob_S-1-5-21-1002,carol,dan,erin,frank}
cp "$work/plain.vhdx" "$p/S-1-5-21-1001_alice/Profile_alice.vhdx"
cp "$work/plain.vhdx" "$p/S-1-5-21-1001_alice/ODFC_alice.vhdx"
cp "$work/own.vhd" "$p/bob_S-1-5-21-1002/Profile_bob.VHD"
cp "$work/plain.vhdx" "$p/carol/Profile_carol.vhdx"
: >"$p/carol/RW.VHDX"
cp "$work/plain.vhdx" "$p/dan/profile_dan.vhdx"
set_log "$p/dan/profile_dan.vhdx"
cp "$work/plain.vhdx" "$p/erin/ODFC_erin.vhdx"
cp "$work/plain.hiv" "$p/frank/NTUSER.DAT"

skipped='skipped: already holds Software\Norvane\Kelvaro, whose values a run would overwrite (--force services it)'
carol="$p/carol/Profile_carol.vhdx: skipped: in use: RW.VHDX lies beside it (Windows' differencing disk while the user is logged on)"
dan="$p/dan/profile_dan.vhdx: skipped: in use: its VHDX log holds writes not yet applied (LogGuid set): Windows replays it at the next mount"

# The dry run: what each would get, and not a byte or a time changed.
cp -r "$p" "$work/copies"
settle "$p"
before=$(snapshot)
run --dry-run --backup "$work/backup" "$default" "$p"
expect 0 "$p/S-1-5-21-1001_alice/Profile_alice.vhdx: would update: 5 keys to create, 12 values to set" \
  "$p/bob_S-1-5-21-1002/Profile_bob.VHD: $skipped" "$carol" "$dan" \
  "$p/frank/NTUSER.DAT: would update: 5 keys to create, 12 values to set" \
  "$p/erin: no NTUSER.DAT" "profiles: 5, would update: 2, unchanged: 0, skipped: 3, failed: 0; folders without NTUSER.DAT: 1"
after=$(snapshot)
[ "$after" = "$before" ] || { fail "the dry run changed files"; diff <(echo "$before") <(echo "$after"); }
diff -r "$work/copies" "$p" >/dev/null || fail "the dry run changed a container's bytes"
[ ! -e "$work/backup" ] || fail "the dry run made a backup"

# The run: the container's old hive kept below the backup folder.
run --backup "$work/backup" "$default" "$p"
expect 0 "$p/S-1-5-21-1001_alice/Profile_alice.vhdx: updated: 5 keys created, 12 values set" \
  "$p/bob_S-1-5-21-1002/Profile_bob.VHD: $skipped" "$carol" "$dan" \
  "$p/frank/NTUSER.DAT: updated: 5 keys created, 12 values set" \
  "$p/erin: no NTUSER.DAT" "profiles: 5, updated: 2, unchanged: 0, skipped: 3, failed: 0; folders without NTUSER.DAT: 1"
cmp -s "$work/backup/S-1-5-21-1001_alice/Profile_alice.vhdx/NTUSER.DAT" "$work/plain.hiv" ||
  fail "the container's old hive is not in the backup"
cmp -s "$p/S-1-5-21-1001_alice/ODFC_alice.vhdx" "$work/plain.vhdx" || fail "the Office container changed"
qemu-img check -q "$p/S-1-5-21-1001_alice/Profile_alice.vhdx" || fail "alice's container does not check"

# The appliance killed at each step of the replace: the run says the
# container failed; the container checks; the next run, over all four,
# finds each hive whole (old: updated now; new: it has the settings), and
# clears the new hive a killed run left beside the old.
tree() { LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regdump" --wide hkcu 'Software\Norvane'; }
steps="upload uploaded renamed synced"
for step in $steps; do
  mkdir -p "$work/fault-$step/$step"
  cp "$work/plain.vhdx" "$work/fault-$step/$step/Profile_$step.vhdx"
  LORIMEX_CONTAINERS_FAULT=$step run "$default" "$work/fault-$step"
  [ "$status" = 1 ] && grep -q "^$work/fault-$step/$step/Profile_$step.vhdx: failed: " "$work/out" ||
    { fail "killed at $step: exit status $status"; cat "$work/out" "$work/err"; }
  qemu-img check -q "$work/fault-$step/$step/Profile_$step.vhdx" || fail "killed at $step: the container does not check"
  mkdir -p "$work/faults" && mv "$work/fault-$step/$step" "$work/faults/"
done
run "$default" "$work/faults"
[ "$status" = 0 ] || { fail "after the faults: exit status $status"; cat "$work/out" "$work/err"; }
for step in $steps; do
  grep -qxF "$work/faults/$step/Profile_$step.vhdx: updated: 5 keys created, 12 values set" "$work/out" ||
    grep -qxF "$work/faults/$step/Profile_$step.vhdx: $skipped" "$work/out" || fail "after a kill at $step: not whole"
done
# What the containers hold now, in one launch: each folder only the hive,
# and alice's hive the settings as the folder profile got them.
drives=() script=()
for step in $steps; do
  drives+=(-a "$work/faults/$step/Profile_$step.vhdx")
done
drives+=(-a "$p/S-1-5-21-1001_alice/Profile_alice.vhdx")
for device in a b c d; do script+=("mount /dev/sd${device}1 /" "ls /Profile" "umount-all"); done
script+=("mount /dev/sde1 /" "download /Profile/NTUSER.DAT $work/alice.hiv")
guestfish --ro "${drives[@]}" <<<"run
$(printf '%s\n' "${script[@]}")" >"$work/listing" || fail "cannot read the containers back"
[ "$(sort -u "$work/listing")" = "NTUSER.DAT" ] || { fail "leftovers beside the hives"; cat "$work/listing"; }
[ "$(tree "$work/alice.hiv")" = "$(tree "$p/frank/NTUSER.DAT")" ] || fail "the container's hive differs from the folder's"
exit $failed
