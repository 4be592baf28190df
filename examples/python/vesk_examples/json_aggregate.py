"""Keeps running aggregates of JSON messages per key.

Each message's value is a JSON object with a number under "value", e.g. {"value": 12.5}. The
state of a key is a plain dict:

    {"count": 3, "sum": 40.5, "min": 2.0, "max": 30.0, "last": 8.5}

A message that is not such an object raises ValueError: the worker reports it and the key keeps
its state.

    vesk-run --handler py:vesk_examples.json_aggregate.JsonAggregate ...
"""

import json

import vesk


class JsonAggregate(vesk.StreamHandler):
    def process(self, message, state):
        record = json.loads(message.value)
        if not isinstance(record, dict) or not isinstance(record.get("value"), (int, float)) \
                or isinstance(record.get("value"), bool):
            raise ValueError(f"expected an object with a number under 'value', got {message.value[:80]!r}")
        value = float(record["value"])
        if state is None:
            return {"count": 1, "sum": value, "min": value, "max": value, "last": value}
        state["count"] += 1
        state["sum"] += value
        state["min"] = min(state["min"], value)
        state["max"] = max(state["max"], value)
        state["last"] = value
        return state
