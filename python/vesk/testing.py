"""Runs a handler in plain Python, in the calling process: no Kafka, no worker processes.

    import vesk.testing
    from vesk_examples.word_counter import WordCounter

    def test_counts_words():
        states = vesk.testing.run(WordCounter(), [("river", "river"), ("sea", "sea"), ("river", "x")])
        assert states == {"river": 2, "sea": 1}

It follows the worker's rules: offsets count from 0, a message without a key (or with one that
is not UTF-8) is skipped, an exception in process keeps the key's state, None removes the key,
and a state that a state file cannot hold fails with the worker's error. What the worker would
report (a skipped message, a failed process) is issued as a WorkerWarning with the same text.
"""

import asyncio
import copy
import sys
import types
import warnings

from vesk import Message

__all__ = ["run", "WorkerWarning"]


class WorkerWarning(UserWarning):
    """What a worker would report and go on after: a skipped message or a failed process."""


def run(handler, messages, states=None):
    """Runs ``handler`` over ``messages`` and returns the states the engine would store.

    ``handler`` is a handler instance (a class is instantiated with no arguments, as a worker
    does). ``messages`` is an iterable of ``(key, value)`` pairs or of ``vesk.Message``; keys and
    values are bytes or str (str is encoded as UTF-8), and a pair's offset is its position, from
    0. ``states`` maps key text to the state before the first message; it is copied, never
    changed. Returns a dict of key text to state.
    """
    if isinstance(handler, type):
        handler = handler()
    held = _load_states(states)
    loop = None
    try:
        for offset, item in enumerate(messages):
            message = _message(item, offset)
            key = _key_text(message)
            if key is None:
                continue
            current = held.get(key)
            try:
                result = handler.process(message, current)
                if type(result) is types.CoroutineType:
                    if loop is None:
                        loop = _new_loop()
                    result = loop.run_until_complete(result)
            except Exception as error:  # the worker reports it and goes on with the next message
                warnings.warn(f"process failed at offset {message.offset} for key '{key}': {_error_text(error)}",
                              WorkerWarning, stacklevel=2)
                continue
            if result is None:
                held.pop(key, None)
            else:
                held[key] = result
    finally:
        if loop is not None:
            _close(loop)
    for key, state in held.items():
        _check_state(key, state)
    return held


def _load_states(states):
    if states is None:
        return {}
    held = {}
    for key, state in dict(states).items():
        if type(key) is not str:
            raise TypeError(f"state map key {key!r} is not text")
        _check_state(key, state)
        held[key] = copy.deepcopy(state)
    return held


def _as_bytes(data, what, offset):
    if type(data) is bytes:
        return data
    if isinstance(data, str):
        return data.encode("utf-8")
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"message {offset}: its {what} must be bytes or str, not {type(data).__qualname__}")


def _message(item, offset):
    if isinstance(item, Message):
        if (item.key is None or type(item.key) is bytes) and type(item.value) is bytes:
            return item
        key = None if item.key is None else _as_bytes(item.key, "key", offset)
        return Message(key, _as_bytes(item.value, "value", offset), item.timestamp, item.offset)
    try:
        key, value = item
    except (TypeError, ValueError):
        raise TypeError(f"message {offset}: expected a (key, value) pair or a vesk.Message, "
                        f"got {type(item).__qualname__}") from None
    return Message(None if key is None else _as_bytes(key, "key", offset), _as_bytes(value, "value", offset),
                   0, offset)


def _key_text(message):
    if message.key is None:
        warnings.warn(f"message at offset {message.offset} skipped: it has no key", WorkerWarning, stacklevel=3)
        return None
    try:
        return message.key.decode("utf-8")
    except UnicodeDecodeError:
        warnings.warn(f"message at offset {message.offset} skipped: its key is not valid UTF-8",
                      WorkerWarning, stacklevel=3)
        return None


def _error_text(error):
    text = type(error).__qualname__
    message = str(error)
    return f"{text}: {message}" if message else text


def _new_loop():
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.new_event_loop()
    raise RuntimeError("vesk.testing.run waits for async handlers itself: call it from plain (not async) code, "
                       "or in an async test through asyncio.to_thread(vesk.testing.run, ...)")


def _close(loop):
    pending = asyncio.all_tasks(loop)
    for task in pending:
        task.cancel()
    if pending:
        loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
    loop.close()


# What a state file holds, checked as the worker checks it when it hands its states over.

_MAX_DEPTH = 1000
_ADVICE = ": states are plain data, None, bool, int (64-bit), float, str, bytes, list, tuple and dict"


class _Unstorable(Exception):
    def __init__(self, problem, advice=""):
        super().__init__(problem)
        self.problem = problem
        self.advice = advice
        self.place = ""

    def within(self, step):
        if len(self.place) < 200:
            self.place = step + self.place

    def text(self):
        place = f" (at state{self.place[:200]})" if self.place else ""
        return self.problem + place + self.advice


def _check_state(key, state):
    # Deep enough for the deepest state a file may hold, wherever the caller's stack stands.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, _stack_depth() + _MAX_DEPTH + 100))
    try:
        _check(state, 0)
    except _Unstorable as error:
        raise TypeError(f"key '{key}': {error.text()}") from None
    finally:
        sys.setrecursionlimit(limit)


def _stack_depth():
    frame, depth = sys._getframe(), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1
    return depth


def _check(value, depth):
    kind = type(value)
    if value is None or kind is bool or kind is float or kind is bytes:
        return
    if kind is int:
        if not -2**63 <= value < 2**63:
            raise _Unstorable("a state cannot hold an int beyond 64 bits")
        return
    if kind is str:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise _Unstorable("a state cannot hold a str that is not valid UTF-8 (a lone surrogate)") from None
        return
    if depth > _MAX_DEPTH:
        raise _Unstorable(f"a state nests deeper than {_MAX_DEPTH} levels, or holds itself")
    if kind is list or kind is tuple:
        for index, item in enumerate(value):
            try:
                _check(item, depth + 1)
            except _Unstorable as error:
                error.within(f"[{index}]")
                raise
        return
    if kind is dict:
        for k, v in value.items():
            try:
                _check(k, depth + 1)
                _check(v, depth + 1)
            except _Unstorable as error:
                error.within(f"[{_repr80(k)}]")
                raise
        return
    raise _Unstorable(f"a state cannot hold a Python '{kind.__qualname__}'", _ADVICE)


def _repr80(key):
    try:
        return repr(key)[:80]
    except Exception:
        return "?"
