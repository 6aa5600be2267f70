#!/usr/bin/env bash
# Requests per second of the echo example served in-process (echo.so through
# isapi-host) against the echo program as a CGI through lighttpd, and against
# lighttpd sending a static file of the same size as the ceiling; all with wrk,
# keep-alive, 8 connections, measured one after the other in the same run.
# Prints the three figures and the ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh  # free_port
build=${BUILD_DIR:-build-bench-isapi}
seconds=${SECONDS_PER_RUN:-10}
query='name=Ada&topic=engines'

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target echo echo_library isapi-host >/dev/null

wait_port() {
  for _ in $(seq 500); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return; sleep 0.02; done
  echo "nothing listens on $1" >&2; exit 1
}

# The in-process gateway.
mkdir -p "$work/isapi" "$work/log"
cp "$build/bin/isapi-host" "$work/isapi/"
CGI_LOG_DIR="$work/log" "$work/isapi/isapi-host" --port 0 --threads 2 \
  "$PWD/$build/lib/echo.so" >"$work/isapi.port" 2>"$work/isapi.err" &
pids+=($!)
for _ in $(seq 500); do [ -s "$work/isapi.port" ] && break; sleep 0.02; done
isapi_url="http://127.0.0.1:$(head -1 "$work/isapi.port")/echo.so?$query"

# lighttpd with the echo program as a CGI and a static file of the same size
# as the in-process answer.
mkdir -p "$work/htdocs" "$work/cgi-bin/Log"
cp "$build/bin/echo" "$work/cgi-bin/"
curl -sS "$isapi_url" -o "$work/htdocs/page.html"
lport=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.modules = ("mod_alias", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $lport
server.document-root = "$work/htdocs"
server.errorlog = "$work/lighttpd.err"
alias.url = ("/cgi-bin/" => "$work/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
wait_port "$lport"
cgi_url="http://127.0.0.1:$lport/cgi-bin/echo?$query"
static_url="http://127.0.0.1:$lport/page.html"

rate() {
  curl -sfS "$1" -o /dev/null
  wrk -t2 -c8 -d"${seconds}s" "$1" | awk '/^Requests\/sec:/ { print $2 }'
}
echo "answer size: $(stat -c %s "$work/htdocs/page.html") bytes; $seconds s each, 8 connections, keep-alive"
isapi=$(rate "$isapi_url")
cgi=$(rate "$cgi_url")
static=$(rate "$static_url")
python3 - "$isapi" "$cgi" "$static" <<'PY'
import sys
isapi, cgi, static = map(float, sys.argv[1:])
print("echo.so via isapi-host:    %10.0f requests/s" % isapi)
print("echo CGI via lighttpd:     %10.0f requests/s" % cgi)
print("static file via lighttpd:  %10.0f requests/s" % static)
print("in-process / CGI:          %10.1fx" % (isapi / cgi))
print("in-process / static file:  %10.2fx" % (isapi / static))
PY
