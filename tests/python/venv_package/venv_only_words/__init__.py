"""Counts each key's messages and notes the sys.prefix of the interpreter that ran it."""

import sys

import vesk


class PrefixCounter(vesk.StreamHandler):
    def process(self, message, state):
        count = state["count"] if state else 0
        return {"count": count + 1, "prefix": sys.prefix}
