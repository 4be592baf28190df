"""Python handler classes used by the tests."""

import asyncio
import os

import vesk


class Counter(vesk.StreamHandler):
    """Counts per key; "forget" drops the key, "boom" raises."""

    async def process(self, message, state):
        if message.value == b"forget":
            return None
        if message.value == b"boom":
            raise ValueError(f"boom at {message.offset}")
        return (state or 0) + 1


class Sleeper(vesk.StreamHandler):
    """Counts per key, awaiting real asyncio work for every message."""

    async def process(self, message, state):
        await asyncio.sleep(0)
        future = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_later(0.001, future.set_result, 1)
        return (state or 0) + await future


class Literal(vesk.StreamHandler):
    """Sets the state to the Python expression in the value; "keep" keeps it, "fields" shows the call."""

    def process(self, message, state):
        text = message.value.decode()
        if text == "keep":
            return state
        if text == "fields":
            return [message.key, message.value, message.timestamp, message.offset, state]
        return eval(text)  # the tests write the values


class Outer:
    class Inner(vesk.StreamHandler):
        def process(self, message, state):
            return state


class FailsToConstruct(vesk.StreamHandler):
    def __init__(self):
        raise RuntimeError("refuses to be built")

    def process(self, message, state):
        return state


class FailsInWorkersWhileFlagged(vesk.StreamHandler):
    """Counts like Counter, but cannot be built in a worker while PY_HANDLERS_FAIL names a file that exists."""

    def __init__(self):
        flag = os.environ.get("PY_HANDLERS_FAIL", "")
        if "VESK_PARENT_PID" in os.environ and flag and os.path.exists(flag):
            raise RuntimeError("flagged to fail")

    def process(self, message, state):
        return (state or 0) + 1


class Background(vesk.StreamHandler):
    """Starts a task of its own on "start"; other messages store how often it has ticked."""

    ticks = 0

    async def process(self, message, state):
        if message.value == b"start":
            asyncio.get_running_loop().create_task(self._tick())
            return 0
        return Background.ticks

    async def _tick(self):
        for _ in range(3):
            await asyncio.sleep(0.01)
            Background.ticks += 1
