#!/usr/bin/env bash
# The measuring half of the benchmark; bench/run.sh starts it inside a private mount namespace
# (unshare -m), where the bind mounts made below are seen by nothing else on the machine.
#
#   measure.sh BUILD_DIR QUICK(0|1) [WALK_ONLY(0|1)]
#
# Everything it writes lives under bench/out: the configuration bound over /etc/vq, the log
# directory bound over /var/log, hyperfine's JSON exports, peak memory, the callgrind profile,
# and report.md, the summary that bench/report.py prints.
set -euo pipefail

build="$1"
quick="$2"
walk_only="${3:-0}"
root="$PWD"
out="$root/bench/out"
corpus="$out/corpus"
bin="$build/tessary"
results="$out/results"

rm -rf "$results" "$out/etc" "$out/log" "$out/spool" "$out/peers" "$out/stubs" "$out/replay" \
  "$out/profile" "$out/records" "$out/lists"
mkdir -p "$results" "$out/etc" "$out/log" "$out/spool" "$out/home" "$out/peers" "$out/stubs" \
  "$out/replay" "$out/profile" "$out/records" "$out/lists"

# Private views of the two fixed paths the program uses; the machine's own stay untouched.
mount --bind "$out/etc" /etc/vq
mount --bind "$out/log" /var/log
# The bare libreoffice keeps its default profile under bench/out instead of the user's home.
export HOME="$out/home"
# The distribution's tools first (the peers' Python filters need the system python3's modules).
export PATH="/usr/sbin:/usr/bin:/sbin:/bin:$PATH"

if [ "$quick" = 1 ]; then
  rounds=2 runs_fast=8 runs_pdf=3 runs_office=1 warm_fast=2 warm_office=1
  runs_corpus=1 warm_corpus=0 peak_runs=1
else
  rounds=3 runs_fast=20 runs_pdf=7 runs_office=2 warm_fast=5 warm_office=1
  runs_corpus=3 warm_corpus=0 peak_runs=3
fi

# --- the index server --------------------------------------------------------------------
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true; }
trap cleanup EXIT
rm -f "$out/index.db" "$out/index.db-wal" "$out/index.db-shm"
"$build/tessary-server" --listen 127.0.0.1:0 --store "$out/index.db" 2> "$out/server.log" &
server_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$out/server.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out/server.log" | head -n1)
[ -n "$port" ] || { echo "bench: tessary-server did not start:" >&2; cat "$out/server.log" >&2; exit 1; }

# Every reader on, digest on, 200 lines (all of a 50-line text file, all of a two-page PDF).
values=(127.0.0.1 "$port" true true 200 100000 false /bin/true "$out/spool/" true
        - - - - - - true true)
names=(host port word spreadsheet lines buffer executable windows_program workdir md5
       unused10 unused11 unused12 unused13 unused14 unused15 media pdf)
for i in "${!values[@]}"; do echo "${names[$i]} = ${values[$i]}"; done > "$out/etc/config.cfg"

txt="$corpus/text/t001.txt"
pdf="$corpus/pdf/p1.pdf"
mp3="$corpus/mp3/m1.mp3"
flac="$corpus/flac/f1.flac"
docx="$corpus/docx/d1.docx"

gs_cmd="gs -dBATCH -dNOPAUSE -sDEVICE=txtwrite -dTextFormat=3 -sOutputFile=- $pdf"
metaflac_cmd="metaflac --show-total-samples --show-sample-rate --show-vendor-tag --show-bps --show-channels --export-tags-to=- $flac"
office_cmd="libreoffice --cat --headless $docx"

# --- the machine ---------------------------------------------------------------------------
{
  echo "cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores"
  echo "memory=$(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "kernel=$(uname -r)"
  echo "os=$(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "hyperfine=$(hyperfine --version | awk '{print $2}')"
  echo "gs=$(gs --version)"
  echo "metaflac=$(metaflac --version | awk '{print $2}')"
  echo "libreoffice=$(libreoffice --version 2>/dev/null | awk '{print $2}' | head -n1)"
  echo "file=$(file --version | head -n1 | sed 's/^file-//')"
  command -v recollindex > /dev/null && echo "recoll=$(dpkg-query -W -f='${Version}' recollcmd)"
  command -v omindex > /dev/null && echo "omindex=$(omindex --version | awk '{print $NF}')"
  echo "tessary=$(realpath "$bin"), built $(date -r "$bin" '+%Y-%m-%d %H:%M')"
  echo "commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . 2>/dev/null || echo ' (with local changes)')"
  echo "quick=$quick"
} > "$results/machine.txt"

