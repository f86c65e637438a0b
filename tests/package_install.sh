#!/usr/bin/env bash
# Installs, removes and purges the Debian package as a person would (dpkg
# and its maintainer scripts, Debian's own Apache configuration) without
# touching this machine: in an overlay of the machine's root whose changes
# go to a folder of the run, in mount, network and process namespaces of
# its own (Apache listens on port 80 of a loopback nobody else sees, and
# every process ends with the namespace). Needs root.
#
#   package_install.sh DEB WORK_DIR
#
# Prints a line "PASS: what" or "FAIL: what" for each check.
set -uo pipefail
if [ "${1:-}" != --inside ]; then
  deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  work=$2
  mkdir -p "$work/upper/root" "$work/work" "$work/root"
  cp "$deb" "$work/upper/root/swatch.deb"
  cp "$0" "$work/upper/root/package_install.sh"
  exec unshare --mount --net --pid --fork --mount-proc bash -c '
    set -e
    w=$1
    mount -t overlay overlay -o "lowerdir=/,upperdir=$w/upper,workdir=$w/work" "$w/root"
    mount -t proc proc "$w/root/proc"
    mount --rbind /dev "$w/root/dev"
    mount -t sysfs sysfs "$w/root/sys"
    mount -t tmpfs tmpfs "$w/root/run"
    mount -t tmpfs tmpfs "$w/root/tmp"
    exec chroot "$w/root" bash /root/package_install.sh --inside /root/swatch.deb' _ "$work"
fi

# --- In the overlay.
deb=$2
ip link set lo up
mkdir -p /run/lock
# Nothing that a package installs starts by itself; this test starts Apache.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d
export DEBIAN_FRONTEND=noninteractive
check() { # NAME CONDITION...
  local name=$1; shift
  if "$@"; then echo "PASS: $name"; else echo "FAIL: $name"; fi
}
apache() { # start|stop
  if [ "$1" = start ]; then
    apache2ctl start >/dev/null 2>&1
    for _ in $(seq 1 50); do (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && return 0; sleep 0.1; done
  else
    apache2ctl stop >/dev/null 2>&1
    for _ in $(seq 1 50); do pgrep -x apache2 >/dev/null || return 0; sleep 0.1; done
  fi
}
status() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1$1"; }
server_header() { curl -sI http://127.0.0.1/ | tr -d '\r' | sed -n 's/^Server: //Ip'; }
enabled() { a2query -q "$@" >/dev/null 2>&1; }
# A CGI program of someone else's, in the folder Debian's Apache publishes
# when CGI is on.
mkdir -p /usr/lib/cgi-bin
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\n\\nother\\n"\n' >/usr/lib/cgi-bin/other.cgi
chmod 755 /usr/lib/cgi-bin/other.cgi

swatch_url=/cgi-bin/swatch/40/20/255/0/0
# The modules the installed pages import (from, import(), new URL()) that
# are not installed beside them.
missing_imports() {
  find /usr/share/swatch -name '*.js' | while read -r module; do
    grep -oE '(from |import\(|new URL\()"\.{1,2}/[^"]+"' "$module" | sed -E 's/.*"(.*)"/\1/' |
      while read -r relative; do [ -e "$(dirname "$module")/$relative" ] || echo "$module: $relative"; done
  done
}
installed_checks() { # WHEN OTHER-STATUS
  apache start
  check "$1: the swatch is answered" [ "$(status $swatch_url)" = 200 ]
  check "$1: the designer is answered" [ "$(status /swatch/designer.html)" = 200 ]
  check "$1: every module the pages import is installed $(missing_imports | tr '\n' ' ')" [ -z "$(missing_imports)" ]
  check "$1: other.cgi gets $2" [ "$(status /cgi-bin/other.cgi)" = "$2" ]
  check "$1: the Server header is the server's own" [ "$(server_header)" = "$server_before" ]
  apache stop
  check "$1: swatch-legend draws an SVG legend with the packaged program" bash -c \
    'echo "{\"version\": 8, \"layers\": [{\"id\": \"a\", \"type\": \"fill\", \"paint\": {\"fill-color\": \"red\"}}]}" |
     swatch-legend --format svg - | grep -q "<rect x=\"0\" y=\"0\" width=\"20\" height=\"20\" fill=\"#ff0000\"/>"'
}

# 1. CGI off before the package: turned on for swatch alone, and off again.
a2dismod -q cgid cgi >/dev/null 2>&1
apache start
server_before=$(server_header)
check "before: other.cgi is not answered" [ "$(status /cgi-bin/other.cgi)" = 404 ]
apache stop
dpkg -i "$deb" >/tmp/dpkg.log 2>&1
check "the package installs" grep -q "Setting up swatch" /tmp/dpkg.log
installed_checks "CGI was off" 403
check "the workers' units are not enabled" [ ! -e /etc/systemd/system/sockets.target.wants/swatch.socket ]
check "systemd-analyze verify accepts the units" \
  systemd-analyze verify /lib/systemd/system/swatch.socket /lib/systemd/system/swatch.service
exposure=$(systemd-analyze security --offline=true /lib/systemd/system/swatch.service 2>/dev/null |
           sed -n 's/.*Overall exposure level for swatch.service: \([0-9.]*\).*/\1/p')
check "the workers' unit is hardened: exposure ${exposure:-unknown} of at most 2.0" \
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'
dpkg -r swatch >/tmp/dpkg.log 2>&1
check "after removal: mod_cgid is off" bash -c '! a2query -q -m cgid'
check "after removal: mod_rewrite is off" bash -c '! a2query -q -m rewrite'
check "after removal: swatch.conf is off" bash -c '! a2query -q -c swatch'
apache start
check "after removal: the swatch is not answered" [ "$(status $swatch_url)" = 404 ]
check "after removal: other.cgi is not answered" [ "$(status /cgi-bin/other.cgi)" = 404 ]
apache stop
dpkg -P swatch >/tmp/dpkg.log 2>&1
check "after purging: no configuration of the package's" \
  bash -c '[ ! -e /etc/apache2/conf-available/swatch.conf ] && [ ! -e /var/lib/swatch ] &&
           [ -z "$(find /etc/apache2 /var/lib/apache2 -name "swatch*")" ]'

# 2. CGI on before (the administrator's): left on, other.cgi answered as
# before, during and after.
a2enmod -q cgid >/dev/null 2>&1
dpkg -i "$deb" >/tmp/dpkg.log 2>&1
installed_checks "CGI was on" 200
dpkg -P swatch >/tmp/dpkg.log 2>&1
check "after purging: the administrator's mod_cgid is still on" enabled -m cgid
apache start
check "after purging: other.cgi is answered as before" [ "$(status /cgi-bin/other.cgi)" = 200 ]
apache stop
# Off again, and forgotten that the administrator turned it on and off (a
# module the administrator turned off is one the package leaves off).
a2dismod -q -p cgid >/dev/null 2>&1

# 3. Apache installed after the package: the package says, in one line, what
# serves the swatches then; doing it does.
helper=/usr/share/apache2/apache2-maintscript-helper
mv "$helper" "$helper.away"
dpkg -i "$deb" >/tmp/dpkg.log 2>&1
mv "$helper.away" "$helper"
check "without Apache, the package says what to run" \
  grep -q "^swatch: Apache is not installed; once it is, run 'dpkg-reconfigure swatch'" /tmp/dpkg.log
dpkg-reconfigure swatch >/tmp/dpkg.log 2>&1
apache start
check "after dpkg-reconfigure the swatch is answered" [ "$(status $swatch_url)" = 200 ]
apache stop
dpkg -P swatch >/dev/null 2>&1
