#!/usr/bin/env bash
# The search benchmark: 100,000 stored records (generated text files of about 3 KB), word,
# phrase and prefix queries through tessary-search on SQLite and PostgreSQL, in process, and
# through the page's /api/search, beside recollq on a recoll index of the same files.
#
#   bash bench/search.sh [COUNT]
#
# Needs root (apt-get; PostgreSQL runs as the user postgres). Keeps the corpus, the SQLite store
# and the recoll index in bench/out/search/ between runs (delete it to start over; the first run
# spends most of its time in recollindex). Prints the table and writes bench/out/search-report.md.
# A peer that cannot be installed or run fails the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-100000}"
case "$count" in *[!0-9]*|'') echo "usage: bash bench/search.sh [COUNT]" >&2; exit 2 ;; esac

bash scripts/install-deps.sh
for tool in recollindex recollq /usr/lib/postgresql/15/bin/initdb; do
  command -v "$tool" > /dev/null || { echo "bench: $tool is missing; it is needed" >&2; exit 1; }
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target tessary_search_bench
mkdir -p bench/out/search
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  build/tessary_search_bench "$PWD/bench/out/search" "$count"
} | tee bench/out/search-report.md
