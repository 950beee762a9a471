#!/usr/bin/env bash
# The Debian package's test: builds it (scripts/package.sh), runs lintian on it (errors and
# warnings fail; accepted ones are overridden in the package with their reasons), installs it on
# this machine with apt-get, checks what the maintainer scripts did, renders every installed man
# page, runs each installed program (the server as its systemd unit says: its ExecStart as its
# user with its state directory; an agent run, a walk and a search against it, all in a private
# mount and network namespace with the agent's /etc/vq and /var/log bound over), then purges the
# package and checks that nothing is left behind. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package-test.sh: FAILED: $*" >&2; exit 1; }
step() { echo "== package: $*"; }
[ "$(id -u)" = 0 ] || { echo "package-test.sh: must run as root (apt-get, unshare)" >&2; exit 2; }

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=600 "$@"
}

unit=/lib/systemd/system/tessary-server.service
config=/etc/vq/config.cfg
work=$(mktemp -d /tmp/tessary-package.XXXXXX)
cleanup() {
  # An interrupted run leaves neither the package nor its user behind.
  if dpkg-query -W -f='${Status}' tessary 2>/dev/null | grep -q installed; then
    apt_get purge tessary > /dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step "build"
deb=$(bash scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "scripts/package.sh left no package ($deb)"
echo "$deb: $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends Recommends

step "lintian"
lintian_rc=0
lintian --fail-on error,warning --display-info --pedantic "$deb" \
  > "$work/lintian.txt" 2>&1 || lintian_rc=$?
grep -v "^running with root privileges" "$work/lintian.txt" || true
echo "lintian: status $lintian_rc (overridden in the package: $(grep -c '^tessary: ' packaging/debian/lintian-overrides))"
[ "$lintian_rc" = 0 ] || fail "lintian reports errors or warnings (status $lintian_rc)"

step "install"
# A package left by an interrupted earlier run would hide what this installation does.
if dpkg-query -W -f='${Status}' tessary 2>/dev/null | grep -q installed; then
  apt_get purge tessary > /dev/null
fi
getent passwd tessary > /dev/null && fail "a user tessary exists before the installation"
# Every path outside the package tool's own records, before the installation; after the purge
# the same list must come back.
snapshot() {
  find /etc /usr /lib /var/lib /opt /srv -xdev \
    \( -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/lib/man-db \) -prune -o \
    -print 2>/dev/null | grep -Ev '^/etc/(passwd|group|shadow|gshadow)-$' | LC_ALL=C sort
}
snapshot > "$work/before.txt"
config_before=absent
if [ -e "$config" ]; then config_before=present; cp -p "$config" "$work/config.before"; fi
apt_get install "./$deb" > "$work/apt-install.txt" 2>&1 || { cat "$work/apt-install.txt"; fail "apt-get install"; }

step "maintainer scripts"
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd tessary) || fail "no user tessary"
[ "$uid" -lt 1000 ] || fail "tessary is not a system user (uid $uid)"
[ "$(getent group tessary | cut -d: -f3)" = "$gid" ] || fail "tessary's group is not its own"
[ "$shell" = /usr/sbin/nologin ] || fail "tessary's shell is $shell"
[ ! -e "$home" ] || fail "tessary's home $home exists"
[ "$(stat -c %U:%G:%a /var/lib/tessary)" = tessary:tessary:750 ] \
  || fail "/var/lib/tessary is not the server's state directory ($(stat -c %U:%G:%a /var/lib/tessary))"
if [ "$config_before" = absent ]; then
  cmp "$config" /usr/share/doc/tessary/config.cfg.example || fail "$config is not the sample"
else
  cmp "$config" "$work/config.before" || fail "the installation changed an existing $config"
fi
[ -L /etc/systemd/system/multi-user.target.wants/tessary-server.service ] || fail "unit not enabled"
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"

step "man pages"
pages=$(dpkg -L tessary | grep '^/usr/share/man/.*\.gz$')
programs=$(dpkg -L tessary | grep -E '^/usr/s?bin/.')
for program in $programs; do
  grep -q "/$(basename "$program")\.[18]\.gz$" <<< "$pages" || fail "no man page for $program"
done
for page in $pages; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" > "$work/page.txt" 2> "$work/page.err"
  [ ! -s "$work/page.err" ] || { cat "$work/page.err"; fail "man -l $page warns"; }
  [ "$(wc -l < "$work/page.txt")" -gt 20 ] || fail "man -l $page renders almost nothing"
done
echo "$(wc -w <<< "$pages") pages render without warnings"

step "programs"
# The agent's one argument is always a path; the other programs answer --version.
for program in $programs; do
  name=$(basename "$program")
  [ "$name" = tessary ] && continue
  [ "$("$program" --version)" = "$name $(dpkg-query -W -f='${Version}' tessary | cut -d- -f1)" ] \
    || fail "$name --version"
done

step "smoke run"
# Inside a private mount and network namespace: the agent's /etc/vq (holding the installed sample)
# and /var/log are bound over, and the server's port 7777 and loopback are this run's own.
smoke() {
  set -euo pipefail
  local work=$1 unit=$2
  ip link set lo up
  mkdir -p "$work/etc" "$work/log" "$work/files/Sub Dir" "$work/single" /etc/vq
  cp /usr/share/doc/tessary/config.cfg.example "$work/etc/config.cfg"
  mount --bind "$work/etc" /etc/vq
  mount --bind "$work/log" /var/log

  # The server as the unit runs it: its ExecStart as its user and group, with its umask and
  # its state directory made as systemd makes it.
  local exec_start user group state mode mask rc
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  user=$(sed -n 's/^User=//p' "$unit")
  group=$(sed -n 's/^Group=//p' "$unit")
  state=$(sed -n 's/^StateDirectory=//p' "$unit")
  mode=$(sed -n 's/^StateDirectoryMode=//p' "$unit")
  mask=$(sed -n 's/^UMask=//p' "$unit")
  install -d -o "$user" -g "$group" -m "$mode" "/var/lib/$state"
  # shellcheck disable=SC2086 # the unit's command line, split into words as systemd splits it
  (umask "$mask" && exec setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs \
     $exec_start) 2> "$work/server.log" &
  server=$!
  trap 'kill "$server" 2> /dev/null || true' EXIT
  local up=0
  for _ in $(seq 100); do
    kill -0 "$server" 2>/dev/null || { cat "$work/server.log"; fail "the server ended at its start"; }
    if (exec 3<> /dev/tcp/127.0.0.1/7777) 2>/dev/null; then up=1; break; fi
    sleep 0.1
  done
  [ "$up" = 1 ] || fail "the server does not listen on 127.0.0.1:7777"

  printf 'The zebrafinch sings at dawn.\n' > "$work/files/alpha.txt"
  printf 'A second ZEBRAFINCH, with "quotes".\n' > "$work/files/Sub Dir/Beta Notes.txt"
  printf 'Nothing about birds here.\n' > "$work/files/Sub Dir/gamma.txt"
  printf 'A solitary heron.\n' > "$work/single/alone.txt"
  tessary "$work/single/alone.txt" || fail "tessary on one file: status $?"
  tessary-walk --quiet "$work/files" || fail "tessary-walk: status $?"
  [ -f "/var/lib/$state/walk.db" ] || fail "root's walk kept no state in /var/lib/$state"

  # While the server runs, its group may read the store and others may not.
  rc=0
  setpriv --reuid=nobody --regid="$group" --clear-groups tessary-search heron > /dev/null 2>&1 || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 1 ] || fail "a member of the group $group cannot search (status $rc)"
  rc=0
  setpriv --reuid=nobody --regid=nogroup --clear-groups tessary-search heron > /dev/null 2>&1 || rc=$?
  [ "$rc" = 2 ] || fail "a user outside the group $group can search (status $rc)"

  # An orderly stop commits everything received.
  kill -TERM "$server"
  rc=0
  wait "$server" || rc=$?
  trap - EXIT
  [ "$rc" = 0 ] || { cat "$work/server.log"; fail "the server ended with status $rc on SIGTERM"; }
  [ "$(stat -c %U "/var/lib/$state/index.db")" = "$user" ] || fail "the store is not the server user's"

  # The search reads the server's default store.
  local lower
  lower=$(tr 'A-Z' 'a-z' <<< "$work")
  tessary-search --json zebrafinch > "$work/found.txt" || fail "tessary-search zebrafinch: status $?"
  [ "$(wc -l < "$work/found.txt")" = 2 ] || { cat "$work/found.txt"; fail "zebrafinch: not two files"; }
  grep -qF "\"path\":\"$lower/files/alpha.txt\"" "$work/found.txt" || fail "alpha.txt not found"
  # The sample's digest switch is on: its position is read right.
  grep -qF "\"md5\":\"$(md5sum < "$work/files/alpha.txt" | cut -c1-32)\"" "$work/found.txt" \
    || fail "alpha.txt's record has not its MD5 digest"
  grep -qF "\"name\":\"beta notes.txt\"" "$work/found.txt" || fail "beta notes.txt not found"
  tessary-search --json heron | grep -qF "\"path\":\"$lower/single/alone.txt\"" \
    || fail "the single run's record is not found"
  [ "$(tessary-search --limit 0 --json | wc -l)" = 4 ] || fail "not four records in the store"
  rc=0
  tessary-search nosuchwordanywhere > /dev/null || rc=$?
  [ "$rc" = 1 ] || fail "a search that matches nothing ended with status $rc, not 1"
  [ ! -s "$work/log/vq_error.log" ] || { cat "$work/log/vq_error.log"; fail "runs logged a crash"; }
  echo "server, agent, walk and search work as installed"
}
export -f smoke fail
for program in /usr/bin/tessary /usr/bin/tessary-walk /usr/bin/tessary-search /usr/sbin/tessary-server; do
  [ -x "$program" ] || fail "the package has no $program"
