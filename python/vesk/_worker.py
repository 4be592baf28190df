"""What a worker process needs beside the handler: the asyncio loop it keeps for coroutines that
actually suspend, and for tasks a handler starts on it. Used by the embedding program only."""

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


def run_due():
    """Runs what is due on the loop while the worker waits for its next message, and returns the
    seconds until more is due (None when nothing is left: no callback, timer or unfinished task)."""
    if _loop._ready or (_loop._scheduled and _loop._scheduled[0].when() <= _loop.time()):
        asyncio._set_running_loop(None)
        try:
            _loop.run_until_complete(asyncio.sleep(0))
        finally:
            asyncio._set_running_loop(_loop)
    if _loop._ready:
        return 0.0
    if _loop._scheduled:
        return max(0.0, _loop._scheduled[0].when() - _loop.time())
    if any(not task.done() for task in asyncio.all_tasks(_loop)):
        return 0.01  # tasks that wait for I/O only: looked at again soon
    return None
