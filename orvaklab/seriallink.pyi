"""
Thread-backed serial queue manager for Orvak devices.
"""
from __future__ import annotations
import _weakrefset
import orvaklab.shapes
import re
import typing
import weakref
__all__: list[str] = ['CorePort', 'Event', 'LineQueue', 'NativeSerialPort', 'POLL_PERIOD', 'RecordingPort', 'ReplayPort', 'ReplySlot', 'SerialManager', 'read_recording']
class ReplySlot:
    """
    Single-value queue of reply text: delivery replaces the held value and wakes a waiter.
    """
    def __init__(self) -> None:
        """
        An empty slot.
        """
    def empty(self) -> bool:
        """
        Whether the slot holds no value.
        """
    def full(self) -> bool:
        """
        Whether the slot holds a value.
        """
    def get(self, block: bool = True, timeout: float | None = None) -> str:
        """
        Takes the value, waiting up to timeout seconds (None: for ever); queue.Empty when none comes or block is false and the slot is empty.
        """
    def get_nowait(self) -> str:
        """
        Takes the value without waiting; queue.Empty when there is none.
        """
    def put(self, item: str, block: bool = True, timeout: float | None = None) -> None:
        """
        Puts item (as text), waiting up to timeout seconds (None: for ever) for the slot to empty; queue.Full when it stays full or block is false.
        """
    def put_nowait(self, item: str) -> None:
        """
        Puts item without waiting; queue.Full when the slot holds a value.
        """
    def qsize(self) -> int:
        """
        1 when the slot holds a value, else 0.
        """
    @property
    def maxsize(self) -> int:
        """
        The capacity: 1.
        """
class _ReplySlots:
    pass
class LineQueue:
    """
    Unbounded thread-safe FIFO of text lines.
    """
    def __init__(self) -> None:
        """
        An empty queue.
        """
    def empty(self) -> bool:
        """
        Whether the queue holds no line.
        """
    def full(self) -> bool:
        """
        False: the queue is unbounded.
        """
    def get(self, block: bool = True, timeout: float | None = None) -> str:
        """
        Takes the oldest line, waiting up to timeout seconds (None: for ever); queue.Empty when none comes or block is false and the queue is empty.
        """
    def get_nowait(self) -> str:
        """
        Takes the oldest line without waiting; queue.Empty when there is none.
        """
    def put(self, item: str, block: bool = True, timeout: float | None = None) -> None:
        """
        Appends the line item; never waits (block and timeout are accepted and ignored).
        """
    def put_nowait(self, item: str) -> None:
        """
        Appends the line item.
        """
    def qsize(self) -> int:
        """
        The number of lines held.
        """
    @property
    def maxsize(self) -> int:
        """
        0: the queue is unbounded.
        """
class Event:
    """
    Thread-safe flag with waiting.
    """
    def __init__(self) -> None:
        """
        A clear flag.
        """
    def clear(self) -> None:
        """
        Clears the flag.
        """
    def isSet(self) -> bool:
        """
        Whether the flag is set.
        """
    def is_set(self) -> bool:
        """
        Whether the flag is set.
        """
    def set(self) -> None:
        """
        Sets the flag and wakes every waiter.
        """
    def wait(self, timeout: float | None = None) -> bool:
        """
        Waits up to timeout seconds (None: for ever) for the flag; returns whether it is set.
        """
class CorePort:
    """
    Base of the ports implemented in C++, with pyserial's port interface.
    """
    def __enter__(self: typing.Self) -> typing.Self:
        """
        The port itself.
        """
    def __exit__(self, *args: typing.Any) -> None:
        """
        Closes the port.
        """
    def close(self) -> None:
        """
        Closes the port; idempotent.
        """
    def fileno(self) -> int:
        """
        A descriptor that polls readable when bytes are ready, or -1.
        """
    def inWaiting(self) -> int:
        """
        The number of bytes ready to read.
        """
    def read(self, size: typing.SupportsInt | typing.SupportsIndex = 1) -> bytes:
        """
        Reads at most size bytes of those ready, without waiting.
        """
    def write(self, data: bytes | bytearray | memoryview) -> int:
        """
        Writes the bytes; returns how many.
        """
    @property
    def in_waiting(self) -> int:
        """
        The number of bytes ready to read.
        """
    @property
    def is_open(self) -> bool:
        """
        Whether the port is open.
        """
