# run.sh: from the source tree, once build/ is built (scripts/test, or cmake --build build)
export VESK_HANDLER_PATH=$PWD/build/handlers PYTHONPATH=$PWD/examples/python
build/tools/vesk_run/vesk-run --handler py:vesk_examples.word_counter.WordCounter --embedded-kafka 1 \
  --produce examples/texts/river.txt --until-caught-up --checkpoint-interval 1 --state-dir word-counts
build/tools/vesk_state/vesk-state get --state-dir word-counts river
/usr/bin/python3 -c 'import pickle; print(pickle.load(open("word-counts/p-0.state.pkl", "rb"))["state"]["river"])'
