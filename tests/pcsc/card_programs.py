#!/usr/bin/python3
"""Real smart-card programs on described cards, through a private pcscd, libifd_ryx.so and ryx_sim:

  ryx_sim  slot 0 examples/cards/openpgp.toml     -- gpg --card-status, --card-edit (login, passwd), openpgp-tool
           slot 1 examples/cards/filesystem.toml  -- scriptor (transcript), opensc-tool -s
           slot 2 a card program over the vpcd protocol (this test's own) -- pyscard, then garbage: mute

Usage: card_programs.py --sim PATH/ryx_sim --driver PATH/libifd_ryx.so --examples DIR
"""
import argparse
import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from end_to_end import (SKIPPED, SYSTEM_PYTHON, Failed, check, run_client, run_reporting,  # noqa: E402
                        start_sim, _on_term)
from private_pcscd import PrivatePcscd, skip_reason  # noqa: E402

READER = "ryx cards"
PCSC_LIB = "/usr/lib/x86_64-linux-gnu/libpcsclite.so.1"
VPCD_ATR = bytes.fromhex("3B 02 14 50")
WAIT_S = 60

# scriptor's transcript on the file-system card: every line it prints after the reader line.
SCRIPTOR_IN = """00 A4 04 0C 08 A0 00 00 05 52 59 58 02
00 A4 02 0C 02 50 01
00 B0 00 00 06
00 20 00 01 04 31 32 33 34
00 B0 00 00 06
"""
SCRIPTOR_OUT = """> 00 A4 04 0C 08 A0 00 00 05 52 59 58 02
< 90 00 : Normal processing.
> 00 A4 02 0C 02 50 01
< 90 00 : Normal processing.
> 00 B0 00 00 06
< 69 82 : Command not allowed. Security status not satisfied.
> 00 20 00 01 04 31 32 33 34
< 90 00 : Normal processing.
> 00 B0 00 00 06
< 73 65 63 72 65 74 90 00 : Normal processing.
"""


def wait_for_status(sim, control, text):
    """The control socket's status once it holds `text` (a card program's connection is seen on its own thread)."""
    end = time.monotonic() + WAIT_S
    while True:
        out = run_client([sim, "--control", control, "--send", "status"], "status")
        if text in out or time.monotonic() > end:
            return out
        time.sleep(0.1)


class VpcdCardProgram:
    """A card program on the vpcd protocol: the ATR on 04, each APDU answered with its INS byte and 90 00; `garbage`
    makes it answer the next APDU with one byte."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
        self.garbage = False
        self.stall = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _serve(self):
        try:
            while True:
                size = int.from_bytes(self._read(2), "big")
                msg = self._read(size)
                if msg == b"\x04":
                    answer = VPCD_ATR
                elif len(msg) == 1:
                    continue  # power off, on, reset: no answer
                elif self.stall:
                    continue  # never answers
                else:
                    answer = b"\x00" if self.garbage else bytes([msg[1], 0x90, 0x00])
                self.sock.sendall(len(answer).to_bytes(2, "big") + answer)
        except (EOFError, OSError):
            pass

    def close(self):
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the serving thread; a bare close would not send the FIN
        self.sock.close()


def gpg(home, env, args, stdin=None, batch=True):
    argv = ["gpg", "--homedir", home, "--no-tty"] + (["--batch"] if batch else []) + args
    r = subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=WAIT_S, env=env)
    return r.returncode, r.stdout + r.stderr


def card_status(home, env):
    status, out = gpg(home, env, ["--card-status"])
    if status != 0:
        raise Failed(f"gpg --card-status exited with {status}:\n{out}")
    return out


def run(args, work):
    link = os.path.join(work, "ttyRYX0")
    control = os.path.join(work, "sim.ctl")
    with socket.socket() as s:  # a free port for the vpcd card
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with contextlib.ExitStack() as stack:
        sim = start_sim(args.sim, link, os.path.join(work, "sim.trace"),
                        ["--model", "KT4470RS_V3", "--card", f"0:{args.examples}/openpgp.toml",
                         "--card", f"1:{args.examples}/filesystem.toml", "--card", f"2:vpcd:{port}"], control)
        stack.callback(sim.stop)
        conf_dir = os.path.join(work, "reader.conf.d")
        os.mkdir(conf_dir)
        with open(os.path.join(conf_dir, "ryx"), "w") as f:
            f.write(f'FRIENDLYNAME "{READER}"\nDEVICENAME {link}\nLIBPATH {args.driver}\nCHANNELID 1\n')
        pcscd = stack.enter_context(PrivatePcscd(conf_dir, os.path.join(work, "pcscd.log"), ["--debug", "--apdu"]))
        env = pcscd.env

        # GnuPG: its agent, started by the first gpg, passes PCSCLITE_CSOCK_NAME on to scdaemon.
        home = os.path.join(work, "gnupg")
        os.mkdir(home, 0o700)
        with open(os.path.join(home, "scdaemon.conf"), "w") as f:
            f.write(f"disable-ccid\npcsc-driver {PCSC_LIB}\nreader-port {READER} 00 00\n")
        stack.callback(subprocess.run, ["gpgconf", "--homedir", home, "--kill", "all"], env=env, timeout=WAIT_S)
        out = card_status(home, env)
        for line in ("Serial number ....: 00000001", "Name of cardholder: Jane Doe", "Language prefs ...: en",
                     "URL of public key : https://keys.example.org/jane.asc", "Login data .......: jane",
                     "Signature counter : 0", "PIN retry counter : 3 0 3"):
            check(line in out, f"gpg --card-status shows '{line}'", out)
        status, out = gpg(home, env, ["--pinentry-mode", "loopback", "--command-fd", "0", "--status-fd", "1",
                                      "--card-edit"], "admin\nlogin\njohn\n12345678\nquit\n")
        check(status == 0, "gpg --card-edit changes the login data with the admin PIN", out)
        out = card_status(home, env)
        check("Login data .......: john" in out, "the next gpg --card-status shows the new login data", out)
        # passwd (PW1): the right PIN changes it; a wrong one counts down.
        for old_pin, what in (("123456", "SC_OP_SUCCESS"), ("111111", "SC_OP_FAILURE")):
            status, out = gpg(home, env, ["--pinentry-mode", "loopback", "--command-fd", "0", "--status-fd", "1",
                                          "--card-edit"], f"passwd\n{old_pin}\n654321\n654321\nquit\n", batch=False)
            check(f"[GNUPG:] {what}" in out, f"gpg --card-edit passwd with the PIN {old_pin}: {what}", out)
        out = card_status(home, env)
        check("PIN retry counter : 2 0 3" in out, "the wrong PIN counted down", out)
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"], env=env, timeout=WAIT_S)
        r = subprocess.run(["openpgp-tool", "--reader", f"{READER} 00 00"], capture_output=True, text=True,
                           timeout=WAIT_S, env=env)
        check("Account:         john\n" in r.stdout and "Name:            Doe Jane\n" in r.stdout,
              "openpgp-tool reads the same data", r.stdout + r.stderr)
        out = run_client([args.sim, "--control", control, "--send", "status"], "status")
        check("  object 5E 6A6F686E\n  pin 81 retries 2/3\n  pin 81 changed\n" in out,
              "ryx_sim's status shows what the card's commands changed", out)

        r = subprocess.run(["scriptor", "-r", f"{READER} 00 01"], input=SCRIPTOR_IN, capture_output=True, text=True,
                           timeout=WAIT_S, env=env)
        got = "\n".join(line for line in r.stdout.splitlines() if line[:2] in ("> ", "< ")) + "\n"
        check(got == SCRIPTOR_OUT, "scriptor's transcript on the file-system card", r.stdout + r.stderr)
        r = subprocess.run(["opensc-tool", "--reader", f"{READER} 00 01", "-s", "00:B0:81:00:05"],
                           capture_output=True, text=True, timeout=WAIT_S, env=env)
        check("48 65 6C 6C 6F" in r.stdout and "SW1=0x90, SW2=0x00" in r.stdout,
              "opensc-tool -s reads the EF by its SFI", r.stdout + r.stderr)

        card = VpcdCardProgram(port)
        stack.callback(card.close)
        client = f"""
