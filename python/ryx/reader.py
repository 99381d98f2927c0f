"""Readers, their slots and what a card answers: the library's calls as Python objects."""
from __future__ import annotations

import ctypes
import enum
import os
import sys
import threading
from typing import NamedTuple, Union

from . import _library
from .errors import InvalidArgument, error_for

MAX_ATR_SIZE = 64
"""The longest ATR the library takes (RYX_MAX_ATR_SIZE)."""

MAX_RESPONSE_SIZE = 65538
"""The longest response APDU: 65536 data bytes (an extended Le of 0000) and SW1 SW2. Every transmit can take it."""

RATES = (9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000)
"""The line speeds in bit/s that a reader can be set to."""

ESCAPE = 3500  # RYX_CONTROL_ESCAPE
_DEFAULT_SPEED = 0x80000000  # RYX_PROTOCOL_DEFAULT_SPEED

Bytes = Union[bytes, bytearray, memoryview]


class Status(enum.IntEnum):
    """The state of the card in a slot (RYX_ICC_*)."""

    UNKNOWN = 0  #: not determined
    ABSENT = 1  #: no card in the slot
    PRESENT = 2  #: a card, not powered
    POWERED = 3  #: a card, powered


class Protocol(enum.IntFlag):
    """Transmission protocols (RYX_PROTOCOL_*): ``T0 | T1`` accepts either."""

    T0 = 1
    T1 = 2


T0 = Protocol.T0
T1 = Protocol.T1


class Timeouts(NamedTuple):
    """A reader's link time-outs, set as a whole. After an open: 2000, 1, 10000, 1.

    Time-outs are in ms and honoured in whole 500 ms slices; a retry count n gives n + 1 attempts.
    """

    status_timeout: int  #: ms to wait for the reader's acknowledgement of a command
    status_retries: int  #: further command attempts after a missing or refusing acknowledgement
    response_timeout: int  #: ms to wait for each part of the response
    response_retries: int  #: further requests to repeat a damaged or incomplete response


class Response(NamedTuple):
    """A response APDU: the data and the two status bytes.

    A response of fewer than two bytes (which no card following ISO/IEC 7816-4 gives) is all data, with sw1 and
    sw2 -1.
    """

    data: bytes
    sw1: int
    sw2: int

    @property
    def sw(self) -> int:
        """SW1 SW2 as one number, e.g. 0x9000."""
        return self.sw1 << 8 | self.sw2

    def __bytes__(self) -> bytes:
        return self.data + bytes((self.sw1, self.sw2)) if self.sw1 >= 0 else self.data

    @classmethod
    def from_bytes(cls, raw: bytes) -> "Response":
        if len(raw) < 2:
            return cls(raw, -1, -1)
        return cls(raw[:-2], raw[-2], raw[-1])


class _Reply(threading.local):
    """Each thread's reply buffer and length, reused by every call of that thread: allocating and zeroing 64 KiB a
    call would cost more than the rest of the binding together."""

    def __init__(self) -> None:
        self.buffer = ctypes.create_string_buffer(MAX_RESPONSE_SIZE)
        self.view = memoryview(self.buffer).cast("B")
        self.length = ctypes.c_uint32()
        self.length_pointer = ctypes.byref(self.length)


_reply = _Reply()


def open(port: Union[str, bytes, "os.PathLike[str]"]) -> "Reader":
    """Opens the reader on a serial port and identifies it (RYX_OpenA; RYX_OpenW on Windows).

    ``port`` is the device as the system names it (``"/dev/ttyS0"``, ``"COM3"``). Takes up to about ten seconds when
    no reader answers. Raises :class:`ryx.PortError` (an OSError too) when the port cannot be opened or set up, and
    :class:`ryx.ReaderNotAnswering` when no known reader answered at any line speed.
    """
    return Reader(port)


