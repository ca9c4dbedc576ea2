#!/usr/bin/env bash
# Runs the sample shop's tests under coverage twice against one reference
# collection service on 127.0.0.1: once through ostrivel.dll, loaded under
# Wine by ostrivel-harness.exe with the MSVC names, and once through the
# Linux libostrivel.so with ostrivel-run. The two runs must write the same
# bytes: the result file (but for the runtime column, which depends on the
# service's clock), every trace file and the log (but for its time stamps).
#
# Then, without a service, it checks the unattended form of the warnings:
# with OSTRIVEL_DIALOGS=0 they are lines on standard error; without it they
# are message boxes, which return at once as there is no display.
#
# Usage: harness_cycle_test.sh <ostrivel-harness.exe> <ostrivel.dll>
#          <Linux build dir> <test list> <work dir> <wine_run.sh>
# The Wine environment (WINEPREFIX, WINELOADER, WINEDEBUG, DISPLAY) comes
# from CTest; the harness runs through wine_run.sh, which skips (exit 77)
# where the prefix fixture found that this machine cannot run Wine.
set -euo pipefail

if [ "$#" -ne 6 ]; then
  echo "usage: $0 <harness.exe> <ostrivel.dll> <linux build> <tests> <work>" \
    "<wine_run.sh>" >&2
  exit 2
fi
harness_exe="$1"
dll="$2"
linux="$3"
test_list="$4"
work="$5"
wine_run="$6"
: "${WINELOADER:?WINELOADER must name the Wine loader}"
if [ -f "$WINEPREFIX.skipped" ]; then
  echo "skipped: $(cat "$WINEPREFIX.skipped")"
  exit 77
fi

service="$linux/tools/collection_service/ostrivel-service"
runner="$linux/tools/runner/ostrivel-run"
library="$linux/libostrivel.so"
sample_dir="$linux/examples"
methods="$sample_dir/methods/sample-app.csv"
for needed in "$service" "$runner" "$library" "$sample_dir/sample-app" \
    "$methods"; do
  if [ ! -e "$needed" ]; then
    echo "missing $needed: build the Linux targets ostrivel, ostrivel-service," \
      "ostrivel-run and sample-app-methods in $linux first" >&2
    exit 1
  fi
done

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work/methods"
cd "$work"
cp "$methods" methods/
cp "$harness_exe" ostrivel-harness.exe
cp "$dll" ostrivel.dll

channel="wine-cycle-$$"
service_pid=""
stop_service() {
  if [ -z "$service_pid" ]; then return; fi
  kill -TERM "$service_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
}
trap stop_service EXIT

"$service" --host 127.0.0.1 --port 0 --methods methods/ --channel "$channel" \
  --log service.log >service.out 2>&1 &
service_pid=$!
port=""
for _ in $(seq 200); do
  line="$(head -n 1 service.out)"
  case "$line" in
    "ostrivel-service listening on 127.0.0.1:"*)
      port="${line##*:}"
      break
      ;;
  esac
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "the service did not start: $(cat service.out)"

# Relative paths, so that both runs write the same log lines; CR LF line
# ends, as a configuration file written on Windows has.
printf '%s\r\n' "host_name: 127.0.0.1" "port: $port" "base_location: out/" \
  "log_location: out/log.txt" "res_location: out/result.csv" \
  "methods_location: methods/" >ostrivel.conf

# The tests as "name<TAB>command" lines, as ostrivel-run reads them.
names=()
commands=()
while IFS=$'\t' read -r name command; do
  case "$name" in "" | "#"*) continue ;; esac
  names+=("$name")
  commands+=("$command")
done <"$test_list"
[ "${#names[@]}" -gt 0 ] || fail "no tests in $test_list"

run_command() {
  PATH="$sample_dir:$PATH" OSTRIVEL_CHANNEL="$channel" \
    OSTRIVEL_METHOD_LIST="methods/sample-app.csv" OSTRIVEL_TEST_NAME="$1" \
    timeout 60 sh -c "$2" >/dev/null 2>&1 || true
}

# Starts the harness under Wine as a coprocess, its standard error going to
# the file "$1" and further arguments (NAME=value) added to its
# environment; call() sends one command and checks its answer.
start_harness() {
  local errors="$1"
  shift
  coproc HARNESS {
    exec env "$@" sh "$wine_run" "$WINELOADER" ostrivel-harness.exe \
      ostrivel.dll 2>"$errors"
  }
}
call() {
  local expected="$1"
  shift
  printf '%s\r\n' "$*" >&"${HARNESS[1]}"
  local reply=""
  read -r -t 60 reply <&"${HARNESS[0]}" || fail "no answer to \"$*\""
  reply="${reply%$'\r'}"
  [ "$reply" = "${1} ${expected}" ] ||
    fail "\"$*\" answered \"$reply\", expected \"${1} ${expected}\""
}
stop_harness() {
  local pid="$HARNESS_PID"
  local input="${HARNESS[1]}"
  # The end of its input ends the harness.
  eval "exec ${input}>&-"
  wait "$pid" || fail "ostrivel-harness.exe exited with $?: $(cat "$1")"
}

