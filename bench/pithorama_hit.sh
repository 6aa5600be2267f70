#!/usr/bin/env bash
# One whole hit of pithorama as a CGI program (environment and standard input,
# no web server), with its mail going to postfix's smtp-sink on loopback,
# against the floor of a minimal C program printing a fixed page. Then where
# the time of one hit goes: system calls by count and time.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
build=${BUILD_DIR:-build-bench-hit}

sink_pid=
work=$(mktemp -d)
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port=$(free_port)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DPITHORAMA_SMTP_HOST=127.0.0.1 -DPITHORAMA_SMTP_PORT="$port" >/dev/null
cmake --build "$build" -j2 --target pithorama min_cgi >/dev/null

start_smtp_sink "$port"

cp "$build/bin/pithorama" "$build/bin/thankyou.html" "$build/bin/QUOTES.DTA" "$build/bin/min_cgi" "$work/"
export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
  REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/ SCRIPT_NAME=/cgi-bin/pithorama
"$work/pithorama" >/dev/null  # builds QUOTENDX.DTA once, as the first hit does
hyperfine -N --warmup 20 --runs "${RUNS:-500}" --export-json "$work/hit.json" \
  "$work/min_cgi" "$work/pithorama"
/usr/bin/python3 - "$work/hit.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print("pithorama hit / minimal C: %.2fx (%.2f ms / %.2f ms)"
      % (r[1]["mean"] / r[0]["mean"], r[1]["mean"] * 1e3, r[0]["mean"] * 1e3))
PY
if command -v strace >/dev/null; then
  echo "System calls of one hit:"
  strace -c -o "$work/strace.txt" "$work/pithorama" >/dev/null
  sed -n '1,25p' "$work/strace.txt"
fi
wc -l < "$work/quote.log" | xargs echo "log lines written:"
