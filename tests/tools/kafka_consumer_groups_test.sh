#!/usr/bin/env bash
# vesk-run --commit-offsets on a real broker: once the run has caught up, Kafka's own
# kafka-consumer-groups shows the group at the end of every partition, with a lag of 0.
set -euo pipefail
run="$1"; handlers="$2"; root="$3"
dir="$(mktemp -d)"
cluster_pid=""
cleanup() {
  if [ -n "$cluster_pid" ]; then kill -TERM "$cluster_pid" 2>/dev/null || true; wait "$cluster_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; tail -n 30 "$dir"/*.log >&2 || true; exit 1; }

version="$(sed -n 's:.*<kafka.version>\(.*\)</kafka.version>.*:\1:p' "$root/scripts/kafka/pom.xml")"
libs="${VESK_KAFKA_LIBS:-$root/.tools/kafka/$version/libs}"
[ -d "$libs" ] || fail "no Kafka jars in $libs: run scripts/install-deps"
kafka() { java -Xmx256m -XX:+UseSerialGC -cp "$libs/*" "$@"; }
# The console producer moved into the tools module in Kafka 4.
case "$(basename "$libs"/kafka_2.13-*.jar)" in
  kafka_2.13-[0-3].*) console_producer=kafka.tools.ConsoleProducer ;;
  *) console_producer=org.apache.kafka.tools.ConsoleProducer ;;
esac

"$root/scripts/kafka-cluster" --dir "$dir/kafka" >"$dir/cluster.out" 2>"$dir/cluster.log" &
cluster_pid=$!
for _ in $(seq 600); do grep -q '^bootstrap: ' "$dir/cluster.out" && break; sleep 0.2; done
bootstrap="$(sed -n 's/^bootstrap: //p' "$dir/cluster.out")"
[ -n "$bootstrap" ] || fail "kafka-cluster printed no address"

kafka org.apache.kafka.tools.TopicCommand --bootstrap-server "$bootstrap" --create --topic monitored \
  --partitions 3 --replication-factor 1 >"$dir/topic.log" 2>&1 || fail "topic not created"
seq 0 2999 | awk '{ printf "k%d\tv%d\n", $1 % 30, $1 }' |
  kafka "$console_producer" --bootstrap-server "$bootstrap" --topic monitored \
    --property parse.key=true --property key.separator=$'\t' >"$dir/produce.log" 2>&1 || fail "producing failed"

KAFKA_BOOTSTRAP_SERVERS="$bootstrap" KAFKA_TOPIC=monitored KAFKA_GROUP_ID=monitored VESK_HANDLER_PATH="$handlers" \
  "$run" --handler examples.counting.KeyCounter --state-dir "$dir/state" --checkpoint-interval 1 \
  --until-caught-up --commit-offsets 2>"$dir/run.log" || fail "vesk-run failed"

kafka org.apache.kafka.tools.consumer.group.ConsumerGroupCommand --bootstrap-server "$bootstrap" \
  --describe --group monitored >"$dir/describe.out" 2>"$dir/describe.log" || fail "kafka-consumer-groups failed"
# GROUP TOPIC PARTITION CURRENT-OFFSET LOG-END-OFFSET LAG ...: one row per partition.
python3 - "$dir/describe.out" <<'PY' || fail "$(cat "$dir/describe.out")"
import sys
rows = [l.split() for l in open(sys.argv[1]) if l.startswith("monitored ")]
assert len(rows) == 3, f"{len(rows)} partitions described"
assert all(r[3] == r[4] and r[5] == "0" for r in rows), "a partition's lag is not 0"
assert sum(int(r[4]) for r in rows) == 3000, "the log end offsets do not add up to 3000"
print("kafka-consumer-groups: group monitored at the end of all 3 partitions, lag 0")
PY
