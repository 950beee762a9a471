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
if [ "$config_before" = absent ]; then
  cmp "$config" /usr/share/doc/tessary/config.cfg.example || fail "$config is not the sample"
else
  cmp "$config" "$work/config.before" || fail "the installation changed an existing $config"
fi
if [ -e "$unit" ]; then
  [ -L /etc/systemd/system/multi-user.target.wants/tessary-server.service ] || fail "unit not enabled"
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
fi

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

step "purge"
apt_get purge tessary > "$work/apt-purge.txt" 2>&1 || { cat "$work/apt-purge.txt"; fail "apt-get purge"; }
getent passwd tessary > /dev/null && fail "user tessary left after the purge"
getent group tessary > /dev/null && fail "group tessary left after the purge"
[ ! -e /var/lib/tessary ] || fail "/var/lib/tessary left after the purge"
if [ "$config_before" = present ]; then
  cmp "$config" "$work/config.before" || fail "the purge changed an existing $config"
fi
snapshot > "$work/after.txt"
if ! diff "$work/before.txt" "$work/after.txt" > "$work/left.txt"; then
  cat "$work/left.txt"
  fail "the installation and purge left the machine changed (> left behind, < removed)"
fi
echo "nothing left behind"
