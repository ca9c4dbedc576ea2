#!/usr/bin/env bash
# Installs a build into a temporary prefix and follows README.md's "Use it on
# your project" on a copy of examples/own_project, running the commands of
# the README's marked code blocks (<!-- guide:NAME --> before the block) as
# they are written. Only the install prefix, the build folder and the
# service's port are replaced. Then checks real rows of the result file,
# and that the probe's pkg-config file builds a program that counts.
#
#   installed_guide_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(realpath "$1")
source=$(realpath "$2")
readme=$source/README.md
work=$(mktemp -d)
prefix=$work/prefix
service=

cleanup() {
  if [[ -n $service ]]; then kill "$service" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  for file in coverage/service.txt coverage/log.txt coverage/result.csv; do
    [[ -f $file ]] && { echo "--- $file" >&2; tail -n 30 "$file" >&2; }
  done
  exit 1
}

port=8182  # replaced by a free one once the service is installed

# The text of the code block after "<!-- guide:NAME -->", with the
# placeholders replaced.
guide_block() {
  awk -v marker="<!-- guide:$1 -->" '
    $0 == marker { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$readme" |
    sed -e "s|\$HOME/ostrivel|$prefix|g" -e "s|build/default|$build|g" \
        -e "s|8182|$port|g"
}

run_guide() {
  local text
  text=$(guide_block "$1")
  [[ -n $text ]] || fail "README.md has no block marked guide:$1"
  echo "+ guide:$1"
  eval "$text" || fail "guide:$1 failed"
}

# The last row of test $1 and application $2 in the result file.
row() {
  awk -F';' -v t="$1" -v a="$2" '$1 == t && $2 == a { r = $0 } END { print r }' \
    coverage/result.csv | tr -d '\r'
}

# The position (from 0) of the first line of method list $1 whose qualified
# name (scope::method) ends in ::$2 before its parameters.
position() {
  local line
  line=$(awk -F';' -v m="$2" 'NR > 1 && ($3 "::" $2) ~ ("::" m "([[(]|$)") { print NR - 2; exit }' "$1")
  [[ -n $line ]] || fail "$1 lists no method $2"
  echo "$line"
}

# The tests (space-separated, in result order) whose latest row of
# application $1 covers position $2.
covering() {
  tr -d '\r' <coverage/result.csv | awk -F';' -v a="$1" -v p="$2" '
    NR > 1 && $2 == a { latest[$1] = $6; if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
    END {
      for (i = 1; i <= n; ++i) {
        k = split(latest[order[i]], ids, " ")
        for (j = 1; j <= k; ++j) if (ids[j] == p) { out = out sep order[i]; sep = " " }
      }
      print out
    }'
}

expect_covering() {  # application list method expected-tests
  local got pos
  pos=$(position "$2" "$3")
  got=$(covering "$1" "$pos")
  [[ $got == "$4" ]] || fail "$3 of $1 covered by \"$got\", expected \"$4\""
}

expect_coverage_above_zero() {  # test application
  local r
  r=$(row "$1" "$2")
  [[ -n $r ]] || fail "no row of test $1 and application $2"
  awk -F';' '{ exit !($4 > 0) }' <<<"$r" || fail "row without coverage: $r"
}

cd "$work"
cp -r "$source/examples/own_project" project
rm -rf project/build project/coverage
cd project

run_guide install
[[ $(command -v ostrivel-run) == "$prefix/bin/ostrivel-run" ]] ||
  fail "the installed ostrivel-run is not the one on PATH"
# Only the debug information may name the build folder: no run path, no
# package file.
for file in "$prefix"/bin/* "$prefix"/lib/*.so; do
  if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -qF -- "$build"; then
    fail "$file has a run path into the build folder"
  fi
done
if grep -rqsF -- "$build" "$prefix/lib/cmake" "$prefix/lib/pkgconfig"; then
  fail "the installed package names the build folder"
fi

# A port nobody listens on now, so that parallel tests do not collide with
# the guide's 8182: the one the installed service picks for --port 0.
mkdir -p "$work/no-lists"
ostrivel-service --methods "$work/no-lists" --port 0 >"$work/port.txt" 2>&1 &
service=$!
probe_service=$service
until grep -q listening "$work/port.txt"; do
  kill -0 "$probe_service" 2>/dev/null || fail "ostrivel-service did not start"
  sleep 0.1
done
port=$(sed -n 's/^ostrivel-service listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/port.txt")
kill "$probe_service"
wait "$probe_service" || true
service=
[[ -n $port ]] || fail "no port in: $(cat "$work/port.txt")"

# The guide's CMake lines are the example's own.
while IFS= read -r line; do
  line=${line#"${line%%[![:space:]]*}"}
  [[ -z $line || $line == \#* ]] && continue
  grep -qF -- "$line" CMakeLists.txt ||
    fail "examples/own_project/CMakeLists.txt lacks the guide's line: $line"
done < <(guide_block cmake)

run_guide configure

# The probe through pkg-config: a program of one file, linked the way the
# .pc file says, counts into a list of its own.
cat >tiny.c <<'EOF'
int Twice(int x) { return 2 * x; }
int main(int argc, char** argv) { (void)argv; return Twice(argc) == 2 ? 0 : 1; }
EOF
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -O0 -g tiny.c $(pkg-config --cflags --libs ostrivel-probe) -o tiny ||
  fail "tiny.c does not build with the pkg-config file"
readelf -d tiny | grep -q 'NEEDED.*libostrivel-probe.so' ||
  fail "tiny has no NEEDED entry for the probe"
ostrivel-methods --binary tiny --application tiny --output build/methods/tiny.csv \
  --include '^Twice'

# A harness of its own that links the library through the package.
mkdir -p harness
cat >harness/CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(harness LANGUAGES CXX)
find_package(Ostrivel CONFIG REQUIRED)
add_executable(harness harness.cc)
target_link_libraries(harness PRIVATE Ostrivel::ostrivel)
EOF
cat >harness/harness.cc <<'EOF'
#include <ostrivel/functionality.h>
int main() { return Functionality::Init("missing.conf") ? 0 : 1; }
EOF
if ! { cmake -S harness -B harness/build -DCMAKE_PREFIX_PATH="$prefix" &&
       cmake --build harness/build; } >/dev/null; then
  fail "a harness does not build against Ostrivel::ostrivel"
fi
harness_output=$(cd harness && build/harness 2>&1) || fail "the linked harness failed"
[[ $harness_output == *"Configuration: Unable to open config-file!"* ]] ||
  fail "the linked library did not run Init: $harness_output"

run_guide service
run_guide separate-programs

expect_coverage_above_zero amount_parse amount_check
expect_covering amount_check build/methods/amount_check.csv ParseAmount amount_parse
expect_covering amount_check build/methods/amount_check.csv FormatAmount amount_format
expect_covering book_check build/methods/book_check.csv 'Book::AddLines' book
# Inline functions of the library's headers count because the test
# programs are instrumented too.
expect_covering book_check build/methods/book_check.csv 'Book::size' book
expect_covering book_check build/methods/book_check.csv 'Entry::~Entry' book
# Each program starts afresh: its static objects are built and destroyed
# inside its test.
expect_covering report_check build/methods/report_check.csv \
  'CurrencyTable::CurrencyTable' report
expect_covering report_check build/methods/report_check.csv \
  'ReportTally::ReportTally' report
expect_covering report_check build/methods/report_check.csv \
  'ReportTally::~ReportTally' report
expect_covering report_check build/methods/report_check.csv \
  'CurrencyTable::~CurrencyTable' report

printf 'tiny\tOSTRIVEL_METHOD_LIST=build/methods/tiny.csv ./tiny\n' >tiny_tests.txt
ostrivel-run --config ostrivel.conf tiny_tests.txt >/dev/null ||
  fail "the pkg-config program's test failed"
expect_coverage_above_zero tiny tiny
expect_covering tiny build/methods/tiny.csv Twice tiny

run_guide gtest

expect_coverage_above_zero AmountTest.ParsesWholeAndDecimal ledger_test
expect_covering ledger_test build/methods/ledger_test.csv ParseAmount \
  "AmountTest.ParsesWholeAndDecimal EntryTest.RejectsLinesWithoutCategory BookTest.BalancesPerCategory ReportTest.ListsCategoriesWithSymbol"
# One process runs every test: the function-local static is built in the
# first test that needs it, and the object built before main and destroyed
# after it is counted in no test.
expect_covering ledger_test build/methods/ledger_test.csv \
  'CurrencyTable::CurrencyTable' ReportTest.ListsCategoriesWithSymbol
expect_covering ledger_test build/methods/ledger_test.csv \
  'Currencies' "ReportTest.ListsCategoriesWithSymbol ReportTest.KeepsUnknownCurrencyCode"
expect_covering ledger_test build/methods/ledger_test.csv 'ReportTally::ReportTally' ""
expect_covering ledger_test build/methods/ledger_test.csv 'ReportTally::~ReportTally' ""
expect_covering ledger_test build/methods/ledger_test.csv 'CurrencyTable::~CurrencyTable' ""

# The GoogleTest program run by the runner, each test alone, in a private
# run of its own.
run_guide gtest-runner
[[ -f coverage/gtest/result.csv ]] || fail "the runner wrote no coverage/gtest/result.csv"
gtest_row=$(awk -F';' '$1 == "AmountTest.ParsesWholeAndDecimal" && $2 == "ledger_test" { r = $0 } END { print r }' \
  coverage/gtest/result.csv | tr -d '\r')
[[ -n $gtest_row ]] || fail "no row of AmountTest.ParsesWholeAndDecimal in coverage/gtest/result.csv"
awk -F';' '{ exit !($4 > 0) }' <<<"$gtest_row" || fail "row without coverage: $gtest_row"

# Two at a time, by the runner and by ctest: the rows (runtime aside) and
# trace files of each test run alone, as the serial run above wrote them.
masked_rows() {  # result file, from byte $2 on: ledger_test's rows, sorted
  tail -c +"$(($2 + 1))" "$1" | tr -d '\r' |
    awk -F';' 'BEGIN { OFS = ";" } $2 == "ledger_test" { $5 = "-"; print }' |
    sort
}
same_traces() {  # folder, folder
  local trace
  for trace in "$1"/*_ledger_test_trace.csv; do
    cmp -s "$trace" "$2/${trace##*/}" || fail "${trace##*/} differs in $2"
  done
}
run_guide gtest-jobs
[[ $(masked_rows coverage/gtest-jobs/result.csv 0) == "$(masked_rows coverage/gtest/result.csv 0)" ]] ||
  fail "the rows of --jobs 2 differ from those of the serial run"
same_traces coverage/gtest/traces coverage/gtest-jobs/traces
# ctest one test at a time on the guide's service, the listener counting in
# each test's process, against the guide's ctest -j2 on two slots.
before_serial=$(stat -c %s coverage/result.csv)
OSTRIVEL_CONFIG=$PWD/ostrivel.conf \
  OSTRIVEL_METHOD_LIST=$PWD/build/methods/ledger_test.csv \
  ctest --test-dir build -j1 >"$work/ctest-serial.txt" 2>&1 ||
  fail "ctest -j1 failed: $(cat "$work/ctest-serial.txt")"
serial_rows=$(masked_rows coverage/result.csv "$before_serial")
[[ $(wc -l <<<"$serial_rows") -eq 7 ]] || fail "ctest -j1 wrote no row per test: $serial_rows"
mkdir -p "$work/ctest-serial"
cp coverage/*_ledger_test_trace.csv "$work/ctest-serial/"
before_ctest=$(stat -c %s coverage/result.csv)
run_guide ctest-jobs
[[ -s coverage/log.slot0.txt ]] ||
  fail "no coverage/log.slot0.txt: the tests of ctest -j2 did not run on a slot"
[[ $(masked_rows coverage/result.csv "$before_ctest") == "$serial_rows" ]] ||
  fail "the rows of ctest -j2 differ from those of ctest -j1"
same_traces "$work/ctest-serial" coverage

run_guide report
[[ -s coverage/report.html ]] || fail "no report page"

run_guide stop
service=
echo "The guide ran and counted."
