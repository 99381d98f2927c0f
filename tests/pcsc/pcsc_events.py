"""What the end-to-end test and the pcscd benchmark share: commands to a running ryx_sim through its --control
socket, and waiting, as a PC/SC client does, for a reader's state to change (SCardGetStatusChange).

Needs pyscard (python3-pyscard) for the waiting; the control commands need nothing.
"""
import socket
import time


class ControlError(Exception):
    pass


def control(path, command, timeout=30):
    """Sends one command line to the simulator listening at path; returns its information lines. Raises
    ControlError when it answers 'error: ...' or does not answer within timeout seconds."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall((command + "\n").encode())
        reply = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                raise ControlError(f"{command}: the simulator closed the connection: {reply.decode()!r}")
            reply += chunk
            lines = reply.decode().splitlines()
            if reply.endswith(b"\n") and lines and (lines[-1] == "ok" or lines[-1].startswith("error")):
                if lines[-1] != "ok":
                    raise ControlError(f"{command}: {lines[-1]}")
                return lines[:-1]


class StateWatch:
    """One PC/SC context watching one reader name with SCardGetStatusChange."""

    def __init__(self, reader):
        from smartcard import scard
        self._scard = scard
        self.reader = reader
        rv, self._context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        if rv != scard.SCARD_S_SUCCESS:
            raise RuntimeError(f"SCardEstablishContext: {scard.SCardGetErrorMessage(rv)}")
        self.state = scard.SCARD_STATE_UNAWARE
        self.wait_until(lambda state: True, 10)

    def close(self):
        self._scard.SCardReleaseContext(self._context)

    def wait_until(self, wanted, timeout):
        """Seconds until wanted(event state) holds (0 when it already does); None when timeout seconds pass."""
        scard = self._scard
        start = time.monotonic()
        while True:
            if self.state != scard.SCARD_STATE_UNAWARE and wanted(self.state):
                return time.monotonic() - start
            left = timeout - (time.monotonic() - start)
            if left <= 0:
                return None
            rv, states = scard.SCardGetStatusChange(self._context, int(left * 1000) + 1,
                                                    [(self.reader, self.state)])
            if rv == scard.SCARD_E_TIMEOUT:
                return None
            if rv != scard.SCARD_S_SUCCESS:
                raise RuntimeError(f"SCardGetStatusChange: {scard.SCardGetErrorMessage(rv)}")
            self.state = states[0][1] & ~scard.SCARD_STATE_CHANGED

    def present(self):
        s = self._scard
        return lambda state: bool(state & s.SCARD_STATE_PRESENT) and not state & s.SCARD_STATE_UNAVAILABLE

    def empty(self):
        s = self._scard
        return lambda state: bool(state & s.SCARD_STATE_EMPTY) and not state & s.SCARD_STATE_UNAVAILABLE

    def unavailable(self):
        s = self._scard
        return lambda state: bool(state & (s.SCARD_STATE_UNAVAILABLE | s.SCARD_STATE_UNKNOWN))
