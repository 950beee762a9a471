#!/usr/bin/env bash
# The main job on an embedded default: builds tessary, tessary-walk and tessary-server, starts the
# index server on 127.0.0.1 with an embedded (SQLite) store in a temporary directory, indexes a
# folder of sample files with one walk under a configuration that points at it, walks it again
# (nothing has changed, so nothing is sent), stops the server (which commits everything) and shows
# the records the store holds, a tessary-search result and the address of the search page. The machine's own /etc/vq and /var/log are never touched: every
# run happens in a private mount namespace with temporary directories bound over both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh plain tessary tessary-walk tessary-server tessary-search

work=$(mktemp -d /tmp/tessary-demo.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/etc" "$work/log" "$work/files" "$work/spool" /etc/vq

# Port 0: any free port; the server logs the one it took.
build/tessary-server --listen 127.0.0.1:0 --store "$work/index.db" --http 127.0.0.1:0 2> "$work/server.log" &
server_pid=$!
for _ in $(seq 100); do grep -q 'search page on' "$work/server.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log" | head -n1)
[ -n "$port" ] || { echo "demo: tessary-server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

# The embedded default configuration: 18 positional values, every reader on, digest on.
values=(127.0.0.1 "$port" true true 20 100000 true /bin/true "$work/spool/" true
        - - - - - - true true)
names=(host port word spreadsheet lines buffer executable windows_program workdir md5
       unused10 unused11 unused12 unused13 unused14 unused15 media pdf)
for i in "${!values[@]}"; do echo "${names[$i]} = ${values[$i]}"; done > "$work/etc/config.cfg"

printf 'Hello World\nThis is a SAMPLE text file.\n' > "$work/files/hello.txt"
printf 'Gr\xc3\xbc\xc3\x9fe aus K\xc3\xb6ln\n' > "$work/files/utf8.txt"
printf 'Gr\xfc\xdfe aus K\xf6ln, ISO-8859-1\n' > "$work/files/latin1.txt"
printf '%%!PS\n/Helvetica findfont 14 scalefont setfont\n72 700 moveto (Quarterly Report) show\n72 680 moveto (Revenue grew) show\nshowpage\n' > "$work/files/report.ps"
gs -q -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/files/report.pdf" "$work/files/report.ps"
rm "$work/files/report.ps"
sox -q -n -r 44100 -c 2 -b 16 "$work/files/tone.wav" synth 2 sine 440
flac -s -f -o "$work/files/tone.flac" "$work/files/tone.wav"
metaflac --set-tag=TITLE=Tone --set-tag=ARTIST=Demo "$work/files/tone.flac"
rm "$work/files/tone.wav"

# One walk over the folder: each file in a process of its own; the state file remembers them.
walk() {
  unshare -m sh -c 'mount --bind "$1" /etc/vq && mount --bind "$2" /var/log && shift 2 && exec "$@"' \
    sh "$work/etc" "$work/log" "$PWD/build/tessary-walk" --state "$work/walk.db" "$work/files"
}
echo "First walk over $work/files:"
walk || echo "tessary-walk ended with status $?"
echo
echo "Second walk (nothing changed, so nothing is sent):"
walk || echo "tessary-walk ended with status $?"
# A running server commits what it received within 200 ms.
sleep 0.5
echo
echo "Records in the store $work/index.db:"
sqlite3 -box "$work/index.db" \
  "SELECT path, name, mtime, size, coalesce(md5, '-') AS md5, stamp, substr(content, 1, 40) AS content FROM files ORDER BY path"
echo
echo "tessary-search --store $work/index.db revenue:"
build/tessary-search --store "$work/index.db" revenue
echo
echo "tessary-search --json 'gr*':"
build/tessary-search --store "$work/index.db" --json 'gr*'
page=$(sed -n 's/.*search page on \(http[^ ]*\).*/\1/p' "$work/server.log" | head -n1)
echo
echo "The search page: $page"
if [ -t 0 ]; then
  read -r -p "Open it in a browser on this machine; press Enter to stop the server. " _
fi
# An orderly stop commits everything received.
kill -TERM "$server_pid"
wait "$server_pid" || { echo "demo: tessary-server ended with status $?" >&2; cat "$work/server.log" >&2; exit 1; }
server_pid=""
echo
echo "Index server log:"
sed 's/^/  /' "$work/server.log"
