"""What a worker process needs beside the handler: the asyncio loop it keeps for coroutines that
actually suspend. Used by the embedding program only."""

import asyncio
import types

_loop = None


def loop():
    """The worker's loop, made on first use. It stays marked as running on this thread, so that a
    coroutine started outside it can still reach it (asyncio.get_running_loop, asyncio.sleep)."""
    global _loop
    if _loop is None:
        _loop = asyncio.new_event_loop()
        asyncio.set_event_loop(_loop)
        asyncio._set_running_loop(_loop)
    return _loop


@types.coroutine
def _resume(coro, yielded):
    # Continues a coroutine that has already run up to its first suspension, which yielded
    # `yielded`: the task that runs this sees that first yield as its own.
    while True:
        try:
            sent = yield yielded
        except GeneratorExit:
            coro.close()
            raise
        except BaseException as error:
            try:
                yielded = coro.throw(error)
            except StopIteration as stop:
                return stop.value
        else:
            try:
                yielded = coro.send(sent)
            except StopIteration as stop:
                return stop.value


def finish(coro, yielded):
    """Runs a suspended coroutine to its end on the worker's loop and returns its result."""
    running = loop()
    asyncio._set_running_loop(None)
    try:
        return running.run_until_complete(_resume(coro, yielded))
    finally:
        asyncio._set_running_loop(running)
