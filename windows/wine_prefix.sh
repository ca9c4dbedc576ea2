#!/bin/sh
# Starts (start) or stops (stop) the Wine prefix of the Windows tests, named
# by WINEPREFIX. All of Wine's output goes to /dev/null: a Wine process that
# inherits CTest's pipe keeps the test open until it exits.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEPREFIX

case "${1:-}" in
  start)
    mkdir -p "$WINEPREFIX"
    # Persistent, but gone 10 minutes after the last program if the cleanup
    # never runs.
    wineserver -p600 </dev/null >/dev/null 2>&1
    wineboot -i </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
