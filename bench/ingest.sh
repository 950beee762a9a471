#!/usr/bin/env bash
# Ingest benchmark: the agent's records of the mixed corpus (about 3 KB each), replayed one per
# connection from 8 senders at once into tessary-server on SQLite and on PostgreSQL, and into a
# redis-server taking the same connections. Reports records per second, the delay from a
# connection's end until its record is visible to a reader (p50, p99, max), the server's peak
# memory, and how many records redis-server accepted. Every peer is started here on a private
# port of 127.0.0.1 (PostgreSQL: initdb into a temporary directory as the user postgres) and
# stopped at the end; a peer that cannot be installed or started fails the run.
#
#   bash bench/ingest.sh            20,000 records per peer (INGEST_RECORDS to change)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
count="${INGEST_RECORDS:-20000}"
senders=8
pg_bin=/usr/lib/postgresql/15/bin

# --- the peers and tools ---------------------------------------------------------------------
missing=()
command -v redis-server > /dev/null || missing+=(redis-server)
command -v sqlite3 > /dev/null || missing+=(sqlite3)
[ -x "$pg_bin/initdb" ] || missing+=(postgresql)
if [ "${#missing[@]}" -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "ingest: missing ${missing[*]} and not root to install them" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" ||
    { echo "ingest: cannot install ${missing[*]}" >&2; exit 1; }
fi
[ "$(id -u)" = 0 ] || { echo "ingest: run as root (private mount namespace, PostgreSQL as postgres)" >&2; exit 1; }

build="$(realpath -m "${BENCH_BUILD_DIR:-build}")"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j2 --target tessary tessary-server tessary_ingest_bench > /dev/null
bash bench/corpus.sh bench/out/corpus

out="$root/bench/out/ingest"
rm -rf "$out"
mkdir -p "$out/records" "$out/etc" "$out/log" /etc/vq
pids=()
pg_dir=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2> /dev/null || true; done
  [ -n "$pg_dir" ] && rm -rf "$pg_dir"
}
trap cleanup EXIT

