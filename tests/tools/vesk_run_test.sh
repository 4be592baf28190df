#!/usr/bin/env bash
# vesk-run on the embedded defaults: counts equal an independent count of the text; SIGTERM stops
# it cleanly; after SIGKILL a new run resumes from the stored offsets; no worker outlives it.
set -euo pipefail
run="$1"; state_tool="$2"; handlers="$3"; text="$4"
export VESK_HANDLER_PATH="$handlers"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$dir"/*.log >&2 || true; exit 1; }

counts() {
  python3 - "$state_tool" "$dir/state" <<'PY'
import json, subprocess, sys, glob
tool, d = sys.argv[1], sys.argv[2]
counts = {}
for p in sorted(glob.glob(d + "/p-*.state.pkl")):
    counts.update(json.loads(subprocess.run([tool, "dump", p], check=True, capture_output=True, text=True).stdout)["state"])
print(json.dumps(counts, sort_keys=True))
PY
}
expected="$(python3 -c '
import json, re, sys, collections
print(json.dumps(collections.Counter(re.findall(r"[a-z0-9]+", open(sys.argv[1]).read().lower())), sort_keys=True))' "$text")"

# The worker processes of one vesk-run, taken while it runs: other tests may run workers of the
# same handler at the same time, so only these are looked for once it has ended.
workers_of() { pgrep -f "vesk_worker_host" -P "$1" 2>/dev/null || true; }
any_alive() {  # true while one of these pids is still a worker process
  for w in "$@"; do grep -qa vesk_worker_host "/proc/$w/cmdline" 2>/dev/null && return 0; done; return 1
}
# Workers notice a killed parent by themselves; on a loaded machine that may take a few seconds.
gone_within() {  # seconds, then pids
  local deadline=$((SECONDS + $1)); shift
  while any_alive "$@"; do [ "$SECONDS" -lt "$deadline" ] || return 1; sleep 0.2; done
}

# 1. Run for a while, then SIGTERM: clean exit and exact counts.
"$run" --handler examples.counting.KeyCounter --embedded-kafka 2 --produce "$text" --state-dir "$dir/state" \
  --checkpoint-interval 0.5 2>"$dir/run1.log" &
pid=$!
sleep 7
workers="$(workers_of "$pid")"
[ -n "$workers" ] || fail "no worker process found"
kill -TERM "$pid"
wait "$pid" || fail "vesk-run did not exit cleanly on SIGTERM"
grep -q "Stopped" "$dir/run1.log" || fail "no 'Stopped' line"
[ "$(counts)" = "$expected" ] || fail "counts differ from an independent count"
# shellcheck disable=SC2086
any_alive $workers && fail "a worker outlived vesk-run"

# 2. Bad configuration: one line, non-zero exit.
if "$run" --handler examples.counting.KeyCounter --workers 0 2>"$dir/bad.log"; then fail "--workers 0 accepted"; fi
[ "$(wc -l <"$dir/bad.log")" -eq 1 ] || fail "configuration error is not one line"
if "$run" --handler no.such.Handler --embedded-kafka 1 2>"$dir/bad2.log"; then fail "unknown handler accepted"; fi

# 3. SIGKILL, then a new run on the same state directory resumes from the stored offsets.
"$run" --handler examples.counting.KeyCounter --embedded-kafka 2 --produce "$text" --state-dir "$dir/state2" \
  --checkpoint-interval 0.5 2>"$dir/run2.log" &
pid=$!
sleep 7
workers="$(workers_of "$pid")"
kill -KILL "$pid"; wait "$pid" 2>/dev/null || true
# shellcheck disable=SC2086
gone_within 15 $workers || fail "a worker outlived a killed vesk-run"
"$run" --handler examples.counting.KeyCounter --embedded-kafka 2 --state-dir "$dir/state2" --run-for 5 \
  --status-interval 1 2>"$dir/run3.log" || fail "the second run failed"
grep -q "State found for partition 0, starting from offset" "$dir/run3.log" || fail "the second run did not resume"
grep -Eq "Status: 2 partitions \[[01],[01]\], [0-9.]+ messages/s, lag [^,]+, oldest checkpoint [0-9.]+ s ago" "$dir/run3.log" ||
  fail "no status line naming both partitions"

# 4. The command line: help names the environment, mistakes name the flag and the value, exit 2.
"$run" --help >"$dir/help.log" || fail "--help failed"
grep -q "KAFKA_BOOTSTRAP_SERVERS" "$dir/help.log" && grep -q -- "--until-caught-up" "$dir/help.log" || fail "help lacks the environment or a flag"
"$run" --version | grep -q "^vesk-run 0\." || fail "--version"
expect_usage() {  # expected text, then the arguments
  local says="$1"; shift
  local status=0
  "$run" "$@" 2>"$dir/usage.log" || status=$?
  [ "$status" -eq 2 ] && grep -qF -- "$says" "$dir/usage.log" && [ "$(wc -l <"$dir/usage.log")" -eq 1 ] ||
    fail "vesk-run $*: status $status, $(cat "$dir/usage.log")"
}
expect_usage "unknown option '--bogus'" --handler h --bogus
expect_usage "--workers needs a value" --handler h --workers
expect_usage "--run-for needs a number of seconds above 0, got 'soon'" --handler h --run-for soon
expect_usage "--handler is required" --workers 2
expect_usage "--produce-lines needs --embedded-kafka" --handler h --produce-lines x
expect_usage "--log-level needs one of trace, debug, info, warning, error, off, got 'loud'" --handler h --log-level loud
expect_usage "--metrics-port needs a port number from 0 to 65535, got '70000'" --handler h --metrics-port 70000
expect_usage "--metrics-host needs --metrics-port" --handler h --metrics-host 0.0.0.0
expect_usage "--kafka-property needs KEY=VALUE, got 'session.timeout.ms'" --handler h --kafka-property session.timeout.ms
expect_usage "--kafka-property no.such.property=1: No such configuration property" \
  --handler examples.counting.KeyCounter --kafka-property session.timeout.ms=6000 --kafka-property no.such.property=1
VESK_LOG_LEVEL=loud expect_usage "VESK_LOG_LEVEL needs one of" --handler examples.counting.KeyCounter
echo "vesk-run: 4 passed, 0 failed"
