#!/usr/bin/env bash
# Installs what the tests need (Debian packages, as root) when it is missing,
# builds, and runs every test.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LORIMEX_BUILD:-$root/build}

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v make >/dev/null || packages+=(make)
command -v valgrind >/dev/null || packages+=(valgrind)
command -v perl >/dev/null || packages+=(perl)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -DLORIMEX_TESTS=ON >/dev/null
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
