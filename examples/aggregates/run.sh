# run.sh: from the source tree, once build/ is built (scripts/test, or cmake --build build)
export VESK_HANDLER_PATH=$PWD/build/handlers
build/examples/aggregates/generate-readings 20 5000 > readings.tsv   # sensor-7<TAB>{"value": 21.93, "at": 1700000002}
build/tools/vesk_run/vesk-run --handler examples.aggregates.RunningAggregate --embedded-kafka 4 \
  --produce-lines readings.tsv --until-caught-up --checkpoint-interval 1 --state-dir sensor-state
build/tools/vesk_state/vesk-state get --state-dir sensor-state sensor-7