# Everything up to the whole-tree section is skipped with --walk-only.
if [ "$walk_only" = 0 ]; then
# --- one record per type: shows what each run actually delivers ----------------------------
# Waits until the store holds the row of the run just ended (the server commits within 200 ms).
stored_content() {  # $1: the record's path; prints the stored content's length in bytes
  local hex n
  hex=$(printf '%s' "$1" | od -An -tx1 | tr -d ' \n')
  for _ in $(seq 40); do
    n=$(sqlite3 "$out/index.db" "SELECT length(CAST(content AS BLOB)) FROM files WHERE CAST(path AS BLOB) = x'$hex'")
    [ -n "$n" ] && { echo "$n"; return 0; }
    sleep 0.05
  done
  echo -1
}
: > "$results/records.tsv"
for kind in text pdf mp3 flac docx; do
  case $kind in text) f=$txt ;; pdf) f=$pdf ;; mp3) f=$mp3 ;; flac) f=$flac ;; docx) f=$docx ;; esac
  status=0
  "$bin" "$f" 2> "$out/records/$kind.stderr" || status=$?
  content=$(stored_content "$(printf '%s' "$f" | tr 'A-Z' 'a-z')")
  stored=yes
  [ "$content" -ge 0 ] || stored=no
  printf '%s\t%s\t%s\t%s\n' "$kind" "$status" "$stored" "$content" >> "$results/records.tsv"
  if [ "$status" != 0 ] || [ "$stored" = no ]; then
    echo "bench: tessary on $f ended with status $status; stored: $stored" >&2
    cat "$out/records/$kind.stderr" >&2
  fi
done

# --- side by side, per file type -----------------------------------------------------------
# -N: commands run without a shell, so nothing but the command itself is timed.
# bench NAME ROUNDS WARMUP RUNS COMMAND-ARGS...: hyperfine runs the group ROUNDS times with RUNS
# runs per command each time (warm-up in the first round only); the report pools the rounds, so
# load that comes and goes on a shared machine falls on every command of the group alike.
bench() {
  local name="$1" rounds="$2" warmup="$3" runs="$4" round
  shift 4
  for round in $(seq "$rounds"); do
    echo
    echo "== $name, round $round of $rounds"
    hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
      --export-json "$results/$name.$round.json" "$@" \
      || echo "bench: hyperfine group $name failed; its numbers are missing from the report" >&2
    warmup=0
  done
}

bench text "$rounds" "$warm_fast" "$runs_fast" \
  -n "tessary text" "$bin $txt" \
  -n "file --mime-type" "file --mime-type $txt" \
  -n "md5sum" "md5sum $txt" \
  -n "sh -c 'file --mime-type; md5sum'" "sh -c 'file --mime-type $txt; md5sum $txt'"

bench media "$rounds" "$warm_fast" "$runs_fast" \
  -n "tessary mp3" "$bin $mp3" \
  -n "tessary flac" "$bin $flac" \
  -n "metaflac" "$metaflac_cmd"

bench pdf "$rounds" "$warm_fast" "$runs_pdf" \
  -n "tessary pdf" "$bin $pdf" \
  -n "gs txtwrite" "$gs_cmd"

bench office "$rounds" "$warm_office" "$runs_office" \
  -n "tessary docx" "$bin $docx" \
  -n "libreoffice --cat" "$office_cmd"

