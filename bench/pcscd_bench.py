#!/usr/bin/python3
"""The "through pcscd" block of scripts/bench: the PC/SC driver on a paced 9,600 bit/s line.

One simulated KT4470RS_V3 (3 slots: the built-in card in slot 0, slots 1 and 2 empty) with wire-time emulation at
9,600 bit/s. Measured, and written to --out as "name value" lines for ryx_bench's table:

  direct_apdu_per_s    7-byte command, 4-byte response, through libryx directly on an identical reader
  pcscd_apdu_per_s     the same APDU through pcscd and the driver (pyscard)
  apdu_ratio           through pcscd / direct: the median of the paired rounds' ratios
  idle_queries_per_s   presence queries (GetSlotStatus) the reader answers per second with pcscd idle
  busy_queries_per_s   the same while the APDUs through pcscd run
  insert_s, remove_s   a card put into / taken out of slot 2 until SCardGetStatusChange reports it (the worst of
                       the repetitions)
  recovery_s           the reader unplugged and plugged in again until a client sees slot 0 with its card again

Usage: pcscd_bench.py --sim RYX_SIM --driver LIBIFD_RYX --library LIBRYX [--quick] --out FILE
Needs pcscd and pyscard; its pcscd is a private one beside any pcscd the machine runs (tests/pcsc/private_pcscd.py:
root, or a user where user namespaces are allowed). Exit status 0 when it ran, 1 with a reason on standard error
when it could not.
"""
import argparse
import contextlib
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "pcsc"))
import end_to_end as e2e  # noqa: E402  (the simulators and the tool checks)
from private_pcscd import PrivatePcscd, skip_reason  # noqa: E402
from pcsc_events import StateWatch, control  # noqa: E402

APDU = bytes([0x80, 0x10, 0x00, 0x00, 0x02, 0x01, 0x02])  # ECHO of 2 bytes: 4-byte response
READER = "ryx bench"


class Direct:
    """The library itself on a reader of its own, the card powered and T=0 selected."""

    def __init__(self, library, port):
        self.ryx = ctypes.CDLL(library)
        self.handle = ctypes.c_void_p()
        if self.ryx.RYX_OpenA(port.encode(), ctypes.byref(self.handle)) != 0:
            raise e2e.Failed(f"RYX_OpenA({port}) failed")
        atr = (ctypes.c_uint8 * 64)()
        length = ctypes.c_uint32(64)
        active = ctypes.c_uint32()
        if self.ryx.RYX_PowerOnIcc(self.handle, 0, atr, ctypes.byref(length)) != 0 or \
                self.ryx.RYX_SetProtocol(self.handle, 0, 3, ctypes.byref(active)) != 0:
            raise e2e.Failed("power-on or protocol selection failed")

    def rate(self, seconds):
        command = (ctypes.c_uint8 * len(APDU))(*APDU)
        response = (ctypes.c_uint8 * 258)()
        count, start = 0, time.monotonic()
        while time.monotonic() - start < seconds:
            n = ctypes.c_uint32(258)
            if self.ryx.RYX_ExchangeApdu(self.handle, 0, command, len(APDU), response, ctypes.byref(n)) != 0:
                raise e2e.Failed("RYX_ExchangeApdu failed")
            count += 1
        return count / (time.monotonic() - start)

    def close(self):
        self.ryx.RYX_Close(self.handle)


