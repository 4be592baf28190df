#!/usr/bin/env bash
# Runs an example's run.sh as the README shows it (from a tree whose build/ is this build) and
# checks the states it leaves against an independent computation.
set -euo pipefail
example="$1"; build="$2"; source="$3"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
ln -s "$build" "$dir/build"
ln -s "$source/examples" "$dir/examples"
cd "$dir"
bash "examples/$example/run.sh" >"$dir/out.txt" 2>"$dir/err.txt" || { cat "$dir/err.txt" >&2; exit 1; }
grep -q "Caught up after" "$dir/err.txt" || { echo "FAIL: vesk-run did not stop by itself" >&2; exit 1; }
python3 - "$example" "$dir" "$build/tools/vesk_state/vesk-state" <<'PY'
import collections, glob, json, re, subprocess, sys
example, d, tool = sys.argv[1:]
def stored(state_dir):
    states = {}
    for path in sorted(glob.glob(f"{d}/{state_dir}/p-*.state.pkl")):
        states.update(json.loads(subprocess.run([tool, "dump", path], check=True, capture_output=True, text=True).stdout)["state"])
    return states
out = open(f"{d}/out.txt").read()
# The last thing run.sh prints is one key's state, read back with vesk-state get.
if example == "python":
    # vesk-state get, then Python's pickle.load, each print the count of "river".
    lines = out.split()
    words = re.findall(r"[a-z0-9]+", open(f"{d}/examples/texts/river.txt").read().lower())
    want, got = dict(collections.Counter(words)), stored("word-counts")
    if lines[-2:] != [str(want["river"])] * 2:
        sys.exit(f"FAIL: vesk-state get and pickle.load printed {lines[-2:]}, expected {want['river']} twice")
    if got != want:
        sys.exit(f"FAIL: stored states differ: {len(got)} keys stored, {len(want)} expected")
    print(f"example python: {len(got)} keys, all as expected")
    sys.exit(0)
printed = json.loads(out[out.rindex("\n{") + 1:] if "\n{" in out else out[out.index("{"):])
if example == "word_length":
    words = re.findall(r"[a-z0-9]+", open(f"{d}/examples/texts/river.txt").read().lower())
    want = {w: {"messages": n, "bytes": n * len(w)} for w, n in collections.Counter(words).items()}
    got, key = stored("word-stats"), "river"
else:
    want = {}
    for line in open(f"{d}/readings.tsv"):
        key, value = line.rstrip("\n").split("\t")
        r = json.loads(value)
        a = want.setdefault(key, {"count": 0, "sum": 0.0, "min": r["value"], "max": r["value"]})
        a.update(count=a["count"] + 1, sum=a["sum"] + r["value"], min=min(a["min"], r["value"]),
                 max=max(a["max"], r["value"]), last=r["value"], last_seen=r["at"])
    got, key = stored("sensor-state"), "sensor-7"
    for a in got.values():
        a["sum"] = round(a["sum"], 6)
    for a in want.values():
        a["sum"] = round(a["sum"], 6)
    printed["sum"] = round(printed["sum"], 6)
if got != want:
    sys.exit(f"FAIL: stored states differ: {len(got)} keys stored, {len(want)} expected; e.g. "
             f"{next((k, got.get(k), want[k]) for k in want if got.get(k) != want[k])}")
if printed != want[key]:
    sys.exit(f"FAIL: vesk-state get printed {printed}, expected {want[key]}")
print(f"example {example}: {len(got)} keys, all as expected")
PY
