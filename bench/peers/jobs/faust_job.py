"""The counting job on Faust (faust-streaming): an agent that keeps each key's count in a Table
(in memory, with its changelog topic), committing offsets every PEERS_INTERVAL seconds, at least
once (exactly once, a transaction per commit, with PEERS_GUARANTEE=exactly-once)."""

import atexit
import sys

import faust

from counting import Progress, count_async, settings

s = settings()
progress = Progress(s["progress"])
atexit.register(progress.close)

app = faust.App(
    s["group"],
    broker=f"kafka://{s['bootstrap']}",
    store="memory://",
    datadir=s["state_dir"],
    topic_partitions=8,
    topic_replication_factor=1,
    broker_commit_interval=s["interval"],
    processing_guarantee="exactly_once" if s["exactly_once"] else "at_least_once",
    consumer_auto_offset_reset="earliest",
    table_standby_replicas=0,
    web_enabled=False,
)
source = app.topic(s["topic"], key_type=bytes, value_type=bytes, key_serializer="raw",
                   value_serializer="raw")
counts = app.Table("counts", key_type=str, value_type=int, partitions=8)


@app.agent(source)
async def counter(stream):
    async for event in stream.events():
        progress.hit()
        key = event.key
        word = key.decode()
        n = await count_async(key, event.value, counts.get(word))
        if n is None:
            counts.pop(word, None)
        else:
            counts[word] = n


if __name__ == "__main__":
    sys.argv = [sys.argv[0], "worker", "--loglevel", "warn", "--without-web"]
    app.main()
