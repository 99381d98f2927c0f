"""Finding and loading the C library, and the prototypes of its functions."""
from __future__ import annotations

import ctypes
import os
import sys
import threading
from typing import Optional

ENVIRONMENT_VARIABLE = "RYX_LIBRARY"
"""Names the library file to load instead of the system's (a path, or a name the loader finds)."""

_u32 = ctypes.c_uint32
_p_u32 = ctypes.POINTER(ctypes.c_uint32)
_handle = ctypes.c_void_p
_bytes = ctypes.c_char_p  # const uint8_t*: bytes pass without a copy
_buffer = ctypes.c_void_p  # uint8_t* out: a ctypes array


class LinkTimeouts(ctypes.Structure):
    _fields_ = [("statusTimeout", _u32), ("statusRetries", _u32), ("responseTimeout", _u32),
                ("responseRetries", _u32)]


_PROTOTYPES = {
    "RYX_OpenA": (_bytes, ctypes.POINTER(_handle)),
    "RYX_OpenW": (ctypes.c_void_p, ctypes.POINTER(_handle)),
    "RYX_Close": (_handle,),
    "RYX_GetNumSlots": (_handle, _p_u32),
    "RYX_GetBaudRate": (_handle, _p_u32),
    "RYX_SetBaudRate": (_handle, _u32),
    "RYX_GetTimeouts": (_handle, ctypes.POINTER(LinkTimeouts)),
    "RYX_SetTimeouts": (_handle, ctypes.POINTER(LinkTimeouts)),
    "RYX_PowerOnIcc": (_handle, _u32, _buffer, _p_u32),
    "RYX_PowerOffIcc": (_handle, _u32),
    "RYX_SetProtocol": (_handle, _u32, _u32, _p_u32),
    "RYX_GetIccStatus": (_handle, _u32, _p_u32),
    "RYX_ExchangeApdu": (_handle, _u32, _bytes, _u32, _buffer, _p_u32),
    "RYX_Control": (_handle, _u32, _u32, _bytes, _u32, _buffer, _u32, _p_u32),
}

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def default_name() -> str:
    """The library's file name on this system: ``ryx.dll`` on Windows, ``libryx.so.1`` elsewhere."""
    return "ryx.dll" if sys.platform == "win32" else "libryx.so.1"


def library() -> ctypes.CDLL:
    """The loaded library (loaded on the first call): the file RYX_LIBRARY names, else the system's.

    ctypes releases the GIL for the whole of each call into it, so calls on different readers run in parallel.
    Raises OSError, naming the file and the variable, when it cannot be loaded.
    """
    global _loaded
    with _lock:
        if _loaded is None:
            name = os.environ.get(ENVIRONMENT_VARIABLE) or default_name()
            loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # __stdcall on Windows
            try:
                lib = loader(name)
            except OSError as e:
                raise OSError(f"cannot load the ryx library {name!r} ({e}); install it (Debian package libryx1) or "
                              f"name its file in {ENVIRONMENT_VARIABLE}") from e
            for function, argtypes in _PROTOTYPES.items():
                f = getattr(lib, function)
                f.argtypes = argtypes
                f.restype = _u32
            _loaded = lib
        return _loaded
