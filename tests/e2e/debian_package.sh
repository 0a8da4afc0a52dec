#!/usr/bin/env bash
# cpack -G DEB of the Linux build: a package holding both commands,
# stripped, with their manuals and the documents, that says what it needs
# and passes lintian;
# the commands run from the unpacked package.
#   debian_package.sh BUILD
set -u
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "--- $*"; failed=1; }
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/lorimex_*.deb)
# Where the containers' part is built it is a package of its own: the base
# package must not pull in libguestfs and qemu.
containers=$(ls "$work"/lorimex-containers_*.deb 2>/dev/null)
if [ -n "$containers" ]; then
  dpkg-deb -c "$containers" | grep -q '\./usr/lib/lorimex/lorimex-containers$' || fail "lorimex-containers is not packaged"
  dpkg-deb -f "$containers" Depends | grep -q libguestfs0 || fail "lorimex-containers does not say it needs libguestfs0"
  dpkg-deb -f "$deb" Depends | grep -q 'guestfs\|qemu' && fail "the base package needs libguestfs or qemu"
  dpkg-deb -c "$deb" | grep -q lorimex-containers && fail "the base package holds lorimex-containers"
fi
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/contents"
for file in usr/bin/lorimex usr/bin/lorimex-profiles usr/share/man/man1/lorimex.1.gz usr/share/man/man1/lorimex-profiles.1.gz \
  usr/share/doc/lorimex/copyright usr/share/doc/lorimex/README.md usr/share/doc/lorimex/docs/file-server.md; do
  grep -qxF "./$file" "$work/contents" || fail "the package lacks $file"
done
dpkg-deb -f "$deb" Depends | grep -q libstdc++6 || fail "the package does not say it needs libstdc++6"
dpkg-deb -x "$deb" "$work/root"
for program in lorimex lorimex-profiles; do
  file "$work/root/usr/bin/$program" | grep -q ', stripped' || fail "$program is not stripped"
done
"$work/root/usr/bin/lorimex-profiles" --version | grep -qx 'lorimex-profiles [0-9.]*' || fail "lorimex-profiles --version"
LORIMEX_REGISTRY=$work/registry.reg "$work/root/usr/bin/lorimex" | grep -q '^lorimex completed' || fail "lorimex does not run"
# Debian's own checks, where lintian is there (tests/run_all.sh installs
# it): no error.
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || { fail "lintian finds errors"; cat "$work/lintian"; }
fi
exit $failed