# --- peak memory ---------------------------------------------------------------------------
# Maximum resident set size from /usr/bin/time -v: the largest of the process and the children
# it waited for, so a run that starts a tool reports the larger of the two. The "own" rows
# replace the tool by a replay of its recorded output (a shell running cat), which leaves
# tessary's own peak.
echo
echo "== peak memory"
: > "$results/peaks.tsv"
peak() {
  local runs="$1" name="$2" best=0 kb i
  shift 2
  for i in $(seq "$runs"); do
    /usr/bin/time -v -o "$out/time.txt" "$@" > /dev/null 2>&1 || true
    kb=$(awk -F': *' '/Maximum resident set size/ {print $2}' "$out/time.txt")
    [ -n "$kb" ] && [ "$kb" -gt "$best" ] && best=$kb
  done
  printf '%s\t%s\n' "$name" "$best" | tee -a "$results/peaks.tsv"
}
$gs_cmd > "$out/replay/gs.out" 2> /dev/null
$metaflac_cmd > "$out/replay/metaflac.out" 2> /dev/null
$office_cmd > "$out/replay/libreoffice.out" 2> /dev/null
for tool in gs metaflac libreoffice; do
  printf '#!/bin/sh\nexec cat %s\n' "$out/replay/$tool.out" > "$out/stubs/$tool"
  chmod +x "$out/stubs/$tool"
done
peak "$peak_runs" "tessary text" "$bin" "$txt"
peak "$peak_runs" "tessary pdf" "$bin" "$pdf"
peak "$peak_runs" "tessary pdf, own" env PATH="$out/stubs:$PATH" "$bin" "$pdf"
peak "$peak_runs" "tessary mp3" "$bin" "$mp3"
peak "$peak_runs" "tessary flac" "$bin" "$flac"
peak "$peak_runs" "tessary flac, own" env PATH="$out/stubs:$PATH" "$bin" "$flac"
peak 1 "tessary docx" "$bin" "$docx"
peak 1 "tessary docx, own" env PATH="$out/stubs:$PATH" "$bin" "$docx"
peak "$peak_runs" "file --mime-type" file --mime-type "$txt"
peak "$peak_runs" "md5sum" md5sum "$txt"
peak "$peak_runs" "gs txtwrite" $gs_cmd
peak "$peak_runs" "metaflac" $metaflac_cmd
peak 1 "libreoffice --cat" $office_cmd

# --- files per second: tessary over whole corpora, and the peers ---------------------------
find "$corpus/text" -type f | sort > "$out/lists/text.list"
find "$corpus/mixed" -type f | sort > "$out/lists/mixed.list"
n_text=$(wc -l < "$out/lists/text.list")
n_mixed=$(wc -l < "$out/lists/mixed.list")
echo "text=$n_text" > "$results/corpus.txt"
echo "mixed=$n_mixed ($(cd "$corpus/mixed" && ls | sed 's/.*\.//' | sort | uniq -c | awk '{printf "%s%s %s", sep, $1, $2; sep=", "}'))" >> "$results/corpus.txt"

peers_text=() peers_mixed=()
if command -v recollindex > /dev/null; then
  for set in text mixed; do
    mkdir -p "$out/peers/recoll-$set"
    # No spelling dictionary: it is not part of indexing and needs language data per locale.
    printf 'topdirs = %s\nnoaspell = 1\n' "$corpus/$set" > "$out/peers/recoll-$set/recoll.conf"
  done
  peers_text+=(-n "recollindex text" "recollindex -c $out/peers/recoll-text -z")
  peers_mixed+=(-n "recollindex mixed" "recollindex -c $out/peers/recoll-mixed -z")
else
  echo "bench: recollindex is not installed (Debian package recollcmd): the comparison cannot be made" >&2
  exit 1
fi
if command -v omindex > /dev/null; then
  peers_text+=(-n "omindex text" "omindex --overwrite --db $out/peers/omega-text --url / $corpus/text")
  peers_mixed+=(-n "omindex mixed" "omindex --overwrite --db $out/peers/omega-mixed --url / $corpus/mixed")
else
  echo "bench: omindex is not installed (Debian package xapian-omega): the comparison cannot be made" >&2
  exit 1
fi

bench corpus-text 1 "$warm_corpus" "$runs_corpus" \
  -n "tessary text, 1 worker" "xargs -a $out/lists/text.list -d '\\n' -n1 -P1 $bin" \
  -n "tessary text, 2 workers" "xargs -a $out/lists/text.list -d '\\n' -n1 -P2 $bin" \
  "${peers_text[@]}"

bench corpus-mixed 1 "$warm_corpus" "$runs_corpus" \
  -n "tessary mixed, 1 worker" "xargs -a $out/lists/mixed.list -d '\\n' -n1 -P1 $bin" \
  -n "tessary mixed, 2 workers" "xargs -a $out/lists/mixed.list -d '\\n' -n1 -P2 $bin" \
  "${peers_mixed[@]}"

