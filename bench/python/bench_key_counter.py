"""The Python handler of the Python-handler benchmark."""

import vesk


class KeyCounter(vesk.StreamHandler):
    async def process(self, message, state):
        return (state or 0) + 1
