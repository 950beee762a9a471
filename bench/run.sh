#!/usr/bin/env bash
# The benchmark: tessary per file type beside the bare tool it starts, beside `file --mime-type`
# plus `md5sum`, and beside the indexers a user would pick instead (recollindex, omindex), with
# peak memory, files per second and a callgrind profile of a text run.
#
#   bash bench/run.sh [--quick] [--walk-only]
#
# Needs root (apt-get for what is missing, and unshare -m). Installs what it needs, builds
# build/tessary when it is missing, generates the corpus under bench/out/corpus, then runs every
# measurement inside one private mount namespace with bench/out/etc bound over /etc/vq and
# bench/out/log over /var/log, so the machine's own configuration and log are never touched.
# Prints the report and writes it to bench/out/report.md.
#
# BENCH_BUILD_DIR=DIR measures DIR/tessary instead of build/tessary (e.g. to compare builds).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
walk_only=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --walk-only) walk_only=1 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bash bench/run.sh [--quick] [--walk-only]" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" != 0 ]; then
  echo "bench: run as root (it installs packages and uses unshare -m for private bind mounts)" >&2
  exit 1
fi
case "$PWD" in
  *[[:space:]\'\"\\]*) echo "bench: the checkout path must not contain blanks, quotes or backslashes: $PWD" >&2; exit 1 ;;
esac

# --- packages ------------------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# The policy text is read whole before it is searched: `grep -q` ending the pipe early would make
# apt-cache die of SIGPIPE, and under pipefail every package would look unavailable.
available() {
  local policy
  policy=$(apt-cache policy "$1" 2>/dev/null) || return 1
  grep -q 'Candidate: [0-9]' <<< "$policy"
}
required=(
  # building the program and the index server
  build-essential cmake pkg-config libmagic-dev libicu-dev libtag1-dev libssl-dev libgtest-dev
  # the tools the program starts, and the ones that make the corpus
  ghostscript flac libreoffice-writer-nogui sox lame file
  # measuring
  hyperfine time valgrind python3 util-linux procps libsqlite3-dev
  # the peers, and the helpers they use for PDF and audio content
  recollcmd xapian-omega poppler-utils python3-mutagen
)
missing=()
for p in "${required[@]}"; do installed "$p" || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  for p in "${missing[@]}"; do
    # A peer that cannot be installed cannot be measured: the benchmark fails rather than
    # reporting a comparison with something left out.
    available "$p" || { echo "bench: package $p is not available from the configured sources" >&2; exit 1; }
  done
  apt-get install -y -qq "${missing[@]}"
fi

# --- the program ---------------------------------------------------------------------------
build="${BENCH_BUILD_DIR:-build}"
build="$(realpath -m "$build")"
if [ ! -x "$build/tessary" ] || [ ! -x "$build/tessary-server" ] || [ ! -x "$build/tessary-walk" ] ||
   [ ! -x "$build/tessary_magic_floor" ]; then
  cmake -S . -B "$build"
  cmake --build "$build" -j2 --target tessary tessary-server tessary-walk tessary_magic_floor
fi

# --- the corpus ------------------------------------------------------------------------------
bash bench/corpus.sh bench/out/corpus

# --- the measurements, in one private mount namespace ------------------------------------------
# /etc/vq must exist as a mount point; an empty directory is made when it is missing.
[ -d /etc/vq ] || mkdir -p /etc/vq
exec unshare -m --propagation private bash bench/measure.sh "$build" "$quick" "$walk_only"
