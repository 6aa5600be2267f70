# Sourced by the benchmark scripts: `run NAME COMMAND...` runs a command that
# prints "seconds bytes parts" $runs times (in a fresh $work/out each time) and
# prints its best time, its throughput and its largest peak resident size;
# it leaves them in RUN_SECONDS and RUN_RSS_KB for ratios.
run() {
  local name=$1; shift
  local best="" rss=0 parts=""
  for ((i = 0; i < runs; i++)); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    local line
    line=$(/usr/bin/time -f "%M" -o "$work/rss" "$@")
    local seconds bytes
    read -r seconds bytes parts <<<"$line"
    local kb; kb=$(tail -1 "$work/rss")
    (( kb > rss )) && rss=$kb
    if [[ -z $best ]] || awk "BEGIN{exit !($seconds < $best)}"; then best=$seconds; fi
  done
  RUN_SECONDS=$best RUN_RSS_KB=$rss
  awk -v n="$name" -v s="$best" -v b="$bytes" -v r="$rss" -v p="$parts" \
    'BEGIN { printf "  %-18s %9.0f MB/s %8.3f s %8.1f MB peak  %s parts\n", n, b / s / 1e6, s, r / 1024, p }'
}

