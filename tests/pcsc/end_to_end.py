#!/usr/bin/python3
"""End-to-end test of libifd_ryx.so: pcscd loads the driver for two simulated ryx readers, real PC/SC clients use them.

  ryx_sim (3 slots, escape allowed) --\
                                       pcscd -c reader.conf -- pcsc_scan, pyscard, opensc-tool
  ryx_sim (2 slots) ------------------/

The test's pcscd is a private one (private_pcscd.py) beside any pcscd the machine runs. Where none can run (not root
and no user namespaces) the test is skipped with the reason (exit status 77). Every wait is bounded and every process
the test starts is stopped before it ends, whatever happens.

Usage: end_to_end.py --sim PATH/ryx_sim --driver PATH/libifd_ryx.so
"""
import argparse
import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from private_pcscd import PrivatePcscd, skip_reason  # noqa: E402

SKIPPED = 77  # the exit status ctest is told means skipped

START_WAIT_S = 30
CLIENT_WAIT_S = 60
STOP_WAIT_S = 30
# Generous bounds for what the benchmark holds to 2 s (a card moved) and 5 s (a reader back): the test proves the
# events arrive on a loaded machine, the benchmark measures how fast.
EVENT_WAIT_S = 15
RECOVERY_WAIT_S = 30
SYSTEM_PYTHON = "/usr/bin/python3"  # where Debian's pyscard is importable

BUILT_IN_ATR_OPENSC = "3b:16:96:52:59:58:53:49:4d"
READER_A = "ryx e2e"      # KT4470RS_V3: built-in card in slot 0, slots 1 and 2 empty; escape commands allowed
READER_B = "ryx e2e two"  # KT4470RS: slot 0 empty, built-in card in slot 1
READER_NAMES = [f"{READER_A} 00 00", f"{READER_A} 00 01", f"{READER_A} 00 02",
                f"{READER_B} 01 00", f"{READER_B} 01 01"]


class Failed(Exception):
    pass


def check(condition, what, detail=""):
    if not condition:
        raise Failed(f"{what}{': ' + detail if detail else ''}")
    print(f"ok: {what}", flush=True)


def _on_term(signum, frame):
    raise Failed(f"stopped by signal {signum}")


