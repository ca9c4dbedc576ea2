#!/bin/sh
# Starts (start) or stops (stop) the Wine prefix of the Windows tests, named
# by WINEPREFIX, with the loader, server and width named by WINELOADER,
# WINESERVER and OSTRIVEL_WINE_BITS (32 or 64); "check" only tells whether
# this machine can run programs of that width.
#
# A machine whose kernel refuses 32-bit x86 programs cannot run 32-bit Wine
# at all. "start" then leaves the reason in "$WINEPREFIX.skipped", which
# makes every test run through wine_run.sh a skipped test, and exits 77;
# with OSTRIVEL_REQUIRE_WIN32=1 it fails instead. Any other failure to start
# Wine fails with the last lines of Wine's own output, which goes to
# "$WINEPREFIX.log" (a Wine process that inherits CTest's pipe would keep
# the test open until it exits).
set -eu
bits="${OSTRIVEL_WINE_BITS:-32}"
if [ "${1:-}" != check ]; then
  : "${WINEPREFIX:?WINEPREFIX must name the prefix}"
  : "${WINELOADER:?WINELOADER must name the Wine loader}"
  : "${WINESERVER:?WINESERVER must name the Wine server}"
  export WINEPREFIX WINELOADER WINESERVER
fi

# Prints why this machine cannot run 32-bit x86 programs and returns 1, or
# returns 0. It runs the 32-bit dynamic loader itself (OSTRIVEL_I386_LOADER
# names another one): the packages may be installed on a kernel that
# refuses to execute them.
check_x86() {
  loader="${OSTRIVEL_I386_LOADER:-/lib/i386-linux-gnu/ld-linux.so.2}"
  if [ ! -e "$loader" ]; then
    echo "this machine cannot run 32-bit x86 programs: no 32-bit loader" \
      "$loader (install wine32:i386)"
    return 1
  fi
  if ! output="$("$loader" --help 2>&1 </dev/null)"; then
    echo "this machine cannot run 32-bit x86 programs: $loader --help:" \
      "$(printf '%s\n' "$output" | tail -n 1)"
    return 1
  fi
  return 0
}

case "${1:-}" in
  check)
    if [ "$bits" -eq 32 ]; then check_x86; fi
    ;;
  start)
    rm -f "$WINEPREFIX.skipped"
    if [ "$bits" -eq 32 ] && ! reason="$(check_x86)"; then
      if [ "${OSTRIVEL_REQUIRE_WIN32:-0}" = 1 ]; then
        echo "FAILED: $reason (OSTRIVEL_REQUIRE_WIN32=1)" >&2
        exit 1
      fi
      printf '%s\n' "$reason" >"$WINEPREFIX.skipped"
      echo "skipped: the 32-bit Windows tests: $reason"
      exit 77
    fi
    mkdir -p "$WINEPREFIX"
    log="$WINEPREFIX.log"
    : >"$log"
    # Persistent, but gone 10 minutes after the last program if the cleanup
    # never runs.
    if ! "$WINESERVER" -p600 </dev/null >>"$log" 2>&1 ||
        ! "$WINELOADER" wineboot -i </dev/null >>"$log" 2>&1; then
      echo "FAILED: Wine did not start in $WINEPREFIX; the end of $log:" >&2
      tail -n 20 "$log" >&2
      exit 1
    fi
    ;;
  stop)
    if [ ! -f "$WINEPREFIX.skipped" ]; then
      "$WINESERVER" -k </dev/null >>"$WINEPREFIX.log" 2>&1 || true
    fi
    ;;
  *)
    echo "usage: $0 check|start|stop" >&2
    exit 2
    ;;
esac
