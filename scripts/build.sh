#!/usr/bin/env bash
# Builds tessary into build/ (and, with "asan", the sanitizer build into build-asan/).
# Further arguments name the targets to build (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-plain}"
shift || true
targets=()
for t in "$@"; do targets+=(--target "$t"); done
if [ "$kind" = asan ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSARY_SANITIZE=ON > /dev/null
  cmake --build build-asan -j"$(nproc)" "${targets[@]}"
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build build -j"$(nproc)" "${targets[@]}"
fi
