#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the plain and the sanitizer build, and
# runs every test in both (the end-to-end tests run the built program in private mount
# namespaces at its real fixed paths), then fuzzes every parser of untrusted bytes for a bounded
# time (FUZZ_SECONDS per target, 30 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh plain
bash scripts/build.sh asan

# Suites that start many real converters at once (eight runs in parallel, four libreoffice
# conversions at once, ...) run one at a time after the rest: beside each other they would push
# libreoffice past its 30-second limit on a two-core machine.
heavy='^(ParallelRuns|HostileNames|HostileContents|Signals|ToolFaults|DispatcherEndToEnd|DispatcherOffice|DispatcherWine)\.'

# A failing test is run once more before it counts as failed: a few end-to-end suites drive
# real converters under the sanitizers on two cores and can lose a race with the machine.
# A second failure fails the suite; ctest's output shows every first failure.
run_suite() {
  local failed=0
  (cd "$1" && ctest --output-on-failure -j2 --timeout 900 --repeat until-pass:2 -E "$heavy") || failed=1
  (cd "$1" && ctest --output-on-failure -j1 --timeout 900 --repeat until-pass:2 -R "$heavy") || failed=1
  return "$failed"
}

status=0
echo "== plain build"
run_suite build || status=1
echo "== sanitizer build (address, undefined)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan || status=1
echo "== fuzzing (libFuzzer, ${FUZZ_SECONDS:-30} s per target)"
bash scripts/fuzz.sh || status=1
exit "$status"
