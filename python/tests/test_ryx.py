"""The binding against ryx_sim: every call, each failure as its exception, 64 KiB both ways, two readers on two
threads, the simulator's controls and the pytest fixtures."""
import errno
import os
import threading
import time

import pytest

import ryx
import ryx.sim

BUILT_IN_ATR = bytes.fromhex("3B169652595853494D")
WAIT_S = 60


@pytest.mark.parametrize("ryx_reader, model, slots, rate", [
    (None, "KT4470RS", 2, 9600),
    ({"model": "KT4470RS_V3", "rate": 19200}, "KT4470RS_V3", 3, 19200),
    ("KT6630RS", "KT6630RS", 3, 9600),
], indirect=["ryx_reader"])
def test_fixture_opens_the_model_at_its_rate(ryx_reader, ryx_sim, model, slots, rate):
    assert (ryx_reader.slot_count, ryx_reader.baud_rate, ryx_sim.status()["model"]) == (slots, rate, model)


def test_every_call(ryx_reader, ryx_sim):
    card = ryx_reader.slot(0)
    assert card.status == ryx.Status.PRESENT
    assert card.power_on() == BUILT_IN_ATR
    assert card.status == ryx.Status.POWERED
    assert card.set_protocol(ryx.T0 | ryx.T1) == ryx.T0  # the built-in card offers T=0 only
    assert card.set_protocol(ryx.T0, default_speed=True) == ryx.T0
    assert card.transmit(bytes.fromhex("00A40000020101")) == (b"", 0x90, 0x00)
    response = card.transmit(bytearray.fromhex("00B0000010"))
    assert (response.data, response.sw1, response.sw2, response.sw) == (b"RYX SIM CARD 1.0", 0x90, 0x00, 0x9000)
    assert card.transmit(bytes.fromhex("00B0000000")).sw == 0x6282  # Le 256: the file ends first
    assert ryx_reader.escape(bytes.fromhex("E000001800")) == bytes.fromhex("E10000000D") + b"KT4470RS 1.07"
    assert ryx_reader.timeouts == ryx.Timeouts(2000, 1, 10000, 1)
    ryx_reader.timeouts = (5, 6, 7, 8)
    assert ryx_reader.timeouts == (5, 6, 7, 8)
    ryx_reader.baud_rate = 115200
    assert (ryx_reader.baud_rate, ryx_sim.status()["rate"]) == (115200, "115200")
    assert card.transmit(bytes.fromhex("8010000002CAFE")) == (b"\xCA\xFE", 0x90, 0x00)
    card.power_off()
    assert card.status == ryx.Status.PRESENT
    ryx_sim.remove(0)
    assert card.status == ryx.Status.ABSENT
    ryx_sim.insert(0, "3B 02 14 50")
    assert card.power_on() == bytes.fromhex("3B021450")


@pytest.mark.parametrize("ryx_reader", ["KT4470RS", "KT6630RS"], indirect=True)  # blocks of 261 and 506 bytes
def test_64_kib_both_ways(ryx_reader):
    card = ryx_reader.slot(0)
    card.power_on()
    data = bytes(i * 7 & 0xFF for i in range(65535))
    assert card.transmit(bytes.fromhex("8010000000FFFF") + data) == (data, 0x90, 0x00)  # ECHO, extended Lc
    assert card.transmit(bytes.fromhex("80120000000000")) == (bytes(range(256)) * 256, 0x90, 0x00)  # Le 65536


def power_on(reader):
    return reader.slot(0).power_on()


def power_on_and_select(protocols):
    return lambda reader: (power_on(reader), reader.slot(0).set_protocol(protocols))


@pytest.mark.parametrize("ryx_reader, call, exception, code, name, function", [
    ({}, lambda r: r.slot(0).set_protocol(), ryx.UnpoweredCard, 0xA0100067, "RYX_W_UNPOWERED_CARD",
     "RYX_SetProtocol"),
    ({}, power_on_and_select(ryx.T1), ryx.ProtocolMismatch, 0xA010000F, "RYX_E_PROTO_MISMATCH", "RYX_SetProtocol"),
    ({"empty": [0]}, power_on, ryx.CardRemoved, 0xA0100069, "RYX_W_REMOVED_CARD", "RYX_PowerOnIcc"),
    ({"args": ["--mute", "0"]}, power_on, ryx.UnresponsiveCard, 0xA0100066, "RYX_W_UNRESPONSIVE_CARD",
     "RYX_PowerOnIcc"),
    ({"cards": {0: b"\x3B\x02\x14"}}, power_on_and_select(ryx.T0), ryx.UnsupportedCard, 0xA0100065,
     "RYX_W_UNSUPPORTED_CARD", "RYX_SetProtocol"),
    ({"faults": ["pass:1", "wrong-type"]}, power_on, ryx.ReaderNotAnswering, 31, "RYX_ERROR_GEN_FAILURE",
     "RYX_PowerOnIcc"),
    ({}, lambda r: r.slot(0).transmit(b""), ryx.InvalidArgument, 87, "RYX_ERROR_INVALID_PARAMETER",
     "RYX_ExchangeApdu"),
    ({}, lambda r: setattr(r, "baud_rate", 12345), ryx.InvalidArgument, 87, "RYX_ERROR_INVALID_PARAMETER",
     "RYX_SetBaudRate"),
    ({}, lambda r: r.escape(b"\x44\x01"), ryx.InvalidArgument, 87, "RYX_ERROR_INVALID_PARAMETER", "RYX_Control"),
    ({}, lambda r: (r.close(), r.slot_count), ryx.InvalidHandle, 6, "RYX_ERROR_INVALID_HANDLE", "RYX_GetNumSlots"),
    ({}, lambda r: r.slot(2), ryx.InvalidArgument, 87, "RYX_ERROR_INVALID_PARAMETER", "Reader.slot"),
], indirect=["ryx_reader"])
def test_failure_raises_its_exception(ryx_reader, call, exception, code, name, function):
    with pytest.raises(exception) as caught:
        call(ryx_reader)
    e = caught.value
    assert (type(e), e.code, e.name, e.function) == (exception, code, name, function)
    assert str(e).startswith(f"{function}: ") and f" ({name}, 0x{code:08X})" in str(e)