# Helpers the peers looked for and did not find (their content is then not indexed).
if [ -s "$out/peers/recoll-mixed/missing" ]; then
  cp "$out/peers/recoll-mixed/missing" "$results/recoll-missing.txt"
fi

# --- instructions: a measure that load on the machine does not move ---------------------------
# callgrind counts the instructions of the measured process only (tools it starts run natively
# and are not counted), so "tessary pdf" here is tessary's own work on a PDF. The text run's
# profile is kept in full for callgrind_annotate.
echo
echo "== callgrind"
: > "$results/instructions.tsv"
count_instructions() {
  local name="$1" file="$out/profile/callgrind.$2.out"
  shift 2
  if valgrind --tool=callgrind --callgrind-out-file="$file" "$@" > /dev/null 2> "$file.log"; then
    printf '%s\t%s\n' "$name" "$(awk '/^(summary|totals):/ {print $2; exit}' "$file")" | tee -a "$results/instructions.tsv"
  else
    echo "bench: valgrind failed on $name, see $file.log" >&2
  fi
}
if command -v valgrind > /dev/null; then
  count_instructions "tessary text" text "$bin" "$txt"
  count_instructions "tessary pdf" pdf "$bin" "$pdf"
  count_instructions "tessary mp3" mp3 "$bin" "$mp3"
  count_instructions "tessary flac" flac "$bin" "$flac"
  count_instructions "tessary docx" docx "$bin" "$docx"
  count_instructions "file --mime-type" file file --mime-type "$txt"
  count_instructions "md5sum" md5sum md5sum "$txt"
  callgrind_annotate --auto=no --inclusive=no --threshold=100 "$out/profile/callgrind.text.out" \
    > "$results/callgrind-self.txt" 2> /dev/null || true
  callgrind_annotate --auto=no --inclusive=yes --threshold=100 "$out/profile/callgrind.text.out" \
    > "$results/callgrind-inclusive.txt" 2> /dev/null || true
fi

fi

# --- whole trees: tessary-walk beside xargs -P2 tessary, the peers and the floor ----------------
# Each command runs over the same corpus; wall time and user + system CPU time (children
# included) come from /usr/bin/time. The floor is the two libmagic lookups per file in one warm
# process (build/tessary_magic_floor). The walks deliver to a second tessary-server with a store
# of its own (bench/out/walk-index.db); each walk's own summary is checked.
echo
echo "== whole trees"
tree="$out/tree100k"
walk_bin="$build/tessary-walk"
floor_bin="$build/tessary_magic_floor"
walk_state="$out/walk"
rm -rf "$walk_state" && mkdir -p "$walk_state"
rm -f "$out/walk-index.db" "$out/walk-index.db-wal" "$out/walk-index.db-shm"
"$build/tessary-server" --listen 127.0.0.1:0 --store "$out/walk-index.db" 2> "$out/walk-server.log" &
walk_receiver=$!
trap 'cleanup; kill $walk_receiver 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q 'listening on' "$out/walk-server.log" 2>/dev/null && break; sleep 0.1; done
walk_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out/walk-server.log" | head -n1)
[ -n "$walk_port" ] || { echo "bench: the second index server did not start:" >&2; cat "$out/walk-server.log" >&2; exit 1; }
sed "2s/.*/port = $walk_port/" "$out/etc/config.cfg" > "$out/etc/config.walk"
cp "$out/etc/config.cfg" "$out/etc/config.records"
cp "$out/etc/config.walk" "$out/etc/config.cfg"

find "$corpus/text" -type f | sort > "$out/lists/text.list"
find "$corpus/mixed" -type f | sort > "$out/lists/mixed.list"
n_text=$(wc -l < "$out/lists/text.list")
n_mixed=$(wc -l < "$out/lists/mixed.list")
find "$tree" -type f | sort > "$out/lists/tree.list"
find "$tree/d000" -type f | sort > "$out/lists/tree1k.list"
n_tree=$(wc -l < "$out/lists/tree.list")
echo "tree=$n_tree" >> "$results/corpus.txt"
: > "$results/walk.tsv"
walk_runs=$([ "$quick" = 1 ] && echo 1 || echo 3)

