#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing tessary needs.
# Safe to run again: packages already installed are left as they are.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config libmagic-dev libicu-dev libtag1-dev libssl-dev libgtest-dev libsqlite3-dev
  libpq-dev libcpp-httplib-dev
  # the stores: the embedded one's shell, and a real PostgreSQL server that tests start themselves
  sqlite3 postgresql
  # the program's converters and readers
  libreoffice-writer-nogui libreoffice-calc-nogui wine wine64 flac ghostscript
  # tests: fixtures, tools, fuzzing
  mingw-w64 lame sox clang libclang-rt-14-dev util-linux procps file
  # tests of the search page: a real headless browser driven over WebDriver
  chromium chromium-driver nlohmann-json3-dev
  # the Debian package: building, linting, installing and checking it
  dpkg-dev lintian man-db groff-base adduser ucf init-system-helpers systemd iproute2
  # benchmark
  hyperfine time redis-server
  # the benchmark's peers and the helpers they use for PDF and audio content
  recollcmd xapian-omega poppler-utils python3-mutagen
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