@pytest.mark.parametrize("port, code, name, os_error, message", [
    ("/nonexistent/ttyS0", 2, "RYX_ERROR_FILE_NOT_FOUND", errno.ENOENT, "no such serial port"),
    ("/dev/null", 87, "RYX_ERROR_INVALID_PARAMETER", errno.ENOTTY,
     "not a serial port, or it refuses the line settings"),
    ("/dev/null/ttyS0", 0x20000000 | errno.ENOTDIR, "RYX_ERROR_SYSTEM_BIT|ENOTDIR", errno.ENOTDIR,
     "the port operation failed"),
])
def test_port_error_carries_the_os_error(port, code, name, os_error, message):
    with pytest.raises(OSError) as caught:
        ryx.open(port)
    e = caught.value
    assert isinstance(e, ryx.PortError)
    assert (e.code, e.name, e.errno, e.strerror, e.filename) == (code, name, os_error, os.strerror(os_error), port)
    assert str(e) == f"RYX_OpenA {port}: {message} ({name}, 0x{code:08X}): {os.strerror(os_error)}"


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        assert time.monotonic() < deadline, f"no {what} within {WAIT_S} s"
        time.sleep(0.01)


def test_two_readers_on_two_threads_run_in_parallel():
    # Reader A's exchange stays inside the library (its reader never acknowledges) until A is unplugged; meanwhile
    # reader B's thread completes exchanges. Were the GIL held during A's call, B could not run at all.
    with ryx.sim.Simulator(faults=["pass:1", "no-status:1000"], args=["--trace"]) as sim_a, \
            ryx.sim.Simulator() as sim_b, ryx.open(sim_a.port) as a, ryx.open(sim_b.port) as b:
        a.timeouts = (600000, 0, 600000, 0)
        outcome = {}

        def run(name, call):
            try:
                outcome[name] = call()
            except ryx.Error as e:
                outcome[name] = e

        thread_a = threading.Thread(target=run, args=("a", lambda: a.slot(0).transmit(b"\x80\x10\x00\x00\x01\x55")),
                                    daemon=True)
        thread_a.start()
        wait_for(lambda: "(fault no-status)" in sim_a.log(), "command frame at reader A")
        thread_b = threading.Thread(target=run, args=("b", lambda: [b.slot(0).power_on()] + [
            b.slot(0).transmit(b"\x80\x10\x00\x00\x01\x55") for _ in range(20)]), daemon=True)
        thread_b.start()
        thread_b.join(WAIT_S)
        assert outcome["b"][0] == BUILT_IN_ATR and outcome["b"][1:] == [(b"\x55", 0x90, 0x00)] * 20
        assert thread_a.is_alive() and "a" not in outcome
        sim_a.vanish()
        thread_a.join(WAIT_S)
        assert isinstance(outcome["a"], ryx.ReaderNotAnswering)


def test_unplugged_reader_comes_back_at_the_same_port(ryx_reader, ryx_sim):
    ryx_sim.vanish()
    assert not os.path.exists(ryx_sim.port)
    with pytest.raises(ryx.ReaderNotAnswering):
        ryx_reader.slot(0).power_on()
    ryx_sim.replug()
    assert os.path.realpath(ryx_sim.port) == ryx_sim.tty
    with ryx.open(ryx_sim.port) as again:
        assert again.slot(0).power_on() == BUILT_IN_ATR


def test_simulator_refusal_and_stop_after_an_exception():
    with pytest.raises(KeyError):
        with ryx.sim.Simulator() as sim:
            with pytest.raises(ryx.sim.SimulatorError, match="^insert 0: error: slot 0 already holds a card"):
                sim.insert(0)
            process = sim._process
            raise KeyError
    assert process.returncode is not None and not os.path.exists(sim.control)
