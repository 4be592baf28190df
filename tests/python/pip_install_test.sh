#!/usr/bin/env bash
# pip-installs this checkout into a fresh virtual environment of the machine's own python3, then,
# with no environment variables: vesk-run runs a handler from a package only that environment
# has (its states read back with pickle.load), the examples' states equal vesk.testing.run's over
# the shipped text, the pytest files that use vesk.testing pass, and pip uninstall leaves nothing.
set -euo pipefail
source="$(cd "$1" && pwd)"
text="$source/examples/texts/river.txt"
dir="$(mktemp -d)"
# Beside build/, so that ccache (CCACHE_BASEDIR) serves the objects that build already compiled.
build="$source/build-pip-test"
trap 'rm -rf "$dir" "$build"' EXIT
fail() { echo "FAIL: $*" >&2; tail -n 30 "$dir"/*.log >&2 || true; exit 1; }

python="$(command -v python3)"
"$python" -m venv "$dir/venv"
venv="$dir/venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install pytest==8.3.4 >"$dir/pip-pytest.log" 2>&1 || fail "cannot install pytest"
cp -r "$source/tests/python/venv_package" "$dir/package"  # its build leaves files beside it
"${pip[@]}" install "$dir/package" >"$dir/pip-package.log" 2>&1 ||
  fail "cannot install the venv-only package"
find "$venv" -not -path "*/__pycache__*" | sort >"$dir/before.txt"

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$source}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
rm -rf "$build"
start=$(date +%s)
"${pip[@]}" install "$source" --config-settings=build-dir="$build" >"$dir/pip-vesk.log" 2>&1 || fail "pip install of the checkout"
echo "pip install: $(($(date +%s) - start)) s"

# From here on, nothing from the caller's environment: the venv's programs by their paths.
clean=(env -i HOME="$dir" PATH=/usr/bin:/bin)
cd "$dir"
[ "$("${clean[@]}" "$venv/bin/python" -m vesk --version)" = "vesk $("${clean[@]}" "$venv/bin/vesk-run" --version | cut -d' ' -f2)" ] ||
  fail "python -m vesk --version and vesk-run --version differ"

run() {  # run STATE-DIR HANDLER --produce|--produce-lines FILE
  "${clean[@]}" "$venv/bin/vesk-run" --handler "$2" --embedded-kafka 2 "$3" "$4" --until-caught-up \
    --checkpoint-interval 1 --state-dir "$1" >"$1.log" 2>&1 || fail "vesk-run --handler $2"
}
# The JSON example over the text: one reading per word, its length as the value, and a line that
# is not JSON, which fails in process and keeps its key's state.
"$venv/bin/python" - "$text" >"$dir/readings.tsv" <<'PY'
import json, re, sys
words = re.findall(r"[a-z0-9]+", open(sys.argv[1]).read().lower())
for i, w in enumerate(words):
    print(f"{w}\t{json.dumps({'value': len(w) + i % 3 * 0.25})}")
    if i == 5:
        print(f"{w}\tnot json")
PY
run "$dir/prefix" py:venv_only_words.PrefixCounter --produce "$text"
# The README's commands, as in an activated environment, from a tree that has the examples.
mkdir "$dir/counts" && ln -s "$source/examples" "$dir/counts/examples"
(cd "$dir/counts" && "${clean[@]}" PATH="$venv/bin:/usr/bin:/bin" bash examples/python/venv_run.sh) \
  >"$dir/readme.out" 2>"$dir/readme.log" || fail "the README's venv_run.sh"
run "$dir/aggregates" py:vesk_examples.json_aggregate.JsonAggregate --produce-lines "$dir/readings.tsv"

"${clean[@]}" "$venv/bin/python" - "$dir" "$text" "$venv" <<'PY' || fail "the stored states differ from vesk.testing.run's"
import glob, os, pickle, re, sys, warnings
import vesk.testing
from venv_only_words import PrefixCounter
from vesk_examples.json_aggregate import JsonAggregate
from vesk_examples.word_counter import WordCounter

d, text, venv = sys.argv[1:]
def stored(name):
    states = {}
    for path in glob.glob(f"{d}/{name}/p-*.state.pkl"):
        with open(path, "rb") as f:
            states.update(pickle.load(f)["state"])
    return states

words = [(w, w) for w in re.findall(r"[a-z0-9]+", open(text).read().lower())]
lines = [tuple(line.rstrip("\n").split("\t", 1)) for line in open(f"{d}/readings.tsv")]
warnings.simplefilter("ignore", vesk.testing.WorkerWarning)
prefixes = {state["prefix"] for state in stored("prefix").values()}
assert prefixes == {os.path.realpath(venv)} or prefixes == {venv}, f"the worker ran with sys.prefix {prefixes}, not {venv}"
river = str(sum(1 for w, _ in words if w == "river"))
assert open(f"{d}/readme.out").read().split() == [river, river], "vesk-state get and pickle.load disagree"
for name, handler, messages in [("prefix", PrefixCounter, words), ("counts/word-counts", WordCounter, words),
                                ("aggregates", JsonAggregate, lines)]:
    engine, kit = stored(name), vesk.testing.run(handler(), messages)
    assert engine == kit and kit, f"{name}: {len(engine)} keys stored, {len(kit)} from vesk.testing.run"
print("states equal for", len(words), "words and", len(lines), "readings")
PY

"${clean[@]}" "$venv/bin/python" -B -m pytest -q -p no:cacheprovider "$source/tests/python/testing_kit_test.py" \
  "$source/examples/python/test_word_counter.py" >"$dir/pytest.log" 2>&1 || fail "pytest"
tail -n 1 "$dir/pytest.log"

"${pip[@]}" uninstall -y vesk >"$dir/pip-uninstall.log" 2>&1 || fail "pip uninstall"
find "$venv" -not -path "*/__pycache__*" | sort >"$dir/after.txt"
left="$(comm -13 "$dir/before.txt" "$dir/after.txt")"
[ -z "$left" ] || fail "pip uninstall left behind: $left"
echo "pip install: 1 passed, 0 failed"