def require_tools():
    missing = [t for t in ("pcscd", "pcsc_scan", "opensc-tool") if shutil.which(t) is None]
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        missing.append(SYSTEM_PYTHON)
    if missing:
        raise Failed(f"missing {', '.join(missing)}: run scripts/setup-deps "
                      f"(packages pcscd pcsc-tools opensc python3-pyscard)")
    r = subprocess.run([SYSTEM_PYTHON, "-c", "import smartcard"], capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise Failed(f"pyscard is not importable from {SYSTEM_PYTHON}: install python3-pyscard")


class Child:
    """A started program whose standard output lines are collected by a thread and can be waited for; its standard
    error goes to log_path (ryx_sim prints its pty path on stdout and traces on stderr)."""

    def __init__(self, name, argv, log_path):
        self.name = name
        self.lines = []
        self._cond = threading.Condition()
        self._log = open(log_path, "w")
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self._log, text=True,
                                     start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def wait_for_line(self, pattern, timeout):
        """The first line matching pattern; None when the program ended or the time ran out first."""
        regex = re.compile(pattern)
        end = time.monotonic() + timeout
        with self._cond:
            seen = 0
            while True:
                for line in self.lines[seen:]:
                    if regex.search(line):
                        return line
                seen = len(self.lines)
                left = end - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    return None
                self._cond.wait(min(left, 0.5))

    def stop(self, sig=signal.SIGINT, timeout=STOP_WAIT_S):
        """Sends sig and waits for the end; kills after timeout. Returns the exit status (None if it was killed)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                print(f"{self.name} did not stop within {timeout} s: killed", flush=True)
                self.proc.kill()
                self.proc.wait(10)
                return None
        self._reader.join(10)
        self._log.close()
        return self.proc.returncode


def start_sim(sim, link, trace, extra, control=None):
    argv = [sim, "--trace", "--link", link] + (["--control", control] if control else []) + extra
    child = Child(f"ryx_sim {os.path.basename(link)}", argv, trace)
    line = child.wait_for_line(r"^/dev/", START_WAIT_S)
    if line is None:
        child.stop()
        raise Failed(f"ryx_sim did not start: {open(trace).read()[-2000:]}")
    check(os.path.realpath(link) == line, f"ryx_sim serves {line} as {link}")
    return child


def run_client(argv, what):
    try:
        r = subprocess.run(argv, capture_output=True, text=True, timeout=CLIENT_WAIT_S)
    except subprocess.TimeoutExpired:
        raise Failed(f"{what}: no answer within {CLIENT_WAIT_S} s")
    out = r.stdout + r.stderr
    if r.returncode != 0:
        raise Failed(f"{what} exited with {r.returncode}:\n{out}")
    return out


def powered_off_slots(trace_path, offset):
    """The slots a simulator was told to power off after `offset` bytes of its trace."""
    with open(trace_path) as f:
        f.seek(offset)
        return sorted({int(m.group(1)) for m in re.finditer(r"rx \d+ IccPowerOff .*?bSlot=(\d+)", f.read())})


def opensc_sees_extended_apdus():
    """OpenSC reads the reader's TLV properties: 64 KiB APDU data. (Whether OpenSC then sends an extended APDU is
    up to its card driver: its generic one refuses them for any card, before they reach PC/SC.)"""
    r = subprocess.run(["opensc-tool", "--reader", "0", "--atr"], capture_output=True, text=True,
                       timeout=CLIENT_WAIT_S, env=dict(os.environ, OPENSC_DEBUG="9"))
    check(r.returncode == 0 and re.search(r"dwMaxAPDUDataSize property returned 65536", r.stderr) is not None,
          "OpenSC reads dwMaxAPDUDataSize 65536 from the reader", r.stderr[-2000:])


def expect_event(watch, state, bound, what):
    """Waits up to bound seconds for the watched reader to reach state; checks it and shows how long it took."""
    seen = watch.wait_until(state, bound)
    check(seen is not None, what, f"not within {bound} s")
    print(f"    (after {seen:.2f} s)", flush=True)


def card_movements(control):
    """A card put into an empty slot and taken out, through the simulator's control, is seen by a client."""
    from pcsc_events import StateWatch, control as send
    watch = StateWatch(READER_NAMES[2])
    try:
        check(watch.wait_until(watch.empty(), EVENT_WAIT_S) is not None, "slot 2 of the first reader is empty")
        send(control, "insert 2")
        expect_event(watch, watch.present(), EVENT_WAIT_S, "a card inserted is seen by SCardGetStatusChange")
        send(control, "remove 2")
        expect_event(watch, watch.empty(), EVENT_WAIT_S, "a card removed is seen by SCardGetStatusChange")
    finally:
        watch.close()


def reader_comes_back(control):
    """The reader is unplugged and plugged in again on the same path: clients see it unavailable, then back with
    its card, without a restart of pcscd."""
    from pcsc_events import StateWatch, control as send
    watch = StateWatch(READER_NAMES[0])
    try:
        send(control, "vanish")
        check(watch.wait_until(watch.unavailable(), EVENT_WAIT_S) is not None,
              "a vanished reader is unavailable to clients", f"not within {EVENT_WAIT_S} s")
        out = subprocess.run(["opensc-tool", "--reader", "0", "--atr"], capture_output=True, text=True,
                             timeout=CLIENT_WAIT_S)
        check(out.returncode != 0, "a client's call fails at once while the reader is gone", out.stdout + out.stderr)
        send(control, "return")
        expect_event(watch, watch.present(), RECOVERY_WAIT_S, "the reader and its card are back for clients")
    finally:
        watch.close()
    out = run_client(["opensc-tool", "--reader", "0", "--send-apdu", "00:A4:00:0C:02:01:01",
                      "--send-apdu", "00:B0:00:00:10"], "opensc-tool --send-apdu after the return")
    check(out.count("SW1=0x90, SW2=0x00") == 2 and "RYX SIM CARD 1.0" in out, "the card answers after the return",
          out)


