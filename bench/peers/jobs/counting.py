"""What every Python job shares: the counting function of Vesk's Python handler, and a progress
file that tells bench/peers/run when this process handled its first and its latest message.

The jobs call WordCounter.process itself, stepped like a worker steps a coroutine that never
suspends, so that each system runs exactly the function that Vesk's Python workers run.
"""

import json
import os
import threading
import time

from vesk import Message
from vesk_examples.word_counter import WordCounter

_handler = WordCounter()


def count(key, value, state):
    """The key's next state after one more message: WordCounter.process, run to its end."""
    step = _handler.process(Message(key, value), state)
    try:
        step.send(None)
    except StopIteration as done:
        return done.value
    step.close()
    raise RuntimeError("WordCounter.process suspended; the jobs run it without an event loop")


async def count_async(key, value, state):
    """The same for a job that runs on asyncio."""
    return await _handler.process(Message(key, value), state)


class Progress:
    """Counts the messages this process handled and writes {"first", "last", "count"} (wall
    clock seconds) to a file every 50 ms from a thread of its own, and once more at exit."""

    def __init__(self, path):
        self.path = path
        self.first = 0.0
        self.last = 0.0
        self.count = 0
        self._stop = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()

    def hit(self):
        now = time.time()
        if not self.count:
            self.first = now
        self.last = now
        self.count += 1

    def write(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"first": self.first, "last": self.last, "count": self.count}, f)
        os.replace(tmp, self.path)

    def _run(self):
        while not self._stop.wait(0.05):
            self.write()

    def close(self):
        self._stop.set()
        self.write()


def settings():
    """The job's settings, from the environment that bench/peers/run gives it."""
    env = os.environ
    return {
        "bootstrap": env["PEERS_BOOTSTRAP"],
        "topic": env["PEERS_TOPIC"],
        "group": env["PEERS_GROUP"],
        "interval": float(env["PEERS_INTERVAL"]),
        "state_dir": env["PEERS_STATE_DIR"],
        "progress": env["PEERS_PROGRESS"],
        # The system's exactly-once mode instead of its at-least-once one.
        "exactly_once": env.get("PEERS_GUARANTEE") == "exactly-once",
    }
