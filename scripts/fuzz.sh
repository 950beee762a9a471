#!/usr/bin/env bash
# Builds the libFuzzer targets (clang++, address and undefined sanitizers) into build-fuzz/ and runs
# each for a bounded time on a copy of its corpus in fuzz/corpus/<name>/, so the corpus in the
# repository changes only when new inputs are merged on purpose. Every committed input is replayed
# first, so an input that once crashed a target stays a regression test.
#
#   bash scripts/fuzz.sh               every target, FUZZ_SECONDS (default 30) each
#   bash scripts/fuzz.sh pdf flac      only these targets
#   FUZZ_MERGE=1 bash scripts/fuzz.sh  also merge the inputs that add coverage into fuzz/corpus/
#
# Prints the executions and executions per second of each target; fails when any target crashes,
# leaks, hits undefined behaviour, breaks an invariant or hangs (the input is kept under
# build-fuzz/fuzz-artifacts/<name>/ and its path printed).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-30}"
merge="${FUZZ_MERGE:-0}"
all_targets=(config path_split record plain_text flac pdf tag record_parser search)
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=("${all_targets[@]}")

# Longest input per target. The plain-text target runs ICU's detector per line, which is slow on
# long inputs; paths and records get room for 4,000-byte paths.
max_len_of() {
  case "$1" in
    plain_text) echo 256 ;;
    config | tag) echo 2048 ;;
    *) echo 4096 ;;
  esac
}

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTESSARY_FUZZ=ON -DTESSARY_TESTS=OFF > /dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzzers

work_root="$(mktemp -d "${TMPDIR:-/tmp}/tessary-fuzz.XXXXXX")"
trap 'rm -rf "$work_root"' EXIT
mkdir -p build-fuzz/fuzz-logs

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
summary=()
for name in "${targets[@]}"; do
  binary="build-fuzz/fuzz/${name}_fuzz"
  corpus="fuzz/corpus/$name"
  if [ ! -x "$binary" ] || [ ! -d "$corpus" ]; then
    echo "unknown fuzz target: $name (known: ${all_targets[*]})" >&2
    exit 2
  fi
  work="$work_root/$name"
  artifacts="build-fuzz/fuzz-artifacts/$name"
  log="build-fuzz/fuzz-logs/$name.log"
  mkdir -p "$work" "$artifacts"
  cp -R "$corpus"/. "$work"/

  echo "== fuzz $name (${seconds} s)"
  rc=0
  # libFuzzer stops itself at -max_total_time; the outer timeout only catches a fuzzer that cannot.
  timeout -k 10 "$((seconds + 120))" "$binary" "$work" \
    -max_total_time="$seconds" -max_len="$(max_len_of "$name")" -len_control=0 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" > "$log" 2>&1 || rc=$?

  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  per_second="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "FAILED: $name (exit status $rc); last lines of $log:"
    tail -n 40 "$log"
    echo "inputs kept in $artifacts/:"
    ls -l "$artifacts"
    summary+=("$(printf '%-11s FAILED (status %s)' "$name" "$rc")")
    continue
  fi
  summary+=("$(printf '%-11s %12s executions %8s exec/s' "$name" "${executions:-?}" "${per_second:-?}")")

  if [ "$merge" = 1 ]; then
    "$binary" -merge=1 -max_len="$(max_len_of "$name")" "$corpus" "$work" >> "$log" 2>&1
    echo "merged new inputs into $corpus ($(find "$corpus" -type f | wc -l) files)"
  fi
done

echo "== fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
exit "$status"
