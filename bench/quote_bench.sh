#!/usr/bin/env bash
# Quote pick and index build on a large QUOTES.DTA made from the fortune files
# that Debian's fortune packages ship, side by side with strfile and fortune on
# the same quotes, against the floor of a minimal C program printing a fixed
# text. Prints hyperfine's tables and the ratios of the medians (a shared
# machine's outliers pull the means about).
#
#   bench/quote_bench.sh        (needs: fortune-mod, fortunes, hyperfine, python3; strace optional)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
runs=${RUNS:-1000}
fortunes=${FORTUNE_DIR:-/usr/share/games/fortunes}
fortune_bin=$(command -v fortune || echo /usr/games/fortune)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target mkquotes quote min_cgi >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/bin/quote" "$build/bin/min_cgi" "$work/"

# The same quotes both ways: every plain fortune file (no .dat, no .u8) joined
# into one fortune file for strfile and fortune, and converted into QUOTES.DTA.
mapfile -t sources < <(find -L "$fortunes" -maxdepth 1 -type f ! -name '*.*' | sort)
for f in "${sources[@]}"; do
  cat "$f"
  [ -z "$(tail -c 1 "$f")" ] || echo
  echo %
done >"$work/all"
strfile -s "$work/all" "$work/all.dat"
"$build/bin/mkquotes" -o "$work/QUOTES.DTA" "$work/all"
data_bytes=$(stat -c %s "$work/QUOTES.DTA")
echo "fortune files: ${#sources[@]}; QUOTES.DTA: $data_bytes bytes; fortune text: $(stat -c %s "$work/all") bytes"

# Picks: each run is a whole process that prints one quote.
"$work/quote" "$work" >/dev/null  # builds the index once
hyperfine -N --warmup 50 --runs "$runs" --export-json "$work/pick.json" \
  "$work/min_cgi" "$work/quote $work" "$fortune_bin $work/all" "$fortune_bin"

# Index build: ours builds QUOTENDX.DTA on the pick that finds it missing.
hyperfine -N --warmup 5 --runs "$((runs / 10 + 10))" --export-json "$work/build.json" \
  --prepare "rm -f $work/QUOTENDX.DTA" "$work/quote $work" \
  --prepare "rm -f $work/all.dat" "strfile -s $work/all $work/all.dat"

python3 - "$work/pick.json" "$work/build.json" "$data_bytes" <<'PY'
import json, sys
pick = json.load(open(sys.argv[1]))["results"]
build = json.load(open(sys.argv[2]))["results"]
size = int(sys.argv[3])
floor = pick[0]["median"]
cpu = lambda r: r["user"] + r["system"]
names = ["minimal C", "quote (one QUOTES.DTA)", "fortune (same quotes, one file)", "fortune (all Debian files)"]
print("\npicks per second, whole process, and cost against the minimal C program")
print("(wall-clock median, and processor time user + system, which a busy machine disturbs less):")
for name, r in zip(names, pick):
    print("  %-34s %8.0f/s  %5.2fx   cpu %5.2fx" % (name, 1 / r["median"], r["median"] / floor,
                                                 cpu(r) / cpu(pick[0])))
print("  quote / fortune on the same quotes: %.2fx, cpu %.2fx" % (
    pick[1]["median"] / pick[2]["median"], cpu(pick[1]) / cpu(pick[2])))
ours, theirs = build[0]["median"], build[1]["median"]
print("\nindex build, whole process (%d bytes of quotes):" % size)
print("  quote (build + one pick) %7.2f ms  %6.0f MB/s" % (ours * 1e3, size / ours / 1e6))
print("  strfile                  %7.2f ms  %6.0f MB/s" % (theirs * 1e3, size / theirs / 1e6))
print("  time ratio quote / strfile: %.2fx" % (ours / theirs))
print("  beyond the process floor: %.2fx" % ((ours - floor) / max(theirs - floor, 1e-9)))
print("  processor time ratio: %.2fx" % (cpu(build[0]) / cpu(build[1])))
PY

# What one pick reads: after the index is opened, one seek and one 4-byte read
# in it, then one seek and the reads of the chosen quote only.
if command -v strace >/dev/null; then
  echo -e "\nsystem calls of one pick after the files are opened:"
  strace -e trace=openat,lseek,read,pread64 "$work/quote" "$work" 2>&1 >/dev/null |
    sed -n '/QUOTENDX.DTA/,$p' | sed 's/\(read([0-9]*, "\).\{0,20\}[^"]*"/\1..."/'
fi
