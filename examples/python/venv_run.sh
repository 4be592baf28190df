# venv_run.sh: in the virtual environment Vesk is pip-installed into, from the source tree (for the text)
vesk-run --handler py:vesk_examples.word_counter.WordCounter --embedded-kafka 1 \
  --produce examples/texts/river.txt --until-caught-up --checkpoint-interval 1 --state-dir word-counts
vesk-state get --state-dir word-counts river
python -c 'import pickle; print(pickle.load(open("word-counts/p-0.state.pkl", "rb"))["state"]["river"])'
