"""Counts the messages of every key: a word counter when each message's key is one word.

    vesk-run --handler py:vesk_examples.word_counter.WordCounter ...

Its states are the same ints that the C++ examples.counting.KeyCounter stores, so either one can
take over the other's state files. A message whose value is exactly b"forget" drops the key.
"""

import vesk


class WordCounter(vesk.StreamHandler):
    async def process(self, message, state):
        if message.value == b"forget":
            return None
        return (state or 0) + 1
