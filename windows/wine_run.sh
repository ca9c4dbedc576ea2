#!/bin/sh
# Runs a Windows program under the Wine loader given first, in the prefix
# named by WINEPREFIX; the emulator of the Windows builds' tests.
#
# When the prefix fixture found that this machine cannot run the loader, it
# left the reason in "$WINEPREFIX.skipped": the test then says so and exits
# 77, which CTest reports as skipped.
#
# Usage: wine_run.sh <wine loader> <program.exe> [arguments...]
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
loader="$1"
shift
if [ -f "$WINEPREFIX.skipped" ]; then
  echo "skipped: $(cat "$WINEPREFIX.skipped")"
  exit 77
fi
exec "$loader" "$@"