def run(args, work):
    link_a = os.path.join(work, "ttyRYX0")
    link_b = os.path.join(work, "ttyRYX1")
    trace_a = os.path.join(work, "sim0.trace")
    trace_b = os.path.join(work, "sim1.trace")
    with contextlib.ExitStack() as stack:
        # pcscd refuses a DEVICENAME that does not exist yet: the readers come first.
        control_a = os.path.join(work, "sim0.ctl")
        sim_a = start_sim(args.sim, link_a, trace_a, ["--model", "KT4470RS_V3", "--firmware", "KT4470RS_V3 2.05"],
                          control_a)
        stack.callback(sim_a.stop)
        sim_b = start_sim(args.sim, link_b, trace_b, ["--no-card", "0", "--card", "1:3B169652595853494D"])
        stack.callback(sim_b.stop)

        conf_dir = os.path.join(work, "reader.conf.d")
        os.mkdir(conf_dir)
        with open(os.path.join(conf_dir, "ryx"), "w") as f:
            f.write(f'FRIENDLYNAME "{READER_A}"\nDEVICENAME {link_a}:escape\nLIBPATH {args.driver}\nCHANNELID 1\n\n'
                    f'FRIENDLYNAME "{READER_B}"\nDEVICENAME {link_b}\nLIBPATH {args.driver}\nCHANNELID 2\n')
        pcscd = stack.enter_context(PrivatePcscd(conf_dir, os.path.join(work, "pcscd.log"), ["--debug", "--apdu"]))
        check(pcscd.wait_for("daemon ready"), "pcscd started with the driver and accepts clients")
        # Every client, this process's pyscard included, reaches the private pcscd.
        os.environ.update(pcscd.env)

        out = run_client(["pcsc_scan", "-r"], "pcsc_scan -r")
        listed = re.findall(r"^\s*(\d+): (.+?)\s*$", out, re.M)
        check([name for _, name in listed] == READER_NAMES, "pcsc_scan -r lists every slot of both readers", out)

        out = run_client([SYSTEM_PYTHON, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "pyscard_client.py")] + READER_NAMES, "pyscard client")
        print("\n".join("  pyscard " + line for line in out.splitlines()), flush=True)

        out = run_client(["opensc-tool", "--reader", "0", "--atr"], "opensc-tool --atr")
        check(BUILT_IN_ATR_OPENSC in out.lower(), "opensc-tool reads the ATR", out)
        out = run_client(["opensc-tool", "--reader", "0", "--send-apdu", "00:A4:00:0C:02:01:01",
                          "--send-apdu", "00:B0:00:00:10"], "opensc-tool --send-apdu")
        check(out.count("SW1=0x90, SW2=0x00") == 2 and "RYX SIM CARD 1.0" in out,
              "opensc-tool sends SELECT and READ BINARY", out)

        opensc_sees_extended_apdus()
        card_movements(control_a)
        reader_comes_back(control_a)

        # SIGINT makes pcscd close every channel (SIGTERM would not); the readers must see every slot powered off.
        marks = (os.path.getsize(trace_a), os.path.getsize(trace_b))
        status = pcscd.stop(signal.SIGINT)
        # pcscd reports a shutdown by signal with status 1; what counts is that it cleaned up on its own.
        check(status is not None and status >= 0 and "at_exit() cleaning" in pcscd.log(),
              "pcscd shuts down cleanly on SIGINT", f"status {status}")
        check("Unloading reader driver" in pcscd.log(), "pcscd unloaded the driver")
        check(powered_off_slots(trace_a, marks[0]) == [0, 1, 2], "the first reader's slots were powered off",
              str(powered_off_slots(trace_a, marks[0])))
        check(powered_off_slots(trace_b, marks[1]) == [0, 1], "the second reader's slots were powered off",
              str(powered_off_slots(trace_b, marks[1])))
        for sim, link in ((sim_a, link_a), (sim_b, link_b)):
            check(sim.stop() == 0 and not os.path.lexists(link), f"ryx_sim for {os.path.basename(link)} ended")


def tail(path, lines=60):
    try:
        with open(path) as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def run_reporting(prefix, logs, body):
    """Runs body(work) in a new folder work. Then prints PASSED and removes the folder (status 0), or prints FAILED
    with the last lines of each of the logs (file names in work) and keeps the folder for a look (status 1)."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        body(work)
    except (Failed, RuntimeError, subprocess.TimeoutExpired) as e:
        print(f"FAILED: {e}", flush=True)
        for name in logs:
            print(f"--- last lines of {name} (all in {work}) ---\n{tail(os.path.join(work, name))}", flush=True)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("PASSED", flush=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the ryx_sim program")
    parser.add_argument("--driver", required=True, help="the built libifd_ryx.so")
    args = parser.parse_args()
    args.sim = os.path.abspath(args.sim)
    args.driver = os.path.abspath(args.driver)
    signal.signal(signal.SIGTERM, _on_term)

    reason = skip_reason()
    if reason:
        print(f"SKIPPED: {reason}", flush=True)
        return SKIPPED

    def body(work):
        require_tools()
        run(args, work)

    return run_reporting("ryx-pcsc-", ("pcscd.log", "sim0.trace", "sim1.trace"), body)


if __name__ == "__main__":
    sys.exit(main())
