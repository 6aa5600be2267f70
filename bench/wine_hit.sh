#!/usr/bin/env bash
# One CGI hit of the echo example run the way a web server runs it
# (environment and standard input, no server): the Linux program against the
# Windows program started through Wine (scripts/wine-run), once with the Wine
# session running (persistent wineserver and desktop) and once without it.
# Prints hyperfine's table and the ratios against the Linux program.
#   BUILD_DIR (build-bench)   WINDOWS_BUILD_DIR (build-bench-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
windows=${WINDOWS_BUILD_DIR:-build-bench-windows}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target echo >/dev/null
cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$windows" -j2 --target echo >/dev/null

work=$(mktemp -d)
prefix=$PWD/$windows/wine
trap 'scripts/wine-session stop "$prefix"; rm -rf "$work"' EXIT
cp "$build/bin/echo" "$windows/bin/echo.exe" "$work/"

export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
  QUERY_STRING='name=Ada&topic=engines' REMOTE_ADDR=127.0.0.1 SCRIPT_NAME=/cgi-bin/echo
wine_hit="scripts/wine-run $prefix $work/echo.exe"

scripts/wine-session stop "$prefix"
hyperfine -N --warmup 2 --runs "${COLD_RUNS:-30}" --export-json "$work/cold.json" \
  -n "echo.exe, no session" "$wine_hit"
scripts/wine-session start "$prefix"
hyperfine -N --warmup 20 --runs "${RUNS:-300}" --export-json "$work/warm.json" \
  -n "echo" "$work/echo" -n "echo.exe, session" "$wine_hit"
python3 - "$work/warm.json" "$work/cold.json" <<'PY'
import json, sys
warm = json.load(open(sys.argv[1]))["results"]
cold = json.load(open(sys.argv[2]))["results"]
native = warm[0]["mean"]
for r in warm[1:] + cold:
    print("%s / echo: %.1fx (%.1f ms against %.2f ms)" % (r["command"], r["mean"] / native,
                                                         r["mean"] * 1e3, native * 1e3))
PY
