"""Read ORV output channels from Python through libPelkon.

The library reads its channel settings from ``./Pelkon.ini`` of the current directory when a
channel is opened (section ``Ch<channel + 1>``: ``Client=1``, ``Host``, ``Port``, ``Id``), and
logs into ``./Pelkonlog`` when that directory exists. Example::

    import pelkon

    with pelkon.Channel(0) as channel:
        record = channel.poll(timeout=5.0)
        if record is not None:
            print(record.account, record.code, record.time)
        channel.send("16:1234:XYZ")

Only the standard library is used.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import datetime
import os
import threading
import time
from typing import Iterator, NamedTuple

__all__ = [
    "Channel",
    "ChannelOpenError",
    "LibraryNotFoundError",
    "NO_TIME",
    "PelkonError",
    "Record",
    "load_library",
]

#: The year a record carries when its event had no time (the host uses its own clock).
NO_TIME = 0xFFFF

# The library refuses longer commands without saying so; we say so.
_MAX_COMMAND = 4096
# How often poll() looks again while nothing waits. The library buffers on its own thread, so
# this only bounds how late a record is seen, never whether it is.
_POLL_INTERVAL = 0.01


class PelkonError(Exception):
    """Base of the errors this module raises."""


class LibraryNotFoundError(PelkonError):
    """libPelkon.so could not be loaded, or what was loaded is not libPelkon."""


class ChannelOpenError(PelkonError):
    """orv_InitComm gave no channel. The library names its reason on standard error."""

    def __init__(self, channel: int) -> None:
        super().__init__(
            f"Pelkon channel {channel} cannot be opened (the library's reason is on stderr)"
        )
        self.channel = channel


class _SystemTime(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("wYear", ctypes.c_uint16),
        ("wMonth", ctypes.c_uint16),
        ("wDayOfWeek", ctypes.c_uint16),
        ("wDay", ctypes.c_uint16),
        ("wHour", ctypes.c_uint16),
        ("wMinute", ctypes.c_uint16),
        ("wSecond", ctypes.c_uint16),
        ("wMilliseconds", ctypes.c_uint16),
    ]


class _Message(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("receiver", ctypes.c_uint32),
        ("line", ctypes.c_uint16),
        ("reserved1", ctypes.c_uint16),
        ("account", ctypes.c_uint32),
        ("area", ctypes.c_uint8 * 3),
        ("code", ctypes.c_uint8 * 8),
        ("reserved2", ctypes.c_uint8),
        ("time", _SystemTime),
        # A pointer, not c_char_p: the library may hand back NULL, and we copy it at once.
        ("extra", ctypes.c_void_p),
    ]


# A layout that drifted from the C header would read every field from the wrong place.
assert ctypes.sizeof(_SystemTime) == 16
assert _Message.area.offset == 12 and _Message.code.offset == 15
assert _Message.time.offset == 24 and _Message.extra.offset == 40
assert ctypes.sizeof(_Message) == 40 + ctypes.sizeof(ctypes.c_void_p)


class Record(NamedTuple):
    """One event of an output channel.

    Texts are decoded as Latin-1, so every byte the server sent survives as one character.
    """

    receiver: int
    line: int  # 16 when the account could not be read
    account: int  # the account's hexadecimal digits as a number: "1234" gives 0x1234
    area: str  # at most 2 characters
    code: str  # at most 7 characters, e.g. "E130015" or "   R 51"
    time: datetime.datetime | None  # local time of the event; None: the event had none
    extra: str  # the module identifier of an identity line, else ""


def _prefixed(field: ctypes.Array) -> str:
    """A length-prefixed text, its length capped to what the field holds."""
    n = min(field[0], len(field) - 1)
    return bytes(field[1 : 1 + n]).decode("latin-1")


def _event_time(t: _SystemTime) -> datetime.datetime | None:
    if t.wYear == NO_TIME:
        return None
    try:
        return datetime.datetime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond)
    except ValueError:
        # The line is taken already; a date we cannot represent must not lose its event, and
        # "no time" is what the host knows to handle.
        return None


def _record(m: _Message) -> Record:
    extra = ctypes.string_at(m.extra).decode("latin-1") if m.extra else ""
    return Record(
        receiver=m.receiver,
        line=m.line,
        account=m.account,
        area=_prefixed(m.area),
        code=_prefixed(m.code),
        time=_event_time(m.time),
        extra=extra,
    )


_loaded: dict[str, ctypes.CDLL] = {}
_loaded_lock = threading.Lock()


def _bind(lib: ctypes.CDLL) -> None:
    lib.orv_InitComm.argtypes = [ctypes.c_int32, ctypes.c_int32]
    lib.orv_InitComm.restype = ctypes.c_void_p
    lib.orv_CloseComm.argtypes = [ctypes.c_void_p]
    lib.orv_CloseComm.restype = ctypes.c_int32
    lib.orv_GetMsg.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Message)]
    lib.orv_GetMsg.restype = ctypes.c_int32
    lib.Orv_SetMsg.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.Orv_SetMsg.restype = ctypes.c_int32
    lib.orv_GetHostList.argtypes = [
        ctypes.c_void_p,
        ctypes.c_void_p,
        ctypes.c_int32,
        ctypes.POINTER(ctypes.c_int32),
    ]
    lib.orv_GetHostList.restype = ctypes.c_int32


def load_library(path: str | os.PathLike[str] | None = None) -> ctypes.CDLL:
    """Loads libPelkon once per name.

    Looks at ``path`` when given, else at the environment variable ``PELKON_LIBRARY``, else
    lets the dynamic linker search for ``libPelkon.so``. A place named explicitly is the only
    one tried: falling back to another copy would hide a wrong setting.
    """
    if path is not None:
        candidates, source = [os.fspath(path)], "the given path"
    elif os.environ.get("PELKON_LIBRARY"):
        candidates, source = [os.environ["PELKON_LIBRARY"]], "PELKON_LIBRARY"
    else:
        found = ctypes.util.find_library("Pelkon")
        candidates = [found] if found else []
        candidates.append("libPelkon.so")
        source = "the library search path"

    reasons = []
    for name in candidates:
        with _loaded_lock:
            if name in _loaded:
                return _loaded[name]
            try:
                lib = ctypes.CDLL(name)
            except OSError as e:
                reasons.append(str(e))
                continue
            try:
                _bind(lib)
            except AttributeError as e:
                raise LibraryNotFoundError(f"{name} is not libPelkon: {e}") from None
            _loaded[name] = lib
            return lib
    raise LibraryNotFoundError(
        f"libPelkon not found through {source} ({'; '.join(reasons)}); "
        "pass its path or set PELKON_LIBRARY"
    )


class Channel:
    """One output channel, open from construction until close().

    The library connects and buffers on its own thread; poll() only takes what it has received.
    Use it as a context manager so that the library's thread ends with the block.
    """

    def __init__(
        self,
        channel: int = 0,
        library: str | os.PathLike[str] | ctypes.CDLL | None = None,
    ) -> None:
        """Opens `channel` (section ``Ch<channel + 1>`` of ./Pelkon.ini).

        `library` is a loaded library or where to find one (see load_library).
        Raises LibraryNotFoundError or ChannelOpenError.
        """
        self._lib = library if isinstance(library, ctypes.CDLL) else load_library(library)
        self.channel = channel
        # Serialises close() with the other calls: once closed, the library may give the same
        # handle to a channel opened later, which this object must never reach.
        self._lock = threading.Lock()
        self._handle: int | None = self._lib.orv_InitComm(0, channel)
        if not self._handle:
            self._handle = None
            raise ChannelOpenError(channel)

    def __enter__(self) -> Channel:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A channel left open would keep its connection thread running for the life of the
        # process.
        if getattr(self, "_handle", None) is not None:
            self.close()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _open_handle(self) -> int:
        if self._handle is None:
            raise ValueError("the Pelkon channel is closed")
        return self._handle

    def _take(self) -> tuple[Record | None, int]:
        """The next record if one was delivered, and the number of lines still waiting."""
        with self._lock:
            handle = self._open_handle()
            m = _Message()  # zeroed each time: the library leaves parts of it unwritten
            if self._lib.orv_GetMsg(handle, ctypes.byref(m)) > 0:
                # `extra` lives only until the next call on the channel: copy it under the lock.
                return _record(m), 1
            waiting = ctypes.c_int32(0)
            self._lib.orv_GetHostList(handle, None, 0, ctypes.byref(waiting))
            return None, waiting.value

    def poll(self, timeout: float = 0.0) -> Record | None:
        """The next record, waiting up to `timeout` seconds for one; None when none came.

        Lines that carry no event (heartbeats, time syncs) are passed over without counting
        against the wait, so a record already received is returned even with timeout 0.
        """
        deadline = time.monotonic() + max(timeout, 0.0)
        while True:
            record, waiting = self._take()
            if record is not None:
                return record
            if waiting > 0:
                continue  # that call used up a line without an event; more are here
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            time.sleep(min(_POLL_INTERVAL, left))

    def records(self, idle: float = 0.0) -> Iterator[Record]:
        """Yields records until none has come for `idle` seconds."""
        while (record := self.poll(idle)) is not None:
            yield record

    def __iter__(self) -> Iterator[Record]:
        """The records received so far."""
        return self.records()

    def send(self, command: str) -> None:
        """Queues a command for the server: "module:command" or "line:module:command".

        The library sends it with its next acknowledgement and reports nothing back; what it
        would drop silently (an empty text, a line break, an overlong text) is refused here.
        Raises ValueError for those.
        """
        data = command.encode("latin-1")
        if not data or len(data) > _MAX_COMMAND or any(c in data for c in b"\r\n\0"):
            raise ValueError(
                f"a command is one line of 1 to {_MAX_COMMAND} characters: {command[:80]!r}"
            )
        with self._lock:
            self._lib.Orv_SetMsg(self._open_handle(), data)

    def close(self) -> None:
        """Ends the channel and its connection thread. Closing twice does nothing."""
        with self._lock:
            if self._handle is not None:
                handle, self._handle = self._handle, None
                self._lib.orv_CloseComm(handle)
