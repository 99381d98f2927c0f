"""A simulated reader for tests: the ``ryx_sim`` program on a pseudo-terminal, with its control socket.

::

    with ryx.sim.Simulator(model="KT6630RS", rate=115200) as sim, ryx.open(sim.port) as reader:
        sim.remove(0)            # the card is pulled out
        sim.insert(0, bytes.fromhex("3B021450"))
        sim.vanish()             # the reader is unplugged ...
        sim.replug()             # ... and plugged in again at sim.port

The simulator is stopped when the ``with`` block ends, whatever ends it.
"""
from __future__ import annotations

import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Union

PROGRAM_VARIABLE = "RYX_SIM"
"""Names the ryx_sim program to run when none is given (default: ryx_sim found on PATH)."""

MODELS = ("KT4470RS", "KT4470RS_V3", "KT6630RS")
"""The reader models the simulator plays: 2, 3 and 3 slots."""

WAIT_S = 30.0
"""The longest wait for the simulator to start, answer a command or stop: generous for a loaded machine."""

Atr = Union[bytes, bytearray, str]


def _answered(answer: bytes) -> bool:
    """Whether answer ends with the line that closes every answer: ok, or error: WHY."""
    if not answer.endswith(b"\n"):
        return False
    last = answer.splitlines()[-1]
    return last == b"ok" or last.startswith(b"error: ")


class SimulatorError(RuntimeError):
    """The simulator could not be started, or a control command failed (the simulator's reason is in the text)."""


def find_program(program: Optional[str] = None) -> str:
    """The ryx_sim to run: ``program``, else the one RYX_SIM names, else ``ryx_sim`` on PATH."""
    name = program or os.environ.get(PROGRAM_VARIABLE) or "ryx_sim"
    found = shutil.which(name)
    if found is None:
        raise SimulatorError(f"cannot find the simulator {name!r}: install ryx-tools, or name it in "
                             f"{PROGRAM_VARIABLE}")
    return found


def _hex(atr: Atr) -> str:
    return atr.replace(" ", "") if isinstance(atr, str) else bytes(atr).hex().upper()


