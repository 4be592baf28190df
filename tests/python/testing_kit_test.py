# vesk.testing.run against the worker's rules, in plain Python (run with pytest).
import asyncio

import pytest

import vesk
import vesk.testing


class Recorder(vesk.StreamHandler):
    """Keeps, per key, the offsets and values it saw; b"fail" raises, b"drop" returns None."""

    def process(self, message, state):
        if message.value == b"fail":
            (state or []).append("changed before the failure")
            raise ValueError("refused")
        if message.value == b"drop":
            return None
        return (state or []) + [[message.offset, message.value]]


class Sleeper(vesk.StreamHandler):
    async def process(self, message, state):
        await asyncio.sleep(0.001)
        return (state or 0) + 1


def test_offsets_count_from_zero_and_text_is_utf8():
    states = vesk.testing.run(Recorder(), [("é", "a"), (b"k", b"b"), ("é", "ü"), vesk.Message("m", "ü", 0, 9)])
    assert states == {"é": [[0, b"a"], [2, "ü".encode()]], "k": [[1, b"b"]], "m": [[9, "ü".encode()]]}


def test_messages_without_a_usable_key_are_skipped_as_the_worker_skips_them():
    messages = [vesk.Message(None, b"a", 0, 0), (b"\xff", b"b"), vesk.Message(b"k", b"c", 0, 7)]
    with pytest.warns(vesk.testing.WorkerWarning) as seen:
        states = vesk.testing.run(Recorder, messages)
    assert states == {"k": [[7, b"c"]]}
    assert [str(w.message) for w in seen] == ["message at offset 0 skipped: it has no key",
                                              "message at offset 1 skipped: its key is not valid UTF-8"]


def test_a_failing_process_keeps_the_state_object_and_is_reported_like_the_worker():
    with pytest.warns(vesk.testing.WorkerWarning, match="^process failed at offset 1 for key 'k': ValueError: refused$"):
        states = vesk.testing.run(Recorder(), [("k", "a"), ("k", "fail")])
    # The worker keeps the object process was given, changes and all.
    assert states == {"k": [[0, b"a"], "changed before the failure"]}


def test_none_removes_the_key_and_given_states_are_not_changed():
    given = {"k": [[9, b"x"]], "other": 1}
    states = vesk.testing.run(Recorder(), [("k", "drop"), ("new", "a"), ("new", "drop")], states=given)
    assert states == {"other": 1}
    assert given == {"k": [[9, b"x"]], "other": 1}


def test_async_handlers_that_suspend_run_to_their_end():
    assert vesk.testing.run(Sleeper(), [("k", "a"), ("k", "b")]) == {"k": 2}


@pytest.mark.parametrize("state, error", [
    ({1, 2}, "key 'k': a state cannot hold a Python 'set': states are plain data"),
    ([1, {"in": frozenset()}], "key 'k': a state cannot hold a Python 'frozenset' (at state[1]['in'])"),
    (2 ** 70, "key 'k': a state cannot hold an int beyond 64 bits"),
    ("\ud800", "key 'k': a state cannot hold a str that is not valid UTF-8 (a lone surrogate)"),
])
def test_a_state_the_engine_cannot_store_fails_naming_the_key_and_type(state, error):
    class Returns(vesk.StreamHandler):
        def process(self, message, _):
            return state

    with pytest.raises(TypeError) as raised:
        vesk.testing.run(Returns(), [("k", "v")])
    assert str(raised.value).startswith(error)


def test_a_state_that_holds_itself_fails_instead_of_recursing():
    loop = []
    loop.append(loop)
    with pytest.raises(TypeError, match="nests deeper than 1000 levels, or holds itself"):
        vesk.testing.run(Recorder(), [], states={"k": loop})
