#!/usr/bin/env bash
# One CGI hit of the echo example, run the way a web server runs it
# (environment and standard input, no server), against the floor of a minimal
# C program printing a fixed page. Prints hyperfine's table; the ratio of the
# two means is the figure to watch.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target echo min_cgi >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/bin/echo" "$build/bin/min_cgi" "$work/"

# A GET hit: the form fields come in the query string, standard input is empty.
export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
  QUERY_STRING='name=Ada&topic=engines' REMOTE_ADDR=127.0.0.1 SCRIPT_NAME=/cgi-bin/echo
hyperfine -N --warmup 50 --runs "${RUNS:-2000}" --export-json "$work/result.json" \
  "$work/min_cgi" "$work/echo"
python3 - "$work/result.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print("echo / minimal C: %.2fx" % (r[1]["mean"] / r[0]["mean"]))
PY