done
unshare --mount --net bash -c 'smoke "$@"' smoke "$work/smoke" "$unit" || fail "smoke run"

step "purge"
apt_get purge tessary > "$work/apt-purge.txt" 2>&1 || { cat "$work/apt-purge.txt"; fail "apt-get purge"; }
getent passwd tessary > /dev/null && fail "user tessary left after the purge"
getent group tessary > /dev/null && fail "group tessary left after the purge"
[ ! -e /var/lib/tessary ] || fail "/var/lib/tessary left after the purge"
if [ "$config_before" = present ]; then
  cmp "$config" "$work/config.before" || fail "the purge changed an existing $config"
fi
snapshot > "$work/after.txt"
# Paths that appeared and belong to another package were installed by someone else meanwhile
# (a shared machine); what the package's scripts or programs leave belongs to no package.
diff "$work/before.txt" "$work/after.txt" | sed -n 's/^> //p' > "$work/appeared.txt" || true
diff "$work/before.txt" "$work/after.txt" | sed -n 's/^< //p' > "$work/removed.txt" || true
: > "$work/owned.txt"
if [ -s "$work/appeared.txt" ]; then
  xargs -d '\n' dpkg-query -S < "$work/appeared.txt" 2> /dev/null | sed 's/^[^:]*: //' \
    | LC_ALL=C sort -u > "$work/owned.txt" || true
fi
LC_ALL=C comm -23 "$work/appeared.txt" "$work/owned.txt" > "$work/left.txt"
if [ -s "$work/left.txt" ] || [ -s "$work/removed.txt" ]; then
  sed 's/^/left behind: /' "$work/left.txt"
  sed 's/^/removed: /' "$work/removed.txt"
  fail "the installation and purge left the machine changed"
fi
echo "nothing left behind"
