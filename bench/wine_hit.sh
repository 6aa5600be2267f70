#!/usr/bin/env bash
# What Wine adds to a CGI hit of the echo example: the Linux program against
# the Windows program started through scripts/wine-run, measured in the same
# run. First the process alone, run the way a web server runs it (hyperfine):
# with the Wine session up (persistent wineserver and desktop), and without it
# (each start after the last wineserver has gone). Then whole hits through
# lighttpd on a loopback port (wrk, one client at a time).
#   BUILD_DIR (build)   WINDOWS_BUILD_DIR (build-windows)   SECONDS_PER_RUN (10)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
windows=${WINDOWS_BUILD_DIR:-build-windows}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DBUILD_TESTING=OFF >/dev/null
[ -f "$windows/CMakeCache.txt" ] ||
  cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target echo >/dev/null
cmake --build "$windows" -j2 --target echo >/dev/null

work=$(mktemp -d)
prefix=$PWD/$windows/wine
trap 'scripts/wine-session stop "$prefix"; rm -rf "$work"' EXIT
cp "$build/bin/echo" "$windows/bin/echo.exe" "$work/"

(
  export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
    QUERY_STRING='name=Ada&topic=engines' REMOTE_ADDR=127.0.0.1 SCRIPT_NAME=/cgi-bin/echo
  wine_hit="scripts/wine-run $prefix $work/echo.exe"
  scripts/wine-session stop "$prefix"
  # A wineserver started by a single program ends 3 s after it.
  hyperfine -N --prepare "sleep 4" --runs "${COLD_RUNS:-10}" --export-json "$work/cold.json" \
    -n "echo.exe, no session" "$wine_hit"
  scripts/wine-session start "$prefix"
  hyperfine -N --warmup 20 --runs "${RUNS:-300}" --export-json "$work/warm.json" \
    -n "echo" "$work/echo" -n "echo.exe, session" "$wine_hit"
)
python3 - "$work/warm.json" "$work/cold.json" <<'PY'
import json, sys
warm = json.load(open(sys.argv[1]))["results"]
cold = json.load(open(sys.argv[2]))["results"]
native = warm[0]["mean"]
for r in warm[1:] + cold:
    print("%s / echo: %.1fx (%.1f ms against %.2f ms)" % (r["command"], r["mean"] / native,
                                                         r["mean"] * 1e3, native * 1e3))
PY
python3 bench/wine_hit_server.py "$work" "$prefix" "${SECONDS_PER_RUN:-10}"
