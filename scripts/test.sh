#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the plain and the sanitizer build, and
# runs every test in both (the end-to-end tests run the built program in private mount
# namespaces at its real fixed paths), then fuzzes every parser of untrusted bytes for a bounded
# time (FUZZ_SECONDS per target, 30 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-layers.sh
bash scripts/build.sh plain
bash scripts/build.sh asan

# Each test runs once: a failure is a failure. Suites that must not run beside others are
# marked RUN_SERIAL in CMakeLists.txt.
run_suite() {
  (cd "$1" && ctest --output-on-failure -j2 --timeout 900)
}

status=0
echo "== plain build"
run_suite build || status=1
echo "== sanitizer build (address, undefined)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan || status=1
echo "== Debian package (build, lintian, install, smoke run, purge)"
bash scripts/package-test.sh || status=1
echo "== fuzzing (libFuzzer, ${FUZZ_SECONDS:-30} s per target)"
bash scripts/fuzz.sh || status=1
exit "$status"
