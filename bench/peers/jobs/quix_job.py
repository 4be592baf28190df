"""The counting job on Quix Streams: a stateful apply whose State (RocksDB with its changelog
topic) holds each key's count, committed every PEERS_INTERVAL seconds, at least once (exactly once
with PEERS_GUARANTEE=exactly-once)."""

import atexit
import logging

from quixstreams import Application

from counting import Progress, count, settings

s = settings()
progress = Progress(s["progress"])
atexit.register(progress.close)

app = Application(
    broker_address=s["bootstrap"],
    consumer_group=s["group"],
    auto_offset_reset="earliest",
    commit_interval=s["interval"],
    state_dir=s["state_dir"],
    processing_guarantee="exactly-once" if s["exactly_once"] else "at-least-once",
    loglevel=logging.WARNING,
)
topic = app.topic(s["topic"], key_deserializer="bytes", value_deserializer="bytes")
sdf = app.dataframe(topic)


def step(value, key, timestamp, headers, state):
    progress.hit()
    n = count(key, value, state.get("n"))
    if n is None:
        state.delete("n")
    else:
        state.set("n", n)


sdf.update(step, stateful=True, metadata=True)

if __name__ == "__main__":
    app.run()
