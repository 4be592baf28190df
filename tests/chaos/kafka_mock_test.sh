#!/usr/bin/env bash
# vesk-kafka-mock --port: the address it prints takes a vesk-run host into the group (through the
# relay to the broker), and SIGTERM ends the cluster with status 0.
set -euo pipefail
mock="$1"; run="$2"; handlers="$3"
dir="$(mktemp -d)"; trap 'kill "$mock_pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; cat "$dir"/*.log "$dir/address" 2>/dev/null || true; exit 1; }
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$mock" --partitions 2 --topic relayed --port "$port" >"$dir/address" 2>"$dir/mock.log" &
mock_pid=$!
for _ in $(seq 200); do [ -s "$dir/address" ] && break; sleep 0.05; done
[ "$(cat "$dir/address")" = "127.0.0.1:$port" ] || fail "printed '$(cat "$dir/address")', not 127.0.0.1:$port"
KAFKA_BOOTSTRAP_SERVERS="127.0.0.1:$port" KAFKA_TOPIC=relayed KAFKA_GROUP_ID=g VESK_HANDLER_PATH="$handlers" \
  "$run" --handler examples.counting.KeyCounter --state-dir "$dir/state" --run-for 8 \
  --kafka-property session.timeout.ms=6000 2>"$dir/run.log" || fail "vesk-run failed"
grep -q "Partitions assigned: 2" "$dir/run.log" || fail "vesk-run was not assigned both partitions"
kill -TERM "$mock_pid"
status=0; wait "$mock_pid" || status=$?
[ "$status" -eq 0 ] || fail "vesk-kafka-mock ended with status $status on SIGTERM"
echo "vesk-kafka-mock: relayed a host into the group and stopped cleanly"
