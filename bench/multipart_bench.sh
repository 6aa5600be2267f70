#!/usr/bin/env bash
# Multipart decoding throughput and peak memory: the library's decoder beside
# busboy (Node.js) and python-multipart (Debian's python3-multipart), on the
# same bodies, each writing its uploads to the same disk; a dd copy of each
# body to a file on that disk is the floor.
#
#   bench/multipart_bench.sh [BUILD_DIR]     (default: build)
#
# Bodies: 1 GiB holding one file, and 64 MiB holding 100,000 small fields.
# They are made in $BENCH_DIR (default: a folder under /tmp) and removed at
# the end. Each figure is the best of $RUNS runs (default 3); MB are 10^6 bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
decoder="$build/bin/multipart_decode"
python=/usr/bin/python3
runs=${RUNS:-3}
work=${BENCH_DIR:-$(mktemp -d /tmp/pithorama-multipart-bench.XXXXXX)}
boundary="----BenchBoundary7MA4YWxkTrZu0gW"

[[ -x $decoder ]] || { echo "build $decoder first" >&2; exit 1; }
[[ -d $here/multipart/node_modules/busboy ]] || (cd "$here/multipart" && npm install --no-audit --no-fund >/dev/null)
"$python" -c "import multipart" || { echo "apt-get install python3-multipart" >&2; exit 1; }

mkdir -p "$work/out"
trap 'rm -rf "$work"' EXIT
df -h "$work" | tail -1

source "$here/run_figures.sh"

# dd copy of the body to a file on the same disk, as "seconds bytes parts".
copy='start=$(date +%s.%N); dd if="$1" of="$2/copy" bs=64K status=none; end=$(date +%s.%N)
echo "$(awk "BEGIN{print $end - $start}") $(stat -c %s "$1") -"'

bench() {
  local title=$1 body=$2
  echo "$title ($(stat -c %s "$body") bytes)"
  cat "$body" >/dev/null  # every tool reads the body from the page cache
  run "dd copy" bash -c "$copy" copy "$body" "$work/out"
  run "pithorama" "$decoder" "$body" "$work/out"
  run "busboy" node "$here/multipart/busboy_decode.js" "$body" "$work/out" "$boundary"
  run "python-multipart" "$python" "$here/multipart/python_decode.py" "$body" "$work/out" "$boundary"
}

"$python" "$here/multipart/make_body.py" "$work/file.body" "$boundary" file $((1 << 30))
bench "One 1 GiB file" "$work/file.body"
rm -f "$work/file.body"

"$python" "$here/multipart/make_body.py" "$work/fields.body" "$boundary" fields 100000 $((64 << 20))
bench "100,000 small fields" "$work/fields.body"
