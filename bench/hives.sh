# Sourced by the profile benchmarks, with root, work and build set: builds
# the programs they run in $build (a release build), unless
# LORIMEX_BENCH_LINUX names a build to use, and makes hives from nothing
# (blank ones of hivetool, filled through the stand-in's hive layer),
# beginning with the default profile's, $work/default.hiv, holding
# examples/profile.reg's settings.
if [ -n "${LORIMEX_BENCH_LINUX:-}" ]; then
  build=$LORIMEX_BENCH_LINUX
else
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLORIMEX_TESTS=ON >/dev/null
  cmake --build "$build" -j2 --target lorimex lorimex-profiles hivetool regload io_floor >/dev/null
fi

# hive FILE KEY REG: FILE becomes a hive whose root holds REG's KEY.
hive() {
  "$build/hivetool" blank "$1"
  LORIMEX_DEFAULT_HIVE=$work/scratch.hiv LORIMEX_USER_HIVE=$1 "$build/regload" --wide --into-user "$2" "$3"
}
"$build/hivetool" blank "$work/scratch.hiv"
hive "$work/default.hiv" 'HKEY_USERS\.DEFAULT' "$root/examples/profile.reg"
