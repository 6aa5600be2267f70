#!/usr/bin/env bash
# A hit of the resident echo server against the same hit of echo in
# NormalMode, through lighttpd, sequential and with 8 clients at once: median
# and 99th-percentile latency from wrk, and their ratios. SECONDS_EACH sets the
# length of each of the four measurements (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target echo resident_echo >/dev/null
python3 bench/resident_bench.py "$build/bin" "${SECONDS_EACH:-10}"
