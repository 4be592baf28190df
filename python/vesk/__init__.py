"""Stream handlers for Vesk, written in Python.

Derive from StreamHandler and define ``process``; the C++ engine runs the class in its worker
processes, named by the handler path ``py:<module>.<Class>``::

    import vesk

    class WordCounter(vesk.StreamHandler):
        async def process(self, message, state):
            return (state or 0) + 1

A state is plain data: None, bool, int (64-bit), float, str, bytes, and lists, tuples and dicts
of those. It is what the partition-state files hold, and what pickle.load reads back from them.
"""

import abc

try:
    # Written by the build (pip install, CMake); a source checkout on PYTHONPATH has none.
    from ._version import version as __version__
except ImportError:
    __version__ = "unknown"

try:
    # Inside a worker the embedding program provides the message type itself.
    from _vesk import Message
except ImportError:

    class Message:
        """One message of the stream: key (bytes or None), value (bytes), timestamp and offset."""

        __slots__ = ("key", "value", "timestamp", "offset")

        def __init__(self, key, value, timestamp=0, offset=0):
            self.key = key
            self.value = value
            self.timestamp = timestamp
            self.offset = offset

        def __repr__(self):
            return (f"Message(key={self.key!r}, value={self.value!r}, "
                    f"timestamp={self.timestamp!r}, offset={self.offset!r})")


class StreamHandler(abc.ABC):
    """Derive from this to define custom processing logic for messages.

    Each worker process makes its own instance with no arguments, so members of a handler are
    private to one worker and never checkpointed: only the states returned by process are kept.
    The state may be any plain data (None, bool, int, float, str, bytes, list, tuple, dict).
    """

    @abc.abstractmethod
    def process(self, message, state=None):
        """Process a message and update the state.

        ``state`` is the current state of the message's key, or None when it has none. Return
        the new state, or None to store no state for the key. May be ``async def`` or ``def``;
        this base definition returns None, for derived classes that delegate to it.
        """
        return None

    def get_module_path(self):
        """Return the module path for this class: "py:" + module + "." + qualified class name."""
        cls = type(self)
        return "py:" + cls.__module__ + "." + cls.__qualname__


__all__ = ["Message", "StreamHandler", "__version__"]