class Reader:
    """One open reader. Use it in a ``with`` block, or call :meth:`close`.

    Any thread may use a reader; the library serialises the calls on one reader, and calls on different readers
    run in parallel (the GIL is released during each). Do not close a reader while another thread uses it.
    """

    def __init__(self, port: Union[str, bytes, "os.PathLike[str]"]) -> None:
        self._lib = _library.library()
        self._handle = ctypes.c_void_p()
        self.port = os.fsdecode(port) if not isinstance(port, str) else port
        if sys.platform == "win32":
            name = ctypes.create_unicode_buffer(os.fsdecode(port))  # wchar_t is UTF-16 there
            function, status = "RYX_OpenW", self._lib.RYX_OpenW(name, ctypes.byref(self._handle))
        else:
            function, status = "RYX_OpenA", self._lib.RYX_OpenA(os.fsencode(port), ctypes.byref(self._handle))
        if status:
            raise error_for(status, function, self.port)
        self._closed = False
        count = ctypes.c_uint32()
        self._check(self._lib.RYX_GetNumSlots(self._handle, ctypes.byref(count)), "RYX_GetNumSlots")
        self._slot_count: int = count.value

    def _check(self, status: int, function: str) -> None:
        if status:
            raise error_for(status, function)

    def close(self) -> None:
        """Powers every slot off and closes the port (RYX_Close). Closing a closed reader does nothing; any other
        call on it raises :class:`ryx.InvalidHandle`."""
        if not self._closed:
            self._closed = True
            self._check(self._lib.RYX_Close(self._handle), "RYX_Close")

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._slot_count} slots"
        return f"<ryx.Reader {self.port} {state}>"

    @property
    def slot_count(self) -> int:
        """The number of card slots: 2 or 3 by model (RYX_GetNumSlots)."""
        count = ctypes.c_uint32()
        self._check(self._lib.RYX_GetNumSlots(self._handle, ctypes.byref(count)), "RYX_GetNumSlots")
        return count.value

    @property
    def baud_rate(self) -> int:
        """The line speed in bit/s (RYX_GetBaudRate). Setting it to one of :data:`ryx.RATES` changes the speed on
        both ends (RYX_SetBaudRate); another value raises :class:`ryx.InvalidArgument`."""
        rate = ctypes.c_uint32()
        self._check(self._lib.RYX_GetBaudRate(self._handle, ctypes.byref(rate)), "RYX_GetBaudRate")
        return rate.value

    @baud_rate.setter
    def baud_rate(self, rate: int) -> None:
        self._check(self._lib.RYX_SetBaudRate(self._handle, _u32(rate, "RYX_SetBaudRate")), "RYX_SetBaudRate")

    @property
    def timeouts(self) -> Timeouts:
        """The link time-outs (RYX_GetTimeouts); assign a :class:`ryx.Timeouts` (or four numbers) to change them
        from the next exchange on (RYX_SetTimeouts)."""
        t = _library.LinkTimeouts()
        self._check(self._lib.RYX_GetTimeouts(self._handle, ctypes.byref(t)), "RYX_GetTimeouts")
        return Timeouts(t.statusTimeout, t.statusRetries, t.responseTimeout, t.responseRetries)

    @timeouts.setter
    def timeouts(self, value: "Timeouts | tuple[int, int, int, int]") -> None:
        values = Timeouts(*value)
        t = _library.LinkTimeouts(*(_u32(v, "RYX_SetTimeouts") for v in values))
        self._check(self._lib.RYX_SetTimeouts(self._handle, ctypes.byref(t)), "RYX_SetTimeouts")

    def slot(self, number: int) -> "Slot":
        """The slot ``number`` (0 to slot_count - 1). Raises :class:`ryx.InvalidArgument` for another number."""
        if not 0 <= number < self._slot_count:
            raise InvalidArgument(87, "Reader.slot", f"no slot {number} (slots 0 to {self._slot_count - 1})")
        return Slot(self, number)

    def escape(self, data: Bytes, slot: int = 0) -> bytes:
        """Sends an escape command to the reader and returns its reply (RYX_Control, RYX_CONTROL_ESCAPE).

        A command starting with 0x44 (the line-speed change, see :attr:`baud_rate`) raises
        :class:`ryx.InvalidArgument`; no card in the slot :class:`ryx.CardRemoved`.
        """
        reply = _reply
        command = bytes(data)
        status = self._lib.RYX_Control(self._handle, _u32(slot, "RYX_Control"), ESCAPE, command, len(command),
                                       reply.buffer, MAX_RESPONSE_SIZE, reply.length_pointer)
        if status:
            raise error_for(status, "RYX_Control")
        return bytes(reply.view[:reply.length.value])


