#!/usr/bin/env bash
# Form fields, beside the multipart figures.
#
# Look-ups: a CGI program that reads every field of a url-encoded post by name
# (form_lookup.cpp, each name of GetFieldNames once through GetField), run the
# way a web server runs it, beside Python's urllib.parse and Node's
# URLSearchParams doing the same; a dd copy of the body is the floor, and each
# time is given as a ratio to it.
#
# Memory: the same program on one large text field, url-encoded and multipart;
# its peak resident size is given as a ratio to the field's size.
#
#   bench/form_fields_bench.sh [BUILD_DIR]     (default: build)
#
# Each figure is the best of $RUNS runs (default 3); MB are 10^6 bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
program="$build/bin/form_lookup"
python=/usr/bin/python3
runs=${RUNS:-3}
work=${BENCH_DIR:-$(mktemp -d /tmp/pithorama-fields-bench.XXXXXX)}
boundary="----BenchBoundary7MA4YWxkTrZu0gW"
text_size=${TEXT_SIZE:-$((128 << 20))}

[[ -x $program ]] || { echo "build $program first" >&2; exit 1; }
mkdir -p "$work/out"
trap 'rm -rf "$work"' EXIT
source "$here/run_figures.sh"

# dd copy of the body to a file, as "seconds bytes parts".
copy='start=$(date +%s.%N); dd if="$1" of="$2/copy" bs=64K status=none; end=$(date +%s.%N)
echo "$(awk "BEGIN{print $end - $start}") $(stat -c %s "$1") -"'

# One CGI start of the program on a body, as "seconds bytes fields".
cgi='start=$(date +%s.%N)
answer=$(SERVER_SOFTWARE=lighttpd/1.4.69 REQUEST_METHOD=POST CGI_LOG_DIR="$3" \
  CONTENT_TYPE="$4" CONTENT_LENGTH=$(stat -c %s "$2") "$1" <"$2")
end=$(date +%s.%N)
fields=${answer##*<p>}
echo "$(awk "BEGIN{print $end - $start}") $(stat -c %s "$2") ${fields%% *}"'

# The last run's time as a ratio to the floor's.
vs_floor() { awk -v a="$RUN_SECONDS" -v b="$floor" 'BEGIN { printf "  %-18s %9.1fx the dd copy\n", "", a / b }'; }

lookups() {
  local count=$1 body="$work/fields.body"
  "$python" "$here/multipart/form_body.py" "$body" fields "$count"
  echo "$count url-encoded fields ($(stat -c %s "$body") bytes)"
  cat "$body" >/dev/null
  run "dd copy" bash -c "$copy" copy "$body" "$work/out"
  floor=$RUN_SECONDS
  run "pithorama" bash -c "$cgi" cgi "$program" "$body" "$work/out" application/x-www-form-urlencoded
  vs_floor
  run "python urllib" "$python" "$here/multipart/python_fields.py" "$body"
  vs_floor
  run "node URLSearchParams" node "$here/multipart/node_fields.js" "$body"
  vs_floor
  rm -f "$body"
}

memory() {
  local kind=$1 type=$2 body="$work/text.body"
  "$python" "$here/multipart/form_body.py" "$body" "$kind" "$text_size" "$boundary"
  echo "One text field of $text_size bytes, $kind ($(stat -c %s "$body") bytes)"
  run "pithorama" bash -c "$cgi" cgi "$program" "$body" "$work/out" "$type"
  echo "  peak resident / field size: $(awk -v r="$RUN_RSS_KB" -v s="$text_size" \
    'BEGIN{printf "%.2f", r * 1024 / s}')x"
  rm -f "$body"
}

for count in ${FIELD_COUNTS:-30000 100000 1000000}; do lookups "$count"; done
memory urltext application/x-www-form-urlencoded
memory multitext "multipart/form-data; boundary=$boundary"