# The walk's own peak memory (VmHWM: its peak resident set; its workers are not counted), polled
# while a command runs: the process named tessary-walk whose parent is not one.
walk_pid() {
  local p pp
  for p in $(pgrep -x tessary-walk); do
    pp=$(awk '{print $4}' "/proc/$p/stat" 2> /dev/null) || continue
    [ "$(cat "/proc/$pp/comm" 2> /dev/null)" = tessary-walk ] || { echo "$p"; return; }
  done
}

# measure CORPUS FILES NAME PREPARE COMMAND: runs PREPARE (untimed) and COMMAND walk_runs times,
# and records the median wall time, the mean CPU time and, for walks, the walk's peak memory.
measure() {
  local corpus_name="$1" files="$2" name="$3" prepare="$4" command="$5" i walls="" cpus="" pid peak=0 v
  for i in $(seq "$walk_runs"); do
    bash -c "$prepare"
    /usr/bin/time -f '%e %U %S' -o "$out/walk-time.txt" bash -c "$command" > /dev/null 2> "$out/walk-err.txt" &
    pid=$!
    while kill -0 "$pid" 2> /dev/null; do
      v=$(awk '/^VmHWM:/ {print $2}' "/proc/$(walk_pid)/status" 2> /dev/null || true)
      [ -n "$v" ] && [ "$v" -gt "$peak" ] && peak=$v
      sleep 0.2
    done
    wait "$pid" || { echo "bench: $name on $corpus_name failed:" >&2; cat "$out/walk-err.txt" >&2; exit 1; }
    read -r wall user sys < "$out/walk-time.txt"
    walls="$walls $wall"
    cpus="$cpus $(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')"
  done
  # A walk must have handled every file: its summary says how many it indexed or found unchanged.
  if [[ "$name" == tessary-walk* ]] && ! grep -Eq "(indexed|unchanged) $files," "$out/walk-err.txt"; then
    echo "bench: $name on $corpus_name did not handle all $files files:" >&2
    cat "$out/walk-err.txt" >&2
    exit 1
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$corpus_name" "$name" "$files" \
    "$(printf '%s\n' $walls | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')" \
    "$(printf '%s\n' $cpus | awk '{s+=$1} END {printf "%.3f", s/NR}')" "$peak" | tee -a "$results/walk.tsv"
}

# The walk over 1,000 files of the tree, for its peak memory beside the whole tree's.
measure tree1k 1000 "tessary-walk -j2" "rm -f $walk_state/tree1k.db*" "$walk_bin -j2 --state $walk_state/tree1k.db $tree/d000"

for set in text mixed tree; do
  case $set in
    text) dir="$corpus/text" list="$out/lists/text.list" n=$n_text ;;
    mixed) dir="$corpus/mixed" list="$out/lists/mixed.list" n=$n_mixed ;;
    tree) dir="$tree" list="$out/lists/tree.list" n=$n_tree ;;
  esac
  mkdir -p "$out/peers/recoll-walk-$set"
  printf 'topdirs = %s\nnoaspell = 1\n' "$dir" > "$out/peers/recoll-walk-$set/recoll.conf"
  measure "$set" "$n" "tessary-walk -j2" "rm -f $walk_state/$set.db*" "$walk_bin -j2 --state $walk_state/$set.db $dir"
  measure "$set" "$n" "tessary-walk -j2, unchanged" "true" "$walk_bin -j2 --state $walk_state/$set.db $dir"
  if [ "$set" != tree ] || [ "$quick" = 0 ]; then
    measure "$set" "$n" "xargs -P2 tessary" "true" "xargs -a $list -d '\n' -n1 -P2 $bin"
  fi
  measure "$set" "$n" "recollindex" "true" "recollindex -c $out/peers/recoll-walk-$set -z"
  measure "$set" "$n" "omindex" "true" "omindex --overwrite --db $out/peers/omega-walk-$set --url / $dir"
  measure "$set" "$n" "floor (libmagic lookups)" "true" "$floor_bin < $list"
done

cp "$out/etc/config.records" "$out/etc/config.cfg"

echo "load_end=$(cut -d' ' -f1-3 /proc/loadavg)" >> "$results/machine.txt"
echo
python3 "$root/bench/report.py" "$out"