class NativeSerialPort(CorePort):
    """
    A serial device opened directly (raw 8N1, non-blocking, exclusive), with pyserial's port interface. A SerialManager serves it event-driven.
    """
    def __init__(self, port: str, baudrate: typing.SupportsInt | typing.SupportsIndex = 115200, exclusive: bool = True) -> None:
        """
        Opens the device at the path port at baudrate bits/s; exclusive locks it.
        """
    @property
    def baudrate(self) -> int:
        """
        Bits per second.
        """
    @property
    def name(self) -> str:
        """
        The device path.
        """
    @property
    def port(self) -> str:
        """
        The device path.
        """
class _LoopThreads:
    """
    The two threads that run a manager's loops.
    """
    def shutdown(self, wait: bool = True) -> None:
        """
        Stops the manager's loops.
        """
    @property
    def _max_workers(self) -> int:
        ...
class SerialManager:
    """
    Owns the chain's open serial port and runs its two background loops: the write/read loop and the distributor that routes replies into the instruments' reply slots.
    """
    group: orvaklab.shapes.DriverGroup
    """The group whose drivers the replies are routed to."""
    orvak_serial: orvaklab.shapes.SerialPort | None
    """The port served."""
    @staticmethod
    def _parse(text: str) -> tuple[int, str]:
        ...
    def __init__(self, serial_port: orvaklab.shapes.SerialPort | None, group: orvaklab.shapes.DriverGroup) -> None:
        """
        Starts serving serial_port (an open port with pyserial's interface) for the drivers of group.
        """
    def _distribute_read_data(self) -> None:
        ...
    def _manage_communication(self, port: typing.Any) -> None:
        ...
    def _mark_connection_lost(self, exc: typing.Any, what: str) -> None:
        ...
    def _read(self, port: typing.Any) -> str:
        ...
    def _route(self, line: str) -> None:
        ...
    def _run_guarded(self, target: typing.Any, *args: typing.Any) -> None:
        ...
    def _write(self, port: typing.Any, command: str) -> None:
        ...
    def is_alive(self) -> bool:
        """
        Whether both loops run and the link has not been lost.
        """
    def stop(self) -> None:
        """
        Stops both loops and waits for them; idempotent.
        """
    @property
    def _event_driven(self) -> bool:
        """
        Whether the write/read loop waits on the port's descriptor.
        """
    @property
    def _io_wakeups(self) -> int:
        """
        How often the write/read loop has woken up so far.
        """
    @property
    def executor(self) -> _LoopThreads:
        """
        The two loop threads, as a pool-like handle.
        """
    @property
    def orvak_read_queue(self) -> LineQueue:
        """
        Reply lines not yet routed.
        """
    @property
    def orvak_write_queue(self) -> LineQueue:
        """
        Command lines not yet written.
        """
    @property
    def thread_died(self) -> Event:
        """
        Set once the link is lost or a loop failed.
        """
    @property
    def thread_error(self) -> BaseException | None:
        """
        The error that ended the loops, or None.
        """
    @property
    def thread_stop_event(self) -> Event:
        """
        Set once the loops are to end.
        """
class RecordingPort(CorePort):
    """
    A port that writes every command line sent and every reply line received, with its time in seconds since opening, to a JSON Lines file as the traffic passes. Wraps any port (a port object, a native port, the emulator's port).
    """
    def __init__(self, port: orvaklab.shapes.SerialPort, path: str) -> None:
        """
        Wraps port (any port object) and writes its traffic to a new file at path.
        """
    @property
    def path(self) -> str:
        """
        The recording file being written.
        """
class ReplayPort(CorePort):
    """
    A port that answers from a recording: each command written must be the next recorded command, or the port fails at once (the manager then reports a lost link) with an error naming the expected and the sent line. Replies come back in the recorded order, at once or, with paced, at their recorded delays.
    """
    def __init__(self, path: str, paced: bool = False) -> None:
        """
        Answers from the recording at path; with paced, replies keep their recorded delays (seconds).
        """
    def unplug(self) -> None:
        """
        The link is gone for good: every later call but is_open and close fails.
        """
    @property
    def paced(self) -> bool:
        """
        Whether replies come at their recorded delays.
        """
    @property
    def path(self) -> str:
        """
        The recording replayed.
        """
    @property
    def remaining(self) -> int:
        """
        Records (commands and replies) not yet replayed.
        """
def _stop_live_managers() -> None:
    ...
def read_recording(path: str) -> list[dict[str, float | str]]:
    """
    The records of a recording file, as dicts with t (seconds), kind ('command' or 'reply') and line.
    """
POLL_PERIOD: float = 0.01
"""Longest wait in seconds of a manager's loops before they check again (the polling period of a port without a descriptor)."""
_BAD_RE: re.Pattern[str]
_NOTOK_RE: re.Pattern[str]
_OK_RE: re.Pattern[str]
_live_managers: weakref.WeakSet[SerialManager]
