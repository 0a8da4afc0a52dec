#!/usr/bin/env bash
# prefix.sh start|stop: makes a fresh Wine prefix (its first start takes a
# few seconds) and keeps its server running for the cases, or ends it.
set -u
. "$(dirname "$0")/wine_env.sh"
case ${1:-} in
  start)
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Wine's background processes must not hold on to our output.
    wineserver -p >/dev/null 2>&1 </dev/null
    timeout 300 wine wineboot --init >/dev/null 2>&1 </dev/null
    status=$?
    [ $status -eq 0 ] || echo "wineboot failed: $status"
    exit $status ;;
  stop)
    timeout 30 wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    exit 0 ;;
esac
echo "usage: prefix.sh start|stop"; exit 2
