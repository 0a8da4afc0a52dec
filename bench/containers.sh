#!/usr/bin/env bash
# Benchmark of profile containers: lorimex-profiles on 1 container (a batch
# of one: the appliance's launch and one container) and on 10 in one batch
# (--jobs 1), each a 64 MB dynamic VHDX with GPT and NTFS holding a hive of
# examples/profile.reg's kind, given the default profile's settings. Prints
# the times, the launch's cost apart (the batch of one less one container's
# share of the batch of ten) and containers per minute. TCG unless
# LIBGUESTFS_BACKEND_SETTINGS is set otherwise.
#   bench/containers.sh [FOLDER]   (FOLDER: where to build and work, build/bench)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-$root/build/bench}
build=${LORIMEX_BENCH_LINUX:-$folder/linux}
if [ -z "${LORIMEX_BENCH_LINUX:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLORIMEX_TESTS=ON >/dev/null
  cmake --build "$build" -j2 --target lorimex-profiles lorimex-containers hivetool regload >/dev/null
fi
export LIBGUESTFS_BACKEND=direct LIBGUESTFS_BACKEND_SETTINGS=${LIBGUESTFS_BACKEND_SETTINGS-force_tcg}
mkdir -p "$folder"
work=$(mktemp -d -p "$folder")
trap 'rm -rf "$work"' EXIT
fill() {
  "$build/hivetool" blank "$1"
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regload" --wide --into-user "$2" "$3"
}
"$build/hivetool" blank "$work/scratch.hiv"
fill "$work/default.hiv" 'HKEY_USERS\.DEFAULT' "$root/examples/profile.reg"
fill "$work/user.hiv" HKEY_CURRENT_USER "$root/examples/profile.reg"
qemu-img create -q -f vhdx "$work/template.vhdx" 64M
guestfish -a "$work/template.vhdx" <<MAKE >/dev/null
run
part-disk /dev/sda gpt
mkfs ntfs /dev/sda1
mount /dev/sda1 /
mkdir /Profile
upload $work/user.hiv /Profile/NTUSER.DAT
MAKE
# A run over COUNT fresh containers, one batch: its seconds.
timed() {
  rm -rf "$work/profiles" && mkdir "$work/profiles"
  for i in $(seq "$1"); do
    mkdir "$work/profiles/user$i" && cp "$work/template.vhdx" "$work/profiles/user$i/Profile_user$i.vhdx"
  done
  local start end
  start=$(date +%s.%N)
  "$build/lorimex-profiles" --jobs 1 "$work/default.hiv" "$work/profiles" >"$work/out" || { cat "$work/out"; exit 1; }
  end=$(date +%s.%N)
  grep -q "updated: $1," "$work/out" || { cat "$work/out"; exit 1; }
  awk "BEGIN { print $end - $start }"
}
one=$(timed 1)
ten=$(timed 10)
echo "accel: ${LIBGUESTFS_BACKEND_SETTINGS:-default (KVM if usable)}"
awk -v one="$one" -v ten="$ten" 'BEGIN {
  each = (ten - one) / 9
  print "| batch | run s | s per container | containers per minute |"
  print "|---:|---:|---:|---:|"
  printf "| 1 | %.1f | %.1f | %.1f |\n", one, one, 60 / one
  printf "| 10 | %.1f | %.1f | %.1f |\n", ten, ten / 10, 600 / ten
  printf "launch and shutdown: %.1f s; each container within a launch: %.1f s\n", one - each, each
}' 
