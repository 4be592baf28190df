"""The counting job on Bytewax: stateful_map keyed by the message key, reading every partition
to its end; run with recovery snapshots (-s) at PEERS_INTERVAL seconds, which hold the input
offsets and the states together."""

import atexit

import bytewax.operators as op
from bytewax.connectors.kafka import KafkaSource
from bytewax.connectors.stdio import StdOutSink
from bytewax.dataflow import Dataflow
from confluent_kafka import OFFSET_BEGINNING

from counting import Progress, count, settings

s = settings()
progress = Progress(s["progress"])
atexit.register(progress.close)


def step(state, message):
    progress.hit()
    key, value = message
    return count(key, value, state), None


flow = Dataflow("counting")
messages = op.input("in", flow, KafkaSource([s["bootstrap"]], [s["topic"]], tail=False,
                                            starting_offset=OFFSET_BEGINNING))
keyed = op.map("key", messages, lambda m: (m.key.decode(), (m.key, m.value)))
counted = op.stateful_map("count", keyed, step)
# Nothing leaves the flow: the counts are read from the recovery partitions.
op.output("out", op.filter("none", counted, lambda _: False), StdOutSink())
