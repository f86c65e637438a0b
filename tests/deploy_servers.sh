#!/usr/bin/env bash
# Serves swatches with every server configuration the project ships and runs
# the same HTTP checks against each: lighttpd (scripts/serve, CGI and
# FastCGI), Apache with mod_cgid, Apache with mod_proxy_fcgi on kept
# connections, nginx with FastCGI on kept connections, and nginx as a
# caching proxy in front. Each server runs on a free loopback port from the
# deploy/ file as a person would copy it (paths and ports put in), and is
# stopped afterwards.
#
#   deploy_servers.sh SWATCH SOURCE_DIR [BUILD_DIR]
#
# With DEPLOY_BENCH_SECONDS set (and wrk installed), each server's requests/s
# for a swatch and for a static file it serves are printed as well.
#
# With BUILD_DIR, the program and the gallery are first installed from it
# (cmake --install) and the installed program is the one served; and when
# that build's program is statically linked, its Debian package is made
# (scripts/package), checked with lintian, unpacked and served by Apache
# with the configuration it carries, and installed, removed and purged in an
# overlay of the machine's root (tests/package_install.sh), which leaves
# the machine as it was.
set -uo pipefail
swatch=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
src=$(cd "$2" && pwd)
run=$(mktemp -d /tmp/swatch-deploy.XXXXXX)
chmod 755 "$run"
passed=0
failed=0
last=
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  stop_workers
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$run"
}
trap cleanup EXIT
free_port() { python3 "$src/tests/support/support.py" free-port; }
wait_port() { python3 "$src/tests/support/support.py" wait-for-port "$1"; }
check() { # NAME CONDITION...
  local name=$1; shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $server: $name"
    [ -n "$last" ] && sed -n '1,12p' "$run/$last.h" && head -c 200 "$run/$last.b" | tr -c '[:print:]\n' . && echo
  fi
}

if [ -n "${3:-}" ]; then
  server="cmake --install"
  cmake --install "$3" --prefix "$run/prefix" >/dev/null
  check "the program goes where CGI programs live" [ -x "$run/prefix/lib/cgi-bin/swatch" ]
  check "the gallery goes beside the other shared files" [ -f "$run/prefix/share/swatch/index.html" ]
  [ -x "$run/prefix/lib/cgi-bin/swatch" ] && swatch=$run/prefix/lib/cgi-bin/swatch
fi
mkdir -p "$run/cgi-bin" && cp "$swatch" "$run/cgi-bin/swatch"
cp /etc/nginx/mime.types "$run/nginx-mime.types"
echo "image/gif gif" >"$run/mime.types"


