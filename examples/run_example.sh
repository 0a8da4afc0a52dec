#!/usr/bin/env bash
# Builds lorimex, runs it on a copy of the example profile, and shows what it
# printed and the current user's Kelvaro settings afterwards.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-example
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || [ ! -f /usr/include/unicode/uchar.h ]; then
  apt-get update -qq && apt-get install -y -qq cmake g++ make libicu-dev >/dev/null
fi
cmake -S "$root" -B "$build" -DLORIMEX_TESTS=OFF >/dev/null
cmake --build "$build" --target lorimex -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/examples/profile.reg" "$work/registry.reg"
echo "== lorimex output"
status=0
LORIMEX_REGISTRY=$work/registry.reg "$build/lorimex" || status=$?
echo "== exit status: $status"
echo "== HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro afterwards"
awk '/^\[/ { show = index($0, "[HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro") == 1 } show' "$work/registry.reg"
