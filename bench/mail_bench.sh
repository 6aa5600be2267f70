#!/usr/bin/env bash
# Mail delivery figures, each beside a standard tool doing the same job:
#  1. mails per second to postfix's smtp-sink on loopback: our client sending
#     one mail per process (as the program does per hit) and many mails in one
#     process, against swaks sending the same mail, one process per mail;
#  2. base64 attachment encoding throughput against coreutils base64 -w 60 on
#     the same file.
# Needs postfix (smtp-sink), swaks and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target mail_send >/dev/null
send="$(pwd)/$build/bin/mail_send"

work=$(mktemp -d)
sink_pid=
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# smtp-sink on a free loopback port.
port=$(free_port)
start_smtp_sink "$port"

head -c 3000 /dev/urandom > "$work/attach.bin"
runs=${RUNS:-300}
hyperfine -N --warmup 20 --runs "$runs" --export-json "$work/mail.json" \
  "$send send $port 1 $work/attach.bin" \
  "swaks --silent 2 --server 127.0.0.1:$port --from bench@example.org --to sink@example.org \
--header 'Subject: Quote' --body 'The only way to do great work is to love what you do.' \
--attach @$work/attach.bin"
inprocess=$("$send" send "$port" "${MAILS:-2000}" "$work/attach.bin")

head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/big.bin"
hyperfine -N --warmup 2 --runs "${B64_RUNS:-10}" --export-json "$work/b64.json" \
  "$send base64 $work/big.bin" "base64 -w 60 $work/big.bin" --output=null

/usr/bin/python3 - "$work/mail.json" "$work/b64.json" "$inprocess" <<'PY'
import json, sys
mail = json.load(open(sys.argv[1]))["results"]
b64 = json.load(open(sys.argv[2]))["results"]
ours, swaks = mail[0]["mean"], mail[1]["mean"]
print("mails/s, one process per mail: ours %.0f, swaks %.0f, ratio %.1fx" % (1/ours, 1/swaks, swaks/ours))
print("mails/s, one process, many mails: ours %s" % sys.argv[3])
mb = 64.0
print("base64 MB/s: ours %.0f, coreutils %.0f, ratio ours/coreutils %.2f"
      % (mb / b64[0]["mean"], mb / b64[1]["mean"], b64[1]["mean"] / b64[0]["mean"]))
PY
