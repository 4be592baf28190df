# run.sh: from the source tree, once build/ is built (scripts/test, or cmake --build build)
export VESK_HANDLER_PATH=$PWD/build/handlers
build/tools/vesk_run/vesk-run --handler app.words.WordStats --workers 2 --embedded-kafka 2 \
  --produce examples/texts/river.txt --until-caught-up --checkpoint-interval 1 --state-dir word-stats
build/tools/vesk_state/vesk-state stats --state-dir word-stats
build/tools/vesk_state/vesk-state get --state-dir word-stats river   # {"messages": 17, "bytes": 85}