class ThroughPcscd:
    """A PC/SC client (pyscard's scard layer) on slot 0 of the reader pcscd serves."""

    def __init__(self):
        from smartcard import scard
        self.scard = scard
        rv, self.context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        if rv != scard.SCARD_S_SUCCESS:
            raise e2e.Failed(f"SCardEstablishContext: {scard.SCardGetErrorMessage(rv)}")
        rv, self.card, self.protocol = scard.SCardConnect(self.context, f"{READER} 00 00", scard.SCARD_SHARE_SHARED,
                                                          scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        if rv != scard.SCARD_S_SUCCESS:
            raise e2e.Failed(f"SCardConnect: {scard.SCardGetErrorMessage(rv)}")

    def rate(self, seconds):
        count, start = 0, time.monotonic()
        while time.monotonic() - start < seconds:
            rv, response = self.scard.SCardTransmit(self.card, self.protocol, list(APDU))
            if rv != self.scard.SCARD_S_SUCCESS or response[-2:] != [0x90, 0x00]:
                raise e2e.Failed(f"the APDU through pcscd failed: {self.scard.SCardGetErrorMessage(rv)} {response}")
            count += 1
        return count / (time.monotonic() - start)

    def close(self):
        self.scard.SCardDisconnect(self.card, self.scard.SCARD_LEAVE_CARD)
        self.scard.SCardReleaseContext(self.context)


def count_queries(trace):
    with open(trace) as f:
        return sum(1 for line in f if " rx " in line and "GetSlotStatus" in line)


def card_movements(watch, ctl, repeats):
    """The worst time from a card put into slot 2, and from one taken out, until a client is told."""
    inserted, removed = [], []
    for _ in range(repeats):
        for command, wanted, times in (("insert 2", watch.present, inserted), ("remove 2", watch.empty, removed)):
            control(ctl, command)
            t = watch.wait_until(wanted(), 30)
            if t is None:
                raise e2e.Failed(f"'{command}' not seen by a client within 30 s")
            times.append(t)
    return max(inserted), max(removed)


def run(args, work, figures):
    link = os.path.join(work, "ttyRYX0")
    trace = os.path.join(work, "sim.trace")
    ctl = os.path.join(work, "sim.ctl")
    seconds = 2 if args.quick else args.seconds
    idle_seconds = 5 if args.quick else 30  # many queries counted: the count's rounding does not show
    repeats = 1 if args.quick else 5
    with contextlib.ExitStack() as stack:
        reader_args = ["--model", "KT4470RS_V3", "--wire-time", "--rate", "9600"]
        stack.callback(e2e.start_sim(args.sim, link, trace, reader_args, ctl).stop)
        # The direct figure comes from a second, identical reader: pcscd holds the first one's port.
        direct_link = os.path.join(work, "ttyRYX1")
        stack.callback(e2e.start_sim(args.sim, direct_link, os.path.join(work, "direct.trace"), reader_args).stop)

        conf_dir = os.path.join(work, "reader.conf.d")
        os.mkdir(conf_dir)
        with open(os.path.join(conf_dir, "ryx"), "w") as f:
            f.write(f'FRIENDLYNAME "{READER}"\nDEVICENAME {link}\nLIBPATH {args.driver}\nCHANNELID 1\n')
        pcscd = stack.enter_context(PrivatePcscd(conf_dir, os.path.join(work, "pcscd.log"), ["--info"]))
        os.environ.update(pcscd.env)  # this process's pyscard is the client
        watch = StateWatch(f"{READER} 00 02")
        try:
            watch.wait_until(watch.empty(), 30)
            # Idle: pcscd has powered the card down again after its grace period only if nothing uses it; the count
            # covers what the reader is asked with no client working.
            time.sleep(2)  # settle after start-up (a measurement window, not a wait for an event)
            before, start = count_queries(trace), time.monotonic()
            time.sleep(idle_seconds)
            figures["idle_queries_per_s"] = (count_queries(trace) - before) / (time.monotonic() - start)

            # Paired rounds, direct and through pcscd in turn, so that the machine's changing load favours neither;
            # the figures are medians over the rounds.
            direct, through = Direct(args.library, direct_link), ThroughPcscd()
            rounds = []
            try:
                busy_queries, busy_time = 0, 0.0
                for _ in range(1 if args.quick else args.rounds):
                    d = direct.rate(seconds)
                    before, start = count_queries(trace), time.monotonic()
                    p = through.rate(seconds)
                    busy_queries += count_queries(trace) - before
                    busy_time += time.monotonic() - start
                    rounds.append((d, p))
            finally:
                through.close()
                direct.close()
            figures["direct_apdu_per_s"] = statistics.median(d for d, _ in rounds)
            figures["pcscd_apdu_per_s"] = statistics.median(p for _, p in rounds)
            figures["apdu_ratio"] = statistics.median(p / d for d, p in rounds)
            figures["busy_queries_per_s"] = busy_queries / busy_time
            time.sleep(1)  # the reader idle again before the card is moved
            figures["insert_s"], figures["remove_s"] = card_movements(watch, ctl, repeats)
        finally:
            watch.close()
        slot0 = StateWatch(f"{READER} 00 00")
        try:
            recoveries = []
            for _ in range(1 if args.quick else 3):
                control(ctl, "vanish")
                if slot0.wait_until(slot0.unavailable(), 30) is None:
                    raise e2e.Failed("the vanished reader was not seen as unavailable within 30 s")
                control(ctl, "return")
                t = slot0.wait_until(slot0.present(), 60)
                if t is None:
                    raise e2e.Failed("the reader did not come back within 60 s")
                recoveries.append(t)
            figures["recovery_s"] = max(recoveries)
        except e2e.Failed as failure:
            print(f"pcscd_bench.py: recovery: {failure}", file=sys.stderr)
        finally:
            slot0.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--seconds", type=float, default=5, help="length of each rate measurement (full run)")
    parser.add_argument("--rounds", type=int, default=7, help="paired rounds of the APDU rates (full run)")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    for name in ("sim", "driver", "library"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    reason = skip_reason()
    if reason:
        print(f"pcscd_bench.py: not run: {reason}", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="ryx-pcscd-bench-")
    figures = {}
    try:
        e2e.require_tools()
        run(args, work, figures)
    except (e2e.Failed, OSError, RuntimeError) as failure:
        print(f"pcscd_bench.py: {failure} (logs in {work})", file=sys.stderr)
        return 1
    finally:
        with open(args.out, "w") as f:
            for name, value in figures.items():
                f.write(f"{name} {value:.4f}\n")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