class Slot:
    """A card slot of a reader, from :meth:`Reader.slot`."""

    def __init__(self, reader: Reader, number: int) -> None:
        self.reader = reader
        self.number = number
        self._lib = reader._lib
        self._handle = reader._handle

    def __repr__(self) -> str:
        return f"<ryx.Slot {self.number} of {self.reader!r}>"

    def power_on(self) -> bytes:
        """Powers the card on and returns its ATR (RYX_PowerOnIcc). Raises :class:`ryx.CardRemoved` (no card),
        :class:`ryx.UnresponsiveCard` (mute card)."""
        atr = (ctypes.c_uint8 * MAX_ATR_SIZE)()
        length = ctypes.c_uint32(MAX_ATR_SIZE)
        status = self._lib.RYX_PowerOnIcc(self._handle, self.number, atr, ctypes.byref(length))
        if status:
            raise error_for(status, "RYX_PowerOnIcc")
        return bytes(atr[:length.value])

    def power_off(self) -> None:
        """Powers the card off (RYX_PowerOffIcc). Raises :class:`ryx.CardRemoved` when there is no card."""
        status = self._lib.RYX_PowerOffIcc(self._handle, self.number)
        if status:
            raise error_for(status, "RYX_PowerOffIcc")

    @property
    def status(self) -> Status:
        """The card's state, asked of the reader (RYX_GetIccStatus)."""
        value = ctypes.c_uint32()
        status = self._lib.RYX_GetIccStatus(self._handle, self.number, ctypes.byref(value))
        if status:
            raise error_for(status, "RYX_GetIccStatus")
        return Status(value.value)

    def set_protocol(self, protocols: Union[Protocol, int] = Protocol.T0 | Protocol.T1,
                     default_speed: bool = False) -> Protocol:
        """Selects T=0 or T=1 for the powered card, at a speed taken from its ATR, and returns the one chosen
        (RYX_SetProtocol). With both allowed and offered, T=1 is chosen. ``default_speed`` keeps Fi 1 / Di 1.

        Raises :class:`ryx.UnpoweredCard` (power it on first), :class:`ryx.ProtocolMismatch` (the card offers none
        of ``protocols``), :class:`ryx.UnsupportedCard` (unusable ATR), :class:`ryx.InvalidArgument` (neither T0
        nor T1 given).
        """
        flags = _u32(protocols, "RYX_SetProtocol") | (_DEFAULT_SPEED if default_speed else 0)
        active = ctypes.c_uint32()
        status = self._lib.RYX_SetProtocol(self._handle, self.number, flags, ctypes.byref(active))
        if status:
            raise error_for(status, "RYX_SetProtocol")
        return Protocol(active.value)

    def transmit(self, apdu: Bytes) -> Response:
        """Sends a command APDU of any length and returns the card's response (RYX_ExchangeApdu); the library
        chains long ones. Every response up to :data:`ryx.MAX_RESPONSE_SIZE` bytes fits.

        An empty APDU raises :class:`ryx.InvalidArgument`; no card :class:`ryx.CardRemoved`.
        """
        reply = _reply
        reply.length.value = MAX_RESPONSE_SIZE
        command = apdu if type(apdu) is bytes else bytes(apdu)
        status = self._lib.RYX_ExchangeApdu(self._handle, self.number, command, len(command), reply.buffer,
                                            reply.length_pointer)
        if status:
            raise error_for(status, "RYX_ExchangeApdu")
        n, view = reply.length.value, reply.view
        if n < 2:
            return Response(bytes(view[:n]), -1, -1)
        return Response(bytes(view[:n - 2]), view[n - 2], view[n - 1])


def _u32(value: int, function: str) -> int:
    """value as a C uint32_t, or InvalidArgument: ctypes would silently wrap a negative or too large number."""
    value = int(value)
    if not 0 <= value <= 0xFFFFFFFF:
        raise InvalidArgument(87, function, f"{value} is not an unsigned 32-bit number")
    return value
