#!/usr/bin/env bash
# vesk-run with a Python handler path: the word counter's state files, read back by Python's own
# pickle, equal an independent count of the text; a class that cannot be loaded is one clear line.
set -euo pipefail
run="$1"; handlers="$2"; python="$3"; pythonpath="$4"; text="$5"
export VESK_HANDLER_PATH="$handlers" PYTHONPATH="$pythonpath"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$dir"/*.log >&2 || true; exit 1; }

"$run" --handler py:vesk_examples.word_counter.WordCounter --embedded-kafka 2 --produce "$text" \
  --state-dir "$dir/state" --checkpoint-interval 0.5 --run-for 12 2>"$dir/run.log" || fail "vesk-run failed"
"$python" - "$dir/state" "$text" <<'PY' || fail "the stored counts differ from an independent count"
import collections, glob, pickle, re, sys
counts = {}
for path in glob.glob(sys.argv[1] + "/p-*.state.pkl"):
    with open(path, "rb") as f:
        counts.update(pickle.load(f)["state"])
expected = collections.Counter(re.findall(r"[a-z0-9]+", open(sys.argv[2]).read().lower()))
assert counts == dict(expected), (len(counts), len(expected))
PY

if "$run" --handler py:no_such_module.Counter --embedded-kafka 1 2>"$dir/bad.log"; then fail "a missing module was accepted"; fi
grep -q "ModuleNotFoundError: No module named 'no_such_module'" "$dir/bad.log" || fail "no clear error for a missing module"
echo ok
