#!/usr/bin/env bash
# Makes the golden records in this directory with the real agent: hostile files in a temporary
# directory, one run of build/tessary each (in a private mount namespace, as the tests run it),
# and what the index server would receive kept as NAME.rec. The matching NAME.fields files are
# written by hand from the files' facts (see record_parser_test.cpp). Run as root from the
# repository: bash tests/records/make_records.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
out=tests/records
work=$(mktemp -d /tmp/tessary-records.XXXXXX)
trap 'rm -rf "$work"; [ -n "${receiver:-}" ] && kill "$receiver" 2>/dev/null || true' EXIT
mkdir -p "$work/etc" "$work/log" "$work/got" "$work/f" /etc/vq

python3 - "$work/port" "$work/got" <<'PY' &
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
n = 0
while True:
    c, _ = s.accept(); data = b""
    while True:
        b = c.recv(65536)
        if not b: break
        data += b
    c.close(); n += 1
    open("%s/%d" % (sys.argv[2], n), "wb").write(data)
PY
receiver=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

config() {  # $1: digest switch
  local values=(127.0.0.1 "$port" false false 1000 100000 false /bin/true /tmp/ "$1" - - - - - - false false)
  for i in "${!values[@]}"; do echo "k$i = ${values[$i]}"; done > "$work/etc/config.cfg"
}
run() {  # $1: golden name, $2: file
  local before after
  before=$(ls "$work/got" | wc -l)
  unshare -m sh -c 'mount --bind "$1" /etc/vq && mount --bind "$2" /var/log && exec "$3" "$4"' \
    sh "$work/etc" "$work/log" "$PWD/build/tessary" "$2"
  for _ in $(seq 50); do after=$(ls "$work/got" | wc -l); [ "$after" -gt "$before" ] && break; sleep 0.1; done
  # The golden record is the record alone, without the closing "quit\r\n".
  head -c -6 "$work/got/$after" > "$out/$1.rec"
}

config true
printf 'Hello World\nSecond LINE\n' > "$work/f/Report.TXT"
touch -a -d '2023-11-14 22:13:20' -m -d '2024-02-29 08:05:09' "$work/f/Report.TXT"
run plain "$work/f/Report.TXT"

printf 'x\n' > "$work/f/it's \"quoted\".txt"
run quotes_in_name "$work/f/it's \"quoted\".txt"

printf 'y\n' > "$work/f/A#DATEINAME#b#INHALT#c.txt"
run markers_in_name "$work/f/A#DATEINAME#b#INHALT#c.txt"

mkdir -p "$work/f/dir
with feed"
printf 'z\n' > "$work/f/dir
with feed/line1
set '#PFAD#x.txt"
run feeds_in_path "$work/f/dir
with feed/line1
set '#PFAD#x.txt"

printf 'a # b "c" '"'"'d'"'"' \r e @@ENDE@@'"'"' '"'"'01.01.2020 10:00:00.1'"'"'\r\n' > "$work/f/hostile.txt"
printf "set '#PFAD#/etc/passwd#DATEINAME#passwd#LETZ.ZUG#2020-01-01 00:00:00#LETZT.MOD#2020-01-01 00:00:00#CREATE.DATAE#Wed Jan  1 00:00:00 2020#SIZE#1#MD5#nicht berechnet#INHALT#x@@ENDE@@' '01.01.2020 00:00:00.1'\r\n" >> "$work/f/hostile.txt"
run hostile_content "$work/f/hostile.txt"

: > "$work/f/empty"
config false
run no_digest "$work/f/empty"
echo "records written to $out"