class Simulator:
    """A running ``ryx_sim``: a reader on a pseudo-terminal at :attr:`port`, controlled through :attr:`control`.

    Args:
        model: one of :data:`MODELS` (default KT4470RS, 2 slots).
        rate: the reader's line speed, one of ``ryx.RATES`` (default 9600).
        cards: ``{slot: ATR}`` cards to put in (bytes or hex); slot 0 holds the built-in card unless told.
        empty: slots to leave without a card.
        faults: ``--fault`` arguments, applied in order (e.g. ``"refuse-status:2"``).
        args: further ryx_sim options (``["--wire-time"]``, ``["--trace"]``, ...).
        program: the ryx_sim to run (see :func:`find_program`).

    Attributes:
        port: the reader's port: a link that follows the reader when it is plugged in again.
        control: the path of the control socket.
        tty: the pseudo-terminal the port points at now.
    """

    def __init__(self, model: Optional[str] = None, rate: Optional[int] = None,
                 cards: Optional[Mapping[int, Atr]] = None, empty: Iterable[int] = (), faults: Sequence[str] = (),
                 args: Sequence[str] = (), program: Optional[str] = None) -> None:
        self.program = find_program(program)
        options: List[str] = []
        if model is not None:
            options += ["--model", model]
        if rate is not None:
            options += ["--rate", str(rate)]
        for slot, atr in (cards or {}).items():
            options += ["--card", f"{slot}:{_hex(atr)}"]
        for slot in empty:
            options += ["--no-card", str(slot)]
        for fault in faults:
            options += ["--fault", fault]
        self._options = options + list(args)
        self.port = self.control = self.tty = ""
        self.command: List[str] = []
        self._directory = ""
        self._process: Optional[subprocess.Popen] = None

    def start(self) -> "Simulator":
        """Starts the simulator and waits until its port and control socket are there."""
        self._directory = tempfile.mkdtemp(prefix="ryx-sim-")
        self.port = os.path.join(self._directory, "ttyRYX")
        self.control = os.path.join(self._directory, "control")
        self.command = [self.program, "--link", self.port, "--control", self.control] + self._options
        try:
            with open(self._log_path(), "wb") as log:
                self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                 stderr=log)
            self.tty = self._first_line()
        except BaseException:
            self.stop()
            raise
        return self

    def _log_path(self) -> str:
        return os.path.join(self._directory, "stderr")

    def _first_line(self) -> str:
        assert self._process is not None and self._process.stdout is not None
        out = self._process.stdout
        deadline = time.monotonic() + WAIT_S
        data = b""
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                raise SimulatorError(f"{self.program} printed no port within {WAIT_S:.0f} s: {self.log()}")
            chunk = os.read(out.fileno(), 4096)
            if not chunk:
                code = self._process.wait(WAIT_S)
                raise SimulatorError(f"{' '.join(self.command)} exited with {code}: {self.log()}")
            data += chunk
        return data.decode().splitlines()[0]

    def stop(self) -> None:
        """Stops the simulator (SIGTERM, then SIGKILL if it has not ended within the bound) and removes its
        files. Safe to call more than once."""
        process, self._process = self._process, None
        if process is not None:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(WAIT_S)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(WAIT_S)
            if process.stdout is not None:
                process.stdout.close()
        if self._directory:
            shutil.rmtree(self._directory, ignore_errors=True)

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def log(self) -> str:
        """What the simulator wrote on standard error so far (its trace with ``args=["--trace"]``)."""
        try:
            with open(self._log_path(), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def send(self, command: str) -> List[str]:
        """Sends one control command and returns its information lines; raises :class:`SimulatorError` with the
        simulator's reason when it answers ``error: WHY``."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(WAIT_S)
            s.connect(self.control)
            s.sendall(command.encode() + b"\n")
            answer = b""
            while not _answered(answer):
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        lines = answer.decode().splitlines()
        if not lines or lines[-1] != "ok":
            why = lines[-1] if lines else "no answer"
            raise SimulatorError(f"{command}: {why}")
        return lines[:-1]

    def status(self) -> Dict[str, str]:
        """The reader's state: ``{"reader": "there"|"gone", "model": ..., "rate": ..., "slot 0": "none" or
        "inactive atr=HEX" ...}``."""
        lines = self.send("status")
        words = lines[0].split()
        state: Dict[str, str] = {"reader": words[1]}
        state.update(word.split("=", 1) for word in words[2:])  # type: ignore[misc]
        for line in lines[1:]:
            slot, _, rest = line.partition(" card=")
            state[slot] = rest
        return state

    def insert(self, slot: int, atr: Optional[Atr] = None) -> None:
        """Puts a card in an empty slot: present, not powered (the built-in card's ATR unless given)."""
        self.send(f"insert {slot}" + (f" {_hex(atr)}" if atr is not None else ""))

    def remove(self, slot: int) -> None:
        """Takes the card out of the slot."""
        self.send(f"remove {slot}")

    def set_atr(self, slot: int, atr: Atr) -> None:
        """The slot's card answers its next power-on with this ATR."""
        self.send(f"atr {slot} {_hex(atr)}")

    def mute(self, slot: int, on: bool = True) -> None:
        """The slot's card stops (``on``) or starts again answering power-on."""
        self.send(f"mute {slot} {'on' if on else 'off'}")

    def vanish(self) -> None:
        """Unplugs the reader: its terminal closes and :attr:`port` goes away."""
        self.send("vanish")

    def replug(self) -> None:
        """Plugs the reader in again: a new terminal behind :attr:`port`, at the reader's own line speed, every
        card unpowered."""
        for line in self.send("return"):
            if line.startswith("port "):
                self.tty = line[5:]