# Masks what depends on the clock: the runtime column of the result rows
# and the time stamps of the log lines.
masked_copy() {
  local from="$1" to="$2"
  mkdir -p "$to"
  cp -R "$from"/. "$to"/
  if [ -f "$from/result.csv" ]; then
    awk -F';' -v OFS=';' 'NR > 1 { $5 = "*" } { print }' "$from/result.csv" \
      >"$to/result.csv"
  fi
  sed -E 's/^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, /[*, /' \
    "$from/log.txt" >"$to/log.txt"
}

echo "== ostrivel.dll under Wine"
mkdir out
start_harness harness.err
call true Init ostrivel.conf
call true Open
for i in "${!names[@]}"; do
  call true SetTestName "${names[$i]}"
  call true StartNewTestCase
  run_command "${names[$i]}" "${commands[$i]}"
  call true GetCollectedInformation
done
call true Close
stop_harness harness.err
mv out windows-out

echo "== libostrivel.so"
mkdir out
PATH="$sample_dir:$PATH" OSTRIVEL_CHANNEL="$channel" \
  OSTRIVEL_METHOD_LIST="methods/sample-app.csv" \
  "$runner" --library "$library" --config ostrivel.conf --timeout 60 \
  "$test_list" >runner.out 2>&1 || fail "ostrivel-run: $(cat runner.out)"
mv out linux-out

stop_service

echo "== comparison"
grep -q "Device connected! (Host:127.0.0.1 port:$port)" windows-out/log.txt ||
  fail "the DLL never connected: $(cat windows-out/log.txt)"
rows=$(($(wc -l <windows-out/result.csv) - 1))
[ "$rows" -eq "${#names[@]}" ] ||
  fail "$rows result rows for ${#names[@]} tests"
traces=$(find windows-out -type f ! -name result.csv ! -name log.txt | wc -l)
[ "$traces" -gt 0 ] || fail "no trace file was written"
for side in windows linux; do
  awk -F';' 'NR > 1 && $5 !~ /^[0-9]+$/ { bad = 1 } END { exit bad }' \
    "$side-out/result.csv" || fail "$side: a runtime is not a number"
done
masked_copy windows-out windows-masked
masked_copy linux-out linux-masked
if ! diff -r windows-masked linux-masked >comparison.diff; then
  cat comparison.diff >&2
  fail "the Windows and the Linux build wrote different files"
fi
echo "$rows result rows, $traces trace files and the log are the same"

echo "== unattended warnings"
# Nothing listens on the service's port any more. The first Init finds
# neither the configuration file nor the default methods directory, and
# logs into the default log file, which cannot be created.
cp ostrivel.conf stopped.conf
mkdir out
start_harness unattended.err OSTRIVEL_DIALOGS=0
call true Init missing.conf
call true Init stopped.conf
call true Open
call false StartNewTestCase
call true Close
stop_harness unattended.err
printf '%s\r\n' "Configuration: Unable to open config-file!" \
  "Default configurations used." \
  "No method's location found!" ": No such file or directory" \
  "Unable to open log-file!" \
  "Re-Connection: Error in re-connection! Maybe no server running!" \
  >unattended.expected
cmp -s unattended.err unattended.expected ||
  fail "standard error with OSTRIVEL_DIALOGS=0: $(od -c unattended.err)"

# The test name from the working directory's last component; before Open
# the socket library is not started, so no socket can be had.
rm -rf out
mkdir out
start_harness boxes.err
call true Init stopped.conf
call true GetCurrentPath
call false StartNewTestCase
call true Open
call false StartNewTestCase
call true Close
stop_harness boxes.err
[ ! -s boxes.err ] || fail "standard error with boxes: $(cat boxes.err)"
printf '%s\r\n' \
  "[*, SIMPLE]  Update the name of the test case. (Test name: ${work##*/})" \
  "[*, SIMPLE]  Start new test case." \
  "[*, ERROR ]  Error (get socket)" \
  "[*, ERROR ]  Error in re-connection! Maybe no server running!" \
  "[*, SIMPLE]  Device open." \
  "[*, SIMPLE]  Start new test case." \
  "[*, ERROR ]  Connection failed! (Host:127.0.0.1 port:$port)" \
  "[*, ERROR ]  Error in re-connection! Maybe no server running!" \
  "[*, SIMPLE]  Device close." >boxes.expected
masked_copy out boxes-masked
cmp -s boxes-masked/log.txt boxes.expected ||
  fail "the log of the failed connections: $(cat boxes-masked/log.txt)"
echo "warnings go to standard error with OSTRIVEL_DIALOGS=0, to boxes without"