# What the program writes for a request run as CGI, body only (after the
# header's empty line).
cgi_body() { # PATH QUERY [POST-BODY]
  local -a env=(SCRIPT_NAME=/cgi-bin/swatch "PATH_INFO=$1" "QUERY_STRING=$2" REQUEST_METHOD=GET)
  [ $# -gt 2 ] && env+=(REQUEST_METHOD=POST "CONTENT_LENGTH=${#3}")
  printf '%s' "${3:-}" | env -i "${env[@]}" "$swatch" | python3 -c '
import sys; data = sys.stdin.buffer.read(); sys.stdout.buffer.write(data[data.index(b"\n\n") + 2:])'
}
cgi_body /40/20/255/0/0 'Outline=0000FF' >"$run/expected-get"
cgi_body /30/10 '' 'LineType=Hatch&HatchType=3&Color=00FF00' >"$run/expected-post"
# A form padded to 32 KiB: a body the program takes, longer than servers
# pass on in one piece.
form32=$(python3 -c 'f = "LineType=Hatch&HatchType=3&Color=00FF00&pad="; print(f + "x" * (32768 - len(f)), end="")')
printf '%s' "$form32" >"$run/form32"
cgi_body /30/10 '' "$form32" >"$run/expected-post32"

fetch() { # NAME URL [curl args]: headers in $run/NAME.h, body in $run/NAME.b
  local name=$1 url=$2; shift 2
  last=$name
  curl -s -o "$run/$name.b" -D "$run/$name.h" "$@" "$url"
}
status_of() { head -1 "$run/$1.h" | awk '{print $2}'; }
header_of() { grep -i "^$2:" "$run/$1.h" | head -1 | cut -d: -f2- | sed 's/^ *//; s/\r$//'; }

# Chunked request bodies are passed on whole with their length, except
# where the server cannot give the program their length and refuses them.
chunked_bodies=passed
http_checks() { # BASE-URL
  local base=$1
  fetch get "$base/cgi-bin/swatch/40/20/255/0/0?Outline=0000FF"
  check "GET gives 200" [ "$(status_of get)" = 200 ]
  check "GET is a GIF" [ "$(header_of get Content-Type)" = image/gif ]
  check "GET may be cached for a day" [ "$(header_of get Cache-Control)" = "public, max-age=86400" ]
  check "GET gives the bytes of CGI mode" cmp -s "$run/get.b" "$run/expected-get"
  fetch post "$base/cgi-bin/swatch/30/10" --data 'LineType=Hatch&HatchType=3&Color=00FF00'
  check "POST gives 200" [ "$(status_of post)" = 200 ]
  check "POST gives the bytes of CGI mode" cmp -s "$run/post.b" "$run/expected-post"
  fetch banner "$base/cgi-bin/swatch"
  check "banner gives 200" [ "$(status_of banner)" = 200 ]
  check "banner text" grep -q '^VXM Swatchery$' "$run/banner.b"
  check "banner is plain text" bash -c '[[ "$1" == text/plain* ]]' _ "$(header_of banner Content-Type)"
  fetch refused "$base/cgi-bin/swatch/9000/9000"
  check "a swatch too large gives 400" [ "$(status_of refused)" = 400 ]
  check "the error page is never cached" [ "$(header_of refused Cache-Control)" = no-store ]
  check "the error page says why" grep -q '^ERROR 5: ' "$run/refused.b"
  check "the error page is plain text" bash -c '[[ "$1" == text/plain* ]]' _ "$(header_of refused Content-Type)"
  head -c 100000 /dev/zero | tr '\0' x >"$run/big-body"
  fetch big "$base/cgi-bin/swatch/4/4" --data-binary "@$run/big-body"
  check "a body of 100 kB is refused with 413" [ "$(status_of big)" = 413 ]
  # Chunked bodies come without a length: each is passed on whole or
  # refused, never dropped.
  local chunked=(-H "Transfer-Encoding: chunked")
  fetch chunked-small "$base/cgi-bin/swatch/30/10" "${chunked[@]}" --data-binary 'LineType=Hatch&HatchType=3&Color=00FF00'
  if [ "$chunked_bodies" = refused ]; then
    check "a small chunked body is refused with 413" [ "$(status_of chunked-small)" = 413 ]
  else
    check "a small chunked body is passed on" cmp -s "$run/chunked-small.b" "$run/expected-post"
    fetch chunked-32k "$base/cgi-bin/swatch/30/10" "${chunked[@]}" --data-binary "@$run/form32"
    check "a chunked body of 32 KiB is passed on" cmp -s "$run/chunked-32k.b" "$run/expected-post32"
  fi
  fetch chunked-big "$base/cgi-bin/swatch/4/4" "${chunked[@]}" --data-binary "@$run/big-body"
  check "a chunked body of 100 kB is refused with 413" [ "$(status_of chunked-big)" = 413 ]
  check "the server does not announce its version" \
    bash -c '! grep -qi "^Server:.*[0-9]" "$1"' _ "$run/get.h"
  if [ -n "${DEPLOY_BENCH_SECONDS:-}" ]; then
    local swatch_rps static_rps
    swatch_rps=$(wrk -t1 -c2 -d"${DEPLOY_BENCH_SECONDS}s" "$base/cgi-bin/swatch/50/50?LineType=Hatch&HatchType=5" |
                 awk '/Requests\/sec/ { print $2 }')
    static_rps=$(wrk -t1 -c2 -d"${DEPLOY_BENCH_SECONDS}s" "$base/designer.css" | awk '/Requests\/sec/ { print $2 }')
    printf 'bench: %-22s swatch %9s requests/s, static file %9s requests/s (%s)\n' "$server" \
      "$swatch_rps" "$static_rps" "$(awk -v a="$swatch_rps" -v b="$static_rps" 'BEGIN { printf "%.3fx", a / b }')"
  fi
}

# Four clients that send a 64 KiB body at 600 bytes/s and four that read a
# large swatch at 16 KB/s, for a few seconds; a GET beside them must be
# answered within a second.
slow_clients() { # PORT SECONDS
  python3 - "$@" <<'PY' &
import socket, sys, threading, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
large = "/cgi-bin/swatch/3000/3000?LineType=Hatch&HatchType=5&HatchSpacing=2&LineStyle=x%20xx%20%20"
def trickle():
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"POST /cgi-bin/swatch/8/8 HTTP/1.1\r\nHost: localhost\r\n"
              b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 65536\r\n\r\n")
    for _ in range(65536 // 6):
        s.sendall(b"a" * 6)
        time.sleep(0.01)
def slow_read():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    s.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % large).encode())
    while s.recv(1600):
        time.sleep(0.1)
def guarded(fn):
    try:
        fn()
    except OSError:
        pass
for fn in [trickle] * 4 + [slow_read] * 4:
    threading.Thread(target=guarded, args=(fn,), daemon=True).start()
time.sleep(seconds)
PY
}
slow_client_checks() { # BASE-URL PORT
  slow_clients "$2" 4
  local slow=$!
  sleep 1.5
  local seconds
  seconds=$(curl -s -m 10 -o "$run/beside-slow.b" -w '%{time_total}' "$1/cgi-bin/swatch/16/16/0/0/255")
  echo "$server: a GET beside 4 slow bodies and 4 slow readers took $seconds s"
  check "a GET beside slow clients is answered within 1 s" \
    awk -v t="$seconds" 'BEGIN { exit !(t > 0 && t < 1) }'
  wait "$slow"
}

