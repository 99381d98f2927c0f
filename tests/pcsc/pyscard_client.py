"""A PC/SC client written with pyscard, run by end_to_end.py against pcscd serving two simulated ryx readers.

Prints one line per check and exits with status 1 at the first one that fails.
"""
import sys

from smartcard.Exceptions import NoCardException, SmartcardException
from smartcard.pcsc.PCSCPart10 import FEATURE_GET_TLV_PROPERTIES, getFeatureRequest, getTlvProperties, hasFeature
from smartcard.scard import (SCARD_ATTR_CHANNEL_ID, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_ATTR_ICC_INTERFACE_STATUS,
                             SCARD_ATTR_ICC_PRESENCE, SCARD_ATTR_MAXINPUT, SCARD_ATTR_VENDOR_IFD_TYPE,
                             SCARD_ATTR_VENDOR_IFD_VERSION, SCARD_ATTR_VENDOR_NAME, SCARD_CTL_CODE,
                             SCARD_PROTOCOL_T0)
from smartcard.System import readers

BUILT_IN_ATR = [0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D]
ESCAPE = SCARD_CTL_CODE(1)
FIRMWARE = "KT4470RS_V3 2.05"  # the first reader's firmware text (end_to_end.py starts it so)


def dword(attribute):
    check(len(attribute) == 4, "an attribute DWORD is 4 bytes", str(attribute))
    return int.from_bytes(bytes(attribute), sys.byteorder)


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

    # A command and a response of 4 KiB each way: the ECHO command with extended Lc and Le.
    payload = [i % 251 for i in range(4096)]
    data, sw = transmit(first, [0x80, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00] + payload + [0x10, 0x00])
    check((data, sw) == (bytes(payload), 0x9000), "extended ECHO of 4 KiB each way", f"{len(data)} bytes, {sw:04X}")

    features = getFeatureRequest(first)
    check(hasFeature(features, FEATURE_GET_TLV_PROPERTIES) is not None, "the feature list offers the TLV properties",
          str(features))
    properties = getTlvProperties(first, features)
    check(properties.get("PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize") == 65536
          and properties.get("PCSCv2_PART10_PROPERTY_sFirmwareID") == FIRMWARE,
          "TLV properties: 64 KiB APDUs, the firmware text", str(properties))
    attributes = {
        "vendor": bytes(first.getAttrib(SCARD_ATTR_VENDOR_NAME)),
        "model": bytes(first.getAttrib(SCARD_ATTR_VENDOR_IFD_TYPE)),
        "version": dword(first.getAttrib(SCARD_ATTR_VENDOR_IFD_VERSION)),
        "channel": dword(first.getAttrib(SCARD_ATTR_CHANNEL_ID)),
        "max input": dword(first.getAttrib(SCARD_ATTR_MAXINPUT)),
        "presence": first.getAttrib(SCARD_ATTR_ICC_PRESENCE),
        "interface": first.getAttrib(SCARD_ATTR_ICC_INTERFACE_STATUS),
        "protocol": dword(first.getAttrib(SCARD_ATTR_CURRENT_PROTOCOL_TYPE)),
    }
    check(attributes == {"vendor": b"ryx", "model": b"KT4470RS_V3", "version": 0x02050000, "channel": 0x00010000,
                         "max input": 65544, "presence": [2], "interface": [1], "protocol": SCARD_PROTOCOL_T0},
          "reader and slot attributes", str(attributes))
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
