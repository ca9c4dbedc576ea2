#!/usr/bin/env bash
# The Wine prefix fixture on machines that cannot run it: a 32-bit loader
# that the kernel refuses (a file that is no program of this machine), a
# missing loader, and a Wine that fails for another reason. The first two
# skip every Windows test with the reason, or fail under
# OSTRIVEL_REQUIRE_WIN32=1; the third fails with Wine's own message.
#
# Usage: x86_check_test.sh <wine_prefix.sh> <wine_run.sh> <work dir>
set -euo pipefail
prefix_script="$1"
run_script="$2"
work="$3"

rm -rf "$work"
mkdir -p "$work"
refused="$work/ld-linux.so.2"
printf '\177ELF\001\001\001\000garbage' >"$refused"
chmod +x "$refused"
failing_server="$work/wineserver"
printf '#!/bin/sh\necho "wineserver: cannot create socket: the reason"\nexit 1\n' \
  >"$failing_server"
chmod +x "$failing_server"

failures=0
# expect NAME EXIT-CODE TEXT-IN-OUTPUT [NAME=value...] -- COMMAND...
expect() {
  local name="$1" code="$2" text="$3"
  shift 3
  local settings=()
  while [ "$1" != "--" ]; do settings+=("$1"); shift; done
  shift
  local output status=0
  output="$(env WINEPREFIX="$work/prefix" OSTRIVEL_WINE_BITS=32 \
    WINELOADER=/bin/false WINESERVER=/bin/false "${settings[@]}" \
    "$@" 2>&1)" || status=$?
  if [ "$status" -ne "$code" ] || [[ "$output" != *"$text"* ]]; then
    echo "FAILED: $name: exit $status, expected $code with \"$text\":" >&2
    printf '%s\n' "$output" >&2
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

why="this machine cannot run 32-bit x86 programs: $refused --help:"
expect "refused loader skips the fixture" 77 \
  "skipped: the 32-bit Windows tests: $why" \
  OSTRIVEL_I386_LOADER="$refused" -- sh "$prefix_script" start
expect "a test after it is skipped with the reason" 77 "skipped: $why" \
  -- sh "$run_script" /bin/true program.exe
expect "stop leaves the skipped prefix alone" 0 "" \
  -- sh "$prefix_script" stop
expect "check says why" 1 "$why" \
  OSTRIVEL_I386_LOADER="$refused" -- sh "$prefix_script" check
expect "required, a refused loader fails" 1 \
  "FAILED: $why" \
  OSTRIVEL_I386_LOADER="$refused" OSTRIVEL_REQUIRE_WIN32=1 \
  -- sh "$prefix_script" start
if [ -e "$work/prefix.skipped" ]; then
  echo "FAILED: a required run left the skip marker" >&2
  failures=$((failures + 1))
fi
expect "missing loader skips the fixture" 77 \
  "no 32-bit loader $work/none (install wine32:i386)" \
  OSTRIVEL_I386_LOADER="$work/none" -- sh "$prefix_script" start
expect "the 64-bit fixture does not ask for 32-bit programs" 1 \
  "wineserver: cannot create socket: the reason" \
  OSTRIVEL_I386_LOADER="$refused" OSTRIVEL_WINE_BITS=64 \
  WINESERVER="$failing_server" -- sh "$prefix_script" start
expect "Wine failing otherwise shows its own message" 1 \
  "wineserver: cannot create socket: the reason" \
  OSTRIVEL_I386_LOADER=/bin/true WINESERVER="$failing_server" \
  -- sh "$prefix_script" start
expect "and a test after it runs rather than skips" 1 "" \
  -- sh "$run_script" /bin/false program.exe

[ "$failures" -eq 0 ]