# The workers are known by their supervisor's process id, which spawn-fcgi
# reports: never by a name another test's processes could share.
supervisor=
start_workers() { # COUNT: the FastCGI workers on $run/swatch.sock, as the deploy files start them
  rm -f "$run/swatch.sock"
  supervisor=$(spawn-fcgi -s "$run/swatch.sock" -M 0666 -- /usr/bin/multiwatch -f "$1" -- "$run/cgi-bin/swatch" |
               sed -n 's/.*PID: *\([0-9]*\).*/\1/p')
  for _ in $(seq 1 50); do [ "$(pgrep -c -P "$supervisor")" -ge "$1" ] && break; sleep 0.1; done
}
stop_workers() { # the supervisor stops its workers on SIGTERM
  [ -n "$supervisor" ] || return 0
  local workers
  workers=$(pgrep -P "$supervisor" | tr '\n' ' ')
  kill "$supervisor" 2>/dev/null
  for _ in $(seq 1 50); do kill -0 "$supervisor" $workers 2>/dev/null || break; sleep 0.1; done
  kill -9 "$supervisor" $workers 2>/dev/null || true
  supervisor=
}
all_answered() { # URL COUNT: every one of COUNT requests gets 200
  local bad=0
  for _ in $(seq 1 "$2"); do
    [ "$(curl -s -m 10 -o /dev/null -w '%{http_code}' "$1")" = 200 ] || bad=$((bad + 1))
  done
  [ "$bad" -eq 0 ]
}
worker_checks() { # BASE-URL: a worker that ends is replaced
  local url="$1/cgi-bin/swatch/8/8/0/0/255"
  kill -9 "$(pgrep -n -P "$supervisor")"
  check "after a worker is killed, requests are answered" all_answered "$url" 20
  # A PARAMS record whose lengths add up past 2 GiB: the worker drops that
  # connection and goes on.
  python3 - "$run/swatch.sock" <<'PY'
import socket, sys
pair = bytes([0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0]) + b"REQUEST"
records = bytes([1, 1, 0, 1, 0, 8, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0]) + \
          bytes([1, 4, 0, 1, 0, len(pair), 0, 0]) + pair
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(records)
s.settimeout(5)
try:
    s.recv(100)
except OSError:
    pass
PY
  check "after a hostile record, requests are answered" all_answered "$url" 20
}
served_program=$run/cgi-bin/swatch
deploy_file() { # FILE (in deploy/, or a path) PORT [CACHE-PORT]
  local file=$1
  [ "${file#/}" = "$file" ] && file=$src/deploy/$file
  sed -e "s|/usr/lib/cgi-bin/swatch|$served_program|g" -e "s|/run/swatch.sock|$run/swatch.sock|g" \
      -e "s|/usr/share/swatch|$src/web|g" -e "s|/var/cache/nginx/swatch|$run/cache|g" \
      -e "s|listen 8080;|listen 127.0.0.1:$2;|" -e "s|127.0.0.1:8080|127.0.0.1:$2|" \
      -e "s|listen 80;|listen 127.0.0.1:${3:-0};|" "$file"
}

# --- lighttpd, as scripts/serve runs it.
for mode in cgi fastcgi; do
  server="lighttpd $mode"
  port=$(free_port)
  SWATCH_BIN=$swatch "$src/scripts/serve" --port "$port" --mode "$mode" >"$run/serve-$mode.log" 2>&1 &
  pids+=($!)
  if wait_port "$port"; then
    http_checks "http://127.0.0.1:$port"
    slow_client_checks "http://127.0.0.1:$port" "$port"
  else
    check "starts" false; cat "$run/serve-$mode.log"
  fi
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null
done

