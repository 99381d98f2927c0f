"""The exceptions of the ryx binding: one class for each kind of failure the library reports.

Every failed call raises an instance of :class:`Error` (or of a subclass) carrying the library's status code
(``.code``), the code's name in ``ryx.h`` (``.name``) and the call that failed (``.function``).
"""
from __future__ import annotations

import errno as _errno
import os as _os
from typing import Dict, Optional, Tuple, Type

SYSTEM_BIT = 0x20000000
"""Set in a port error's code when the library passes the OS error number on in the low bits."""


class Error(Exception):
    """A call of the library failed.

    Attributes:
        code: the library's status code (an unsigned 32-bit number, e.g. 0xA0100069).
        name: the code's name in ryx.h (e.g. ``"RYX_W_REMOVED_CARD"``), or its hex form when it has none.
        function: the C function that reported it (e.g. ``"RYX_PowerOnIcc"``).
    """

    def __init__(self, code: int, function: str = "", detail: str = "") -> None:
        self.code = code
        self.name = code_name(code)
        self.function = function
        if isinstance(self, PortError):
            meaning = _PORT_MEANINGS.get(code) or _MEANINGS.get(code, "the port operation failed")
        else:
            meaning = _MEANINGS.get(code, "failed")
        text = f"{meaning} ({self.name}, 0x{code:08X})"
        if function:
            text = f"{function}: {text}"
        if detail:
            text = f"{text}: {detail}"
        super().__init__(text)

    def __reduce__(self):  # keeps the code through pickling (multiprocessing, pytest-xdist)
        return (type(self), (self.code, self.function))


class InvalidHandle(Error):
    """The reader is not open (closed already): RYX_ERROR_INVALID_HANDLE."""


class InvalidArgument(Error):
    """An argument was refused before anything was sent (slot past the count, rate not in the table, empty APDU,
    escape 0x44...): RYX_ERROR_INVALID_PARAMETER, or RYX_ERROR_INVALID_NAME for a port name that is not valid
    UTF-16."""


class ReaderNotAnswering(Error):
    """No valid frame or reply from the reader (unplugged, wrong line speed, not a reader): RYX_ERROR_GEN_FAILURE."""


class BufferTooSmall(Error):
    """A reply was longer than the buffer meant for it: RYX_ERROR_INSUFFICIENT_BUFFER."""


class OutOfMemory(Error):
    """The library could not allocate memory: RYX_ERROR_NOT_ENOUGH_MEMORY."""


class CardRemoved(Error):
    """There is no card in the slot: RYX_W_REMOVED_CARD (RYX_ERROR_NO_MEDIA_IN_DRIVE from an escape command)."""


class UnsupportedCard(Error):
    """The card's ATR cannot be used: RYX_W_UNSUPPORTED_CARD."""


class UnresponsiveCard(Error):
    """The card did not answer the reset, or is mute: RYX_W_UNRESPONSIVE_CARD (RYX_ERROR_TIMEOUT from an escape
    command or a power-off)."""


class UnpoweredCard(Error):
    """The card in the slot is not powered (power it on first): RYX_W_UNPOWERED_CARD."""


class ProtocolMismatch(Error):
    """The card offers no protocol the caller accepts: RYX_E_PROTO_MISMATCH."""


class PortError(Error, OSError):
    """The serial port could not be opened or set up. Also an :class:`OSError`: ``.errno`` and ``.strerror`` are
    the OS error behind the code (ENOENT for RYX_ERROR_FILE_NOT_FOUND, EACCES for RYX_ERROR_ACCESS_DENIED, EIO for
    RYX_ERROR_IO_DEVICE, ENOTTY for a device that is not a serial line, the low bits of a RYX_ERROR_SYSTEM_BIT
    code).
    """

    def __init__(self, code: int, function: str = "", port: str = "") -> None:
        os_error = _os_error(code)
        Error.__init__(self, code, f"{function} {port}".strip(), _os.strerror(os_error) if os_error else "")
        self.errno = os_error
        self.strerror = _os.strerror(os_error) if os_error else None
        self.filename = port or None
        self.function = function

    def __str__(self) -> str:
        return Error.__str__(self)

    def __reduce__(self):
        return (type(self), (self.code, self.function, self.filename or ""))


