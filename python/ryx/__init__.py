"""ryx: smart-card readers on a serial line, from Python.

A binding over the ryx C library (libryx.so.1; ryx.dll on Windows) through ctypes: nothing to compile. The
library is the system's, or the file that the environment variable RYX_LIBRARY names.

Example: a simulated reader (ryx.sim runs ryx_sim), the card powered on, a file read::

    import ryx
    import ryx.sim

    with ryx.sim.Simulator() as sim, ryx.open(sim.port) as reader:
        card = reader.slot(0)
        print("ATR", card.power_on().hex(" "))
        card.set_protocol(ryx.T0)
        card.transmit(bytes.fromhex("00A4000002 0101"))  # SELECT file 0101
        response = card.transmit(bytes.fromhex("00B0000010"))  # READ BINARY, 16 bytes
        print(response.data.decode(), hex(response.sw))

What it prints::

    ATR 3b 16 96 52 59 58 53 49 4d
    RYX SIM CARD 1.0 0x9000

The pieces:

- :func:`open` gives a :class:`Reader` (use it in ``with``): ``slot_count``, ``baud_rate`` (set it to one of
  :data:`RATES`), ``timeouts`` (a :class:`Timeouts`), ``escape(data)`` and ``slot(n)``.
- A :class:`Slot`: ``power_on()`` (the ATR), ``power_off()``, ``status`` (a :class:`Status`),
  ``set_protocol(T0 | T1)`` and ``transmit(apdu)``, which gives a :class:`Response` (``data``, ``sw1``, ``sw2``,
  ``sw``).
- Every failure raises an :class:`Error` with ``.code`` and ``.name``; a subclass says what went wrong:
  :class:`InvalidHandle`, :class:`InvalidArgument`, :class:`ReaderNotAnswering`, :class:`CardRemoved`,
  :class:`UnsupportedCard`, :class:`UnresponsiveCard`, :class:`UnpoweredCard`, :class:`ProtocolMismatch`,
  :class:`PortError` (also an OSError, with the OS error), :class:`BufferTooSmall`, :class:`OutOfMemory`.
- Threads: any thread may use any reader; the GIL is released during each call into the library, so readers
  driven by different threads work in parallel.
- :mod:`ryx.sim` starts and controls simulated readers; installed, the package gives pytest the fixtures
  ``ryx_sim`` and ``ryx_reader`` (see :mod:`ryx.pytest_plugin`).
"""
from .errors import (BufferTooSmall, CardRemoved, Error, InvalidArgument, InvalidHandle, OutOfMemory, PortError,
                     ProtocolMismatch, ReaderNotAnswering, UnpoweredCard, UnresponsiveCard, UnsupportedCard,
                     code_name)
from .reader import (MAX_ATR_SIZE, MAX_RESPONSE_SIZE, RATES, T0, T1, Protocol, Reader, Response, Slot, Status,
                     Timeouts, open)

__version__ = "1.0.1"

__all__ = [
    "open", "Reader", "Slot", "Response", "Timeouts", "Status", "Protocol", "T0", "T1", "RATES", "MAX_ATR_SIZE",
    "MAX_RESPONSE_SIZE", "Error", "InvalidHandle", "InvalidArgument", "ReaderNotAnswering", "CardRemoved",
    "UnsupportedCard", "UnresponsiveCard", "UnpoweredCard", "ProtocolMismatch", "PortError", "BufferTooSmall",
    "OutOfMemory", "code_name",
]