# --- Apache: CGI through mod_cgid, FastCGI through mod_proxy_fcgi.
apache_conf() { # PORT DEPLOY-FILE MODULES...
  local port=$1 file=$2; shift 2
  {
    echo "ServerName localhost"
    echo "Listen 127.0.0.1:$port"
    echo "PidFile $run/apache.pid"
    echo "ErrorLog $run/apache-error.log"
    echo "User www-data"
    # Two processes of 16 threads, enough for the slow clients and one more.
    echo "StartServers 2"
    echo "ServerLimit 2"
    echo "ThreadsPerChild 16"
    echo "MaxRequestWorkers 32"
    echo "Group www-data"
    # The server's own choice, as Debian's security.conf lets an
    # administrator make it: the deploy files leave it alone.
    echo "ServerTokens Prod"
    echo "DocumentRoot $src/web"
    for module in mpm_event authz_core alias env mime "$@"; do
      echo "LoadModule ${module}_module /usr/lib/apache2/modules/mod_$module.so"
    done
    echo "TypesConfig $run/mime.types"
    echo "<IfModule cgid_module>"
    echo "ScriptSock $run/cgid.sock"
    echo "</IfModule>"
    deploy_file "$file" "$port"
  } >"$run/apache.conf"
}
for variant in cgi fastcgi; do
  server="apache $variant"
  port=$(free_port)
  if [ "$variant" = cgi ]; then
    apache_conf "$port" apache-cgi.conf cgid rewrite
    chunked_bodies=refused
  else
    chunked_bodies=passed
    apache_conf "$port" apache-fastcgi.conf proxy proxy_fcgi setenvif rewrite reqtimeout
    start_workers 4
  fi
  /usr/sbin/apache2 -f "$run/apache.conf" -DFOREGROUND &
  pids+=($!)
  if wait_port "$port"; then http_checks "http://127.0.0.1:$port"; else check "starts" false; cat "$run/apache-error.log"; fi
  if [ "$variant" = fastcgi ]; then
    # Many requests on kept connections: none may fail.
    bad=0
    for i in $(seq 1 200); do
      code=$(curl -s -m 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/cgi-bin/swatch/$((i % 30 + 2))/8")
      [ "$code" = 200 ] || bad=$((bad + 1))
    done
    check "200 requests on reused connections all answered" [ "$bad" -eq 0 ]
    slow_client_checks "http://127.0.0.1:$port" "$port"
    worker_checks "http://127.0.0.1:$port"
    stop_workers
  fi
  chunked_bodies=passed
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null
done

# --- The Debian package, unpacked, with the Apache configuration it carries.
if [ -n "${3:-}" ] && ! ldd "$swatch" >/dev/null 2>&1; then
  server="debian package"
  deb=$("$src/scripts/package" "$run/package" "$3" 2>"$run/package.log")
  check "is made" [ -f "$deb" ]
  if command -v lintian >/dev/null; then
    lintian "$deb" >"$run/lintian.log" 2>&1
    check "lintian reports no errors or warnings" bash -c '! grep -q "^[EW]: " "$1"' _ "$run/lintian.log"
    sed 's/^/lintian: /' "$run/lintian.log"
  else
    echo "lintian is missing (apt-get install lintian): the package is not checked with it"
  fi
  dpkg -x "$deb" "$run/pkg"
  for file in usr/lib/cgi-bin/swatch usr/share/swatch/index.html usr/share/swatch/designer.html \
              usr/share/doc/swatch/copyright usr/share/doc/swatch/THIRD-PARTY-NOTICES \
              etc/apache2/conf-available/swatch.conf; do
    check "holds /$file" [ -f "$run/pkg/$file" ]
  done
  server="apache cgi, from the package"
  served_program=$run/pkg/usr/lib/cgi-bin/swatch
  port=$(free_port)
  apache_conf "$port" "$run/pkg/etc/apache2/conf-available/swatch.conf" cgid rewrite
  chunked_bodies=refused
  /usr/sbin/apache2 -f "$run/apache.conf" -DFOREGROUND &
  pids+=($!)
  if wait_port "$port"; then http_checks "http://127.0.0.1:$port"; else check "starts" false; cat "$run/apache-error.log"; fi
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null
  chunked_bodies=passed
  served_program=$run/cgi-bin/swatch

  # Installed, removed and purged as a person would, in an overlay root.
  server="debian package, installed"
  if unshare --mount --net --pid --fork true 2>/dev/null; then
    "$src/tests/package_install.sh" "$deb" "$run/overlay" >"$run/package-install.log" 2>&1
    while read -r result name; do
      check "$name" [ "$result" = "PASS:" ]
    done < <(grep -E '^(PASS|FAIL): ' "$run/package-install.log")
    check "every install check ran" [ "$(grep -cE '^(PASS|FAIL): ' "$run/package-install.log")" -ge 20 ]
  else
    echo "no namespaces here (not root?): the package is not installed and removed"
  fi
fi

# --- nginx: FastCGI on kept connections, and a caching proxy in front.
server="nginx fastcgi"
port=$(free_port)
cache_port=$(free_port)
cp /etc/nginx/fastcgi_params "$run/"
{
  echo "daemon off; user root; worker_processes 1; pid $run/nginx.pid; error_log $run/nginx-error.log;"
  echo "events {}"
  echo "http { access_log off; include nginx-mime.types;"
  for temp in client_body fastcgi proxy uwsgi scgi; do echo "${temp}_temp_path $run/tmp-$temp;"; done
  deploy_file nginx-fastcgi.conf "$port"
  deploy_file nginx-cache.conf "$port" "$cache_port"
  echo "}"
} >"$run/nginx.conf"
start_workers 2
/usr/sbin/nginx -p "$run" -c "$run/nginx.conf" &
pids+=($!)
if wait_port "$port" && wait_port "$cache_port"; then
  http_checks "http://127.0.0.1:$port"
  # Four large swatches at once with small ones among them, on the two
  # workers the file starts: every one is answered (no 504 from requests
  # left waiting behind kept connections).
  fetches=()
  for i in 1 2 3 4; do
    curl -s -m 60 -o /dev/null -w '%{http_code} %{time_total}\n' \
      "http://127.0.0.1:$port/cgi-bin/swatch/6000/6000/$i/0/0?LineType=Hatch&HatchType=5" >"$run/large-$i" &
    fetches+=($!)
    curl -s -m 60 -o /dev/null -w '%{http_code} %{time_total}\n' \
      "http://127.0.0.1:$port/cgi-bin/swatch/16/16/$i/0/0" >"$run/small-$i" &
    fetches+=($!)
  done
  wait "${fetches[@]}"
  check "four large swatches and small ones beside them are all answered" \
    bash -c 'for f in "$@"; do read -r code _ <"$f"; [ "$code" = 200 ] || exit 1; done' _ "$run"/large-* "$run"/small-*
  echo "nginx: 4 large and 4 small swatches at once: $(cat "$run"/large-* "$run"/small-* | awk '{ if ($2 > t) t = $2 } END { print t }') s for the slowest"
  # After them, on nginx's kept connections, an idle worker is back under
  # 2 MiB (each held 3.4 MiB, kept for the next request, until it idled).
  largest_idle() { for pid in $(pgrep -P "$supervisor"); do awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; done | sort -n | tail -1; }
  # (Not under AddressSanitizer, which keeps freed memory in its quarantine.)
  if [ -z "${SWATCH_SANITIZED:-}" ]; then
    for _ in $(seq 1 30); do [ "$(largest_idle)" -lt 2048 ] && break; sleep 0.1; done
    check "idle workers are back under 2 MiB after large swatches ($(largest_idle) KiB)" [ "$(largest_idle)" -lt 2048 ]
  fi
  slow_client_checks "http://127.0.0.1:$port" "$port"
  worker_checks "http://127.0.0.1:$port"
  server="nginx cache in front"
  http_checks "http://127.0.0.1:$cache_port"
  url="http://127.0.0.1:$cache_port/cgi-bin/swatch/12/12/0/0/255"
  fetch first "$url"; fetch second "$url"
  check "a swatch is fetched once" [ "$(header_of first X-Cache-Status)" = MISS ]
  check "and then answered from the cache" [ "$(header_of second X-Cache-Status)" = HIT ]
  check "with the same bytes" cmp -s "$run/first.b" "$run/second.b"
  fetch error1 "http://127.0.0.1:$cache_port/cgi-bin/swatch/9000/9000"
  fetch error2 "http://127.0.0.1:$cache_port/cgi-bin/swatch/9000/9000"
  check "an error page is never answered from the cache" [ "$(header_of error2 X-Cache-Status)" != HIT ]
  check "and still says 400" [ "$(status_of error2)" = 400 ]
else
  check "starts" false; cat "$run/nginx-error.log"
fi
stop_workers

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