# code: (name, meaning, class)
_CODES: Dict[int, Tuple[str, str, Type[Error]]] = {
    2: ("RYX_ERROR_FILE_NOT_FOUND", "no such serial port", PortError),
    5: ("RYX_ERROR_ACCESS_DENIED", "port in use or not permitted", PortError),
    6: ("RYX_ERROR_INVALID_HANDLE", "the reader is not open", InvalidHandle),
    8: ("RYX_ERROR_NOT_ENOUGH_MEMORY", "out of memory", OutOfMemory),
    31: ("RYX_ERROR_GEN_FAILURE", "no valid frame or reply from the reader", ReaderNotAnswering),
    87: ("RYX_ERROR_INVALID_PARAMETER", "invalid argument", InvalidArgument),
    122: ("RYX_ERROR_INSUFFICIENT_BUFFER", "the reply is longer than its buffer", BufferTooSmall),
    123: ("RYX_ERROR_INVALID_NAME", "the port name is not well-formed", InvalidArgument),
    1112: ("RYX_ERROR_NO_MEDIA_IN_DRIVE", "there is no card in the slot", CardRemoved),
    1117: ("RYX_ERROR_IO_DEVICE", "I/O error on the port", PortError),
    1460: ("RYX_ERROR_TIMEOUT", "the card is mute", UnresponsiveCard),
    1785: ("RYX_ERROR_UNRECOGNIZED_MEDIA", "the card's ATR is malformed", UnsupportedCard),
    0xA010000F: ("RYX_E_PROTO_MISMATCH", "the card offers no protocol the caller accepts", ProtocolMismatch),
    0xA0100065: ("RYX_W_UNSUPPORTED_CARD", "the card's ATR cannot be used", UnsupportedCard),
    0xA0100066: ("RYX_W_UNRESPONSIVE_CARD", "the card did not answer the reset", UnresponsiveCard),
    0xA0100067: ("RYX_W_UNPOWERED_CARD", "the card in the slot is not powered", UnpoweredCard),
    0xA0100069: ("RYX_W_REMOVED_CARD", "there is no card in the slot", CardRemoved),
}
_PORT_MEANINGS = {87: "not a serial port, or it refuses the line settings", 8: "out of memory"}
_MEANINGS = {code: meaning for code, (_, meaning, _) in _CODES.items()}
# What a port error code stands for on the OS side.
_PORT_ERRNO = {2: _errno.ENOENT, 5: _errno.EACCES, 87: _errno.ENOTTY, 1117: _errno.EIO}
# The calls that touch the port's settings: there an RYX_ERROR_INVALID_PARAMETER the binding did not cause (it
# checks what it passes) is the port's refusal (not a serial line, a line setting refused).
_PORT_CALLS = ("RYX_OpenA", "RYX_OpenW")


def _is_system(code: int) -> bool:
    """Whether code is an OS error number under RYX_ERROR_SYSTEM_BIT (the library's own codes have bit 31 set)."""
    return code & 0xE0000000 == SYSTEM_BIT and code != SYSTEM_BIT


def code_name(code: int) -> str:
    """The name of a status code as in ryx.h; ``RYX_ERROR_SYSTEM_BIT|ENAME`` for a system error; hex otherwise."""
    known = _CODES.get(code)
    if known:
        return known[0]
    if _is_system(code):
        number = code & ~SYSTEM_BIT
        return "RYX_ERROR_SYSTEM_BIT|" + _errno.errorcode.get(number, str(number))
    return f"0x{code:08X}"


def _os_error(code: int) -> Optional[int]:
    if _is_system(code):
        return code & ~SYSTEM_BIT
    return _PORT_ERRNO.get(code)


def error_for(code: int, function: str, port: str = "") -> Error:
    """The exception for a failed call: the subclass that fits the code (and, for port errors, the call)."""
    if _is_system(code) or (code == 87 and function in _PORT_CALLS):
        return PortError(code, function, port)
    cls = _CODES.get(code, (None, None, Error))[2]
    if cls is PortError:
        return PortError(code, function, port)
    return cls(code, function)
