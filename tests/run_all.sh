#!/usr/bin/env bash
# Installs what the tests need (Debian packages, as root) when it is missing,
# builds lorimex for Linux and, cross-compiled, for Windows, and runs every
# test: the Linux build's own and the Windows build's under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LORIMEX_BUILD:-$root/build}

packages=()
need() { command -v "$1" >/dev/null || packages+=("$2"); }
need cmake cmake
need g++ g++
need make make
need valgrind valgrind
need perl perl
need lintian lintian  # checks the Debian package
[ -x /usr/bin/time ] || packages+=(time)  # the benchmarks measure peak memory with it
need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
need i686-w64-mingw32-g++ g++-mingw-w64-i686
need wine wine
need wixl wixl          # builds the Windows builds' MSIs
[ -x /usr/lib/wine/wine64 ] || packages+=(wine64)
need wrestool icoutils  # reads the Windows build's resources back
need clang++ clang       # builds the fuzzer
need tmux tmux           # shows what the Windows build writes on a terminal
need file file           # tells a stripped program in the Debian package
need ansible-playbook ansible-core  # runs the example playbook on localhost
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || packages+=(libclang-rt-dev)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
[ -f /usr/include/unicode/uchar.h ] || packages+=(libicu-dev)
# Hive files: libhivex and libregf's regfexport read the ones the tests
# write, apart from the program's own reader.
[ -f /usr/include/hivex.h ] || packages+=(libhivex-dev)
need pkg-config pkg-config
need regfexport libregf-utils
[ -d /usr/share/mingw-w64/include ] || packages+=(mingw-w64)
# Profile containers: libguestfs (its appliance, qemu and ntfs-3g), a kernel
# for the appliance, qemu-img to make and check the test's containers.
[ -f /usr/include/guestfs.h ] || packages+=(libguestfs-dev)
need guestfish libguestfs-tools
need qemu-img qemu-utils
compgen -G '/boot/vmlinuz-*' >/dev/null || packages+=(linux-image-amd64)
# 32-bit Wine, which runs the i686 build beside the x86_64 one.
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  packages+=(wine32:i386)
fi
if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi

for arch in x86_64 i686; do
  cmake -S "$root" -B "$build-win-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DLORIMEX_TESTS=ON \
    >/dev/null
  cmake --build "$build-win-$arch" -j2
done
# The tests that add system users to this host (and remove them) run too.
export LORIMEX_TEST_USERS=1
# The Linux build's tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer.
cmake -S "$root" -B "$build-sanitize" -DLORIMEX_TESTS=ON -DLORIMEX_SANITIZE=ON >/dev/null
cmake --build "$build-sanitize" -j2
(cd "$build-sanitize" && ctest --output-on-failure -j2)

cmake -S "$root" -B "$build" -DLORIMEX_TESTS=ON -DLORIMEX_WINDOWS_BUILD_X86_64="$build-win-x86_64" \
  -DLORIMEX_WINDOWS_BUILD_I686="$build-win-i686" >/dev/null
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