import sys, time
from smartcard.System import readers
from smartcard.Exceptions import NoCardException, CardConnectionException
r = [r for r in readers() if str(r) == "{READER} 00 02"][0]
end = time.monotonic() + {WAIT_S}
while True:  # until the card program's card is in
    try:
        c = r.createConnection(); c.connect(); break
    except NoCardException:
        if time.monotonic() > end: sys.exit("no card")
        time.sleep(0.1)
print(bytes(c.getATR()).hex(), flush=True)
for line in sys.stdin:  # a transmit for each line
    try:
        print(c.transmit([0x00, 0xB2, 0x01, 0x0C, 0x00]), flush=True)
    except CardConnectionException:
        print("mute", flush=True)
"""
        p = subprocess.Popen([SYSTEM_PYTHON, "-c", client], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, env=env)
        p.stdin.write("\n")
        p.stdin.flush()
        first = p.stdout.readline() + p.stdout.readline()
        check(first == f"{VPCD_ATR.hex()}\n([178], 144, 0)\n", "pyscard reaches the vpcd card program", first)
        card.garbage = True
        out, _ = p.communicate("\n", timeout=WAIT_S)
        check("mute" in out, "a card program that answers garbage leaves its slot mute", out)
        out = run_client([args.sim, "--control", control, "--send", "status"], "status")
        check("slot 2 card=mute" in out, "ryx_sim reports the slot's card mute", out)
        card.close()
        out = wait_for_status(args.sim, control, "slot 2 card=none")
        check("slot 2 card=none" in out, "the card program's disconnect takes the card out", out)

        # A card program that stops answering: the slot goes mute after the answer time, the others serve on.
        card = VpcdCardProgram(port)
        stack.callback(card.close)
        card.stall = True
        p = subprocess.Popen([SYSTEM_PYTHON, "-c", client], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, env=env)
        out, _ = p.communicate("\n", timeout=WAIT_S)
        check(out == f"{VPCD_ATR.hex()}\nmute\n", "a card program that stalls leaves its slot mute", out)
        r = subprocess.run(["opensc-tool", "--reader", f"{READER} 00 01", "-s", "00:B0:81:00:05"],
                           capture_output=True, text=True, timeout=WAIT_S, env=env)
        check("48 65 6C 6C 6F" in r.stdout, "the other slots serve on", r.stdout + r.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--examples", required=True)
    args = parser.parse_args()
    args.sim, args.driver, args.examples = map(os.path.abspath, (args.sim, args.driver, args.examples))
    signal.signal(signal.SIGTERM, _on_term)
    reason = skip_reason()
    if reason:
        print(f"SKIPPED: {reason}", flush=True)
        return SKIPPED
    return run_reporting("ryx-cards-", ("pcscd.log", "sim.trace"), lambda work: run(args, work))


if __name__ == "__main__":
    sys.exit(main())
