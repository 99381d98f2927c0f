"""A PC/SC client written with pyscard, run by end_to_end.py against pcscd serving two simulated ryx readers.

Prints one line per check and exits with status 1 at the first one that fails.
"""
import sys

from smartcard.Exceptions import NoCardException, SmartcardException
from smartcard.scard import SCARD_CTL_CODE
from smartcard.System import readers

BUILT_IN_ATR = [0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D]
ESCAPE = SCARD_CTL_CODE(1)
GET_FEATURE_REQUEST = SCARD_CTL_CODE(3400)


def check(condition, what, detail=""):
    if not condition:
        print(f"FAILED: {what} {detail}")
        sys.exit(1)
    print(f"ok: {what}")


def transmit(connection, apdu):
    data, sw1, sw2 = connection.transmit(apdu)
    return bytes(data), (sw1 << 8) | sw2


def main(expected_names):
    by_name = {str(r): r for r in readers()}
    check(sorted(by_name) == sorted(expected_names), "the readers are listed", str(sorted(by_name)))

    first = by_name[expected_names[0]].createConnection()
    first.connect()
    check(first.getATR() == BUILT_IN_ATR, "ATR of the built-in card", str(first.getATR()))

    select_application = [0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x05, 0x52, 0x59, 0x58, 0x01]
    data, sw = transmit(first, select_application)
    check((data, sw) == (b"", 0x9000), "SELECT the application", f"{data.hex()} {sw:04X}")
    data, sw = transmit(first, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01])
    check((data, sw) == (b"", 0x9000), "SELECT file 0101", f"{data.hex()} {sw:04X}")
    data, sw = transmit(first, [0x00, 0xB0, 0x00, 0x00, 0x10])
    check((data, sw) == (b"RYX SIM CARD 1.0", 0x9000), "READ BINARY of file 0101", f"{data!r} {sw:04X}")

    # An extended APDU: all 512 bytes of file 0102 in one response.
    data, sw = transmit(first, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02])
    check(sw == 0x9000, "SELECT file 0102", f"{sw:04X}")
    data, sw = transmit(first, [0x00, 0xB0, 0x00, 0x00, 0x00, 0x02, 0x00])
    check((data, sw) == (bytes(i % 256 for i in range(512)), 0x9000), "extended READ BINARY of 512 bytes",
          f"{len(data)} bytes, {sw:04X}")

    check(first.control(GET_FEATURE_REQUEST, []) == [], "empty feature list")
    reply = first.control(ESCAPE, [0x01, 0x02, 0x03])
    check(reply == [0x01, 0x02, 0x03], "escape command where the reader.conf entry allows it", str(reply))
    first.disconnect()

    try:
        by_name[expected_names[1]].createConnection().connect()
        check(False, "an empty slot refuses the connection")
    except NoCardException:
        check(True, "an empty slot refuses the connection")

    other = by_name[expected_names[4]].createConnection()
    other.connect()
    check(other.getATR() == BUILT_IN_ATR, "ATR on the second reader's slot 1", str(other.getATR()))
    data, sw = transmit(other, select_application)
    check(sw == 0x9000, "SELECT on the second reader", f"{sw:04X}")
    try:
        other.control(ESCAPE, [0x01, 0x02, 0x03])
        check(False, "escape command refused without the option")
    except SmartcardException as e:
        check(True, "escape command refused without the option")
        print(f"    ({e})")
    other.disconnect()


if __name__ == "__main__":
    main(sys.argv[1:])
