#!/usr/bin/env bash
# A SIGTERM that reaches vesk-run while it is still starting (here: publishing a file) stops it
# cleanly, with status 0, once it can; it does not end the process by the signal.
set -euo pipefail
run="$1"; handlers="$2"
export VESK_HANDLER_PATH="$handlers"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
(yes river || true) | head -n 300000 >"$dir/words.txt"
"$run" --handler examples.counting.KeyCounter --embedded-kafka 1 --produce "$dir/words.txt" --state-dir "$dir/state" \
  2>"$dir/run.log" &
pid=$!
for _ in $(seq 600); do grep -q "Embedded Kafka at" "$dir/run.log" && break; sleep 0.05; done
kill -TERM "$pid"
status=0; wait "$pid" || status=$?
if [ "$status" -ne 0 ] || ! grep -q "Signal 15 received, stopping" "$dir/run.log"; then
  echo "FAIL: SIGTERM during start-up gave status $status"; cat "$dir/run.log"; exit 1
fi
echo "vesk-run: stopped cleanly by a SIGTERM during start-up"