# Waits until FILE holds a "listening on 127.0.0.1:PORT" line; prints PORT.
port_from_log() {
  local p=""
  for _ in $(seq 100); do
    p=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1" | head -n1)
    [ -n "$p" ] && { echo "$p"; return 0; }
    sleep 0.1
  done
  echo "ingest: the server did not start:" >&2
  cat "$1" >&2
  return 1
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# --- the agent's records of the mixed corpus, as sent ------------------------------------------
python3 - "$out/capture.port" "$out/records" <<'PY' &
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
n = 0
while True:
    c, _ = s.accept(); data = b""
    while True:
        b = c.recv(1 << 16)
        if not b: break
        data += b
    c.close(); n += 1
    open("%s/%05d" % (sys.argv[2], n), "wb").write(data)
PY
pids+=($!)
for _ in $(seq 50); do [ -s "$out/capture.port" ] && break; sleep 0.1; done
values=(127.0.0.1 "$(cat "$out/capture.port")" true true 200 100000 false /bin/true /tmp/ true
        - - - - - - true true)
for i in "${!values[@]}"; do echo "k$i = ${values[$i]}"; done > "$out/etc/config.cfg"
files=(bench/out/corpus/mixed/*)
for f in "${files[@]}"; do
  unshare -m sh -c 'mount --bind "$1" /etc/vq && mount --bind "$2" /var/log && exec "$3" "$4"' \
    sh "$out/etc" "$out/log" "$build/tessary" "$root/$f" || echo "ingest: tessary on $f: status $?" >&2
done
for _ in $(seq 50); do [ "$(ls "$out/records" | wc -l)" -ge "${#files[@]}" ] && break; sleep 0.1; done
n_records=$(ls "$out/records" | wc -l)
avg=$(cat "$out/records"/* | wc -c)
avg=$((avg / n_records))
echo "ingest: $n_records agent records of the mixed corpus, $avg bytes on average"

# --- tessary-server on SQLite --------------------------------------------------------------------
run_server() {  # $1: name, $2: store location, $3: watch location
  "$build/tessary-server" --listen 127.0.0.1:0 --store "$2" 2> "$out/$1.log" &
  local pid=$!
  pids+=("$pid")
  local port
  port=$(port_from_log "$out/$1.log")
  echo "== $1: $count records from $senders senders"
  # The server's resident set, once a second, to see whether it grows with the records stored.
  (while kill -0 "$pid" 2> /dev/null; do
     sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status"
     sleep 1
   done > "$out/$1.rss") &
  local sampler=$!
  "$build/tessary_ingest_bench" --port "$port" --records "$out/records" --count "$count" --senders "$senders" \
    --watch "$3" | tee "$out/$1.result"
  kill "$sampler" 2> /dev/null || true
  wait "$sampler" 2> /dev/null || true
  local rss samples
  rss=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status")
  samples=$(wc -l < "$out/$1.rss")
  echo "peak_rss_kib=$rss rss_tenth_kib=$(sed -n "$((samples / 10 + 1))p" "$out/$1.rss")" \
       "rss_end_kib=$(tail -n1 "$out/$1.rss")" >> "$out/$1.result"
  kill -TERM "$pid"
  wait "$pid" || { echo "ingest: tessary-server ($1) ended with status $?" >&2; exit 1; }
}
run_server sqlite "$out/index.db" "$out/index.db"

# --- tessary-server on PostgreSQL ----------------------------------------------------------------
pg_dir=$(mktemp -d /tmp/tessary-ingest-pg.XXXXXX)
chown postgres: "$pg_dir"
pg_port=$(free_port)
runuser -u postgres -- "$pg_bin/initdb" -D "$pg_dir/data" -U postgres -A trust -E UTF8 --locale=C > "$out/initdb.log" 2>&1 ||
  { echo "ingest: initdb failed:" >&2; cat "$out/initdb.log" >&2; exit 1; }
runuser -u postgres -- "$pg_bin/postgres" -D "$pg_dir/data" -p "$pg_port" -k "$pg_dir" \
  -c listen_addresses=127.0.0.1 > "$out/postgres.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do "$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port" && break; sleep 0.1; done
"$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port" || { echo "ingest: PostgreSQL did not start:" >&2; cat "$out/postgres.log" >&2; exit 1; }
uri="postgresql://postgres@127.0.0.1:$pg_port/postgres"
run_server postgresql "$uri" "$uri"

# --- redis-server taking the same connections ------------------------------------------------------
redis_port=$(free_port)
mkdir -p "$out/redis"
redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly no --dir "$out/redis" \
  --daemonize no > "$out/redis.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do redis-cli -p "$redis_port" ping > /dev/null 2>&1 && break; sleep 0.1; done
redis-cli -p "$redis_port" ping > /dev/null 2>&1 || { echo "ingest: redis-server did not start:" >&2; cat "$out/redis.log" >&2; exit 1; }
echo "== redis-server $(redis-server --version | awk '{print $3}'): the same $count records"
"$build/tessary_ingest_bench" --port "$redis_port" --records "$out/records" --count "$count" --senders "$senders" \
  --redis | tee "$out/redis.result"
echo "keys_in_redis=$(redis-cli -p "$redis_port" dbsize)" >> "$out/redis.result"

# --- report -------------------------------------------------------------------------------------
field() { tr ' ' '\n' < "$1" | sed -n "s/^$2=//p" | head -n1; }
{
  echo "Ingest: $count records ($n_records agent records of the mixed corpus, $avg bytes on average, one per"
  echo "connection, each with a path of its own) from $senders senders; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "records/s: records over the time until the last one was visible to a reader (redis: until the last reply)."
  echo
  echo "| peer | records/s | p50 until visible (ms) | p99 until visible (ms) | max (ms) | RSS after a tenth / at the end / peak (MiB) | stored / accepted |"
  echo "|---|---|---|---|---|---|---|"
  for s in sqlite postgresql; do
    r="$out/$s.result"
    rate=$(awk -v n="$count" -v t="$(field "$r" seconds_to_all_visible)" 'BEGIN { printf "%.0f", n / t }')
    rss=$(field "$r" peak_rss_kib)
    echo "| tessary-server, $s | $rate | $(field "$r" p50_ms) | $(field "$r" p99_ms) | $(field "$r" max_ms) |" \
         "$(($(field "$r" rss_tenth_kib) / 1024)) / $(($(field "$r" rss_end_kib) / 1024)) / $((rss / 1024)) |" \
         "$(field "$r" visible) of $count |"
  done
  echo "| redis-server $(redis-server --version | awk '{print $3}' | sed 's/v=//') | $(field "$out/redis.result" records_per_s) |" \
       "- | - | - | - | $(field "$out/redis.result" accepted) of $count |"
} | tee "$out/report.md"
