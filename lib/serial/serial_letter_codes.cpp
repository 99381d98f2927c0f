// The letter-code forms of the serial calls, shared by both platforms: the codes are decoded before the device is
// touched.
#include <ryx.h>

#include "serial/last_error.h"
#include "serial/port_settings.h"
#include "serial/serial_port.h"

namespace ryx {

namespace {

// DecodeLineCodes, storing 87 as the last error for a code not listed.
bool Decode(std::uint32_t baudRate, std::uint8_t dataBits, char parity, std::uint8_t stopBits, char flow,
            PortSettings* settings) noexcept {
    if (DecodeLineCodes(baudRate, dataBits, parity, stopBits, flow, settings)) {
        return true;
    }
    SetSerialLastError(RYX_ERROR_INVALID_PARAMETER);
    return false;
}

}  // namespace

SerialHandle SerialOpenA(const char* name, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                         std::uint8_t stopBits, char flow) {
    PortSettings settings;
    return Decode(baudRate, dataBits, parity, stopBits, flow, &settings) ? SerialOpenA(name, settings)
                                                                         : kInvalidSerialHandle;
}

SerialHandle SerialOpenW(const char16_t* name, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                         std::uint8_t stopBits, char flow) {
    PortSettings settings;
    return Decode(baudRate, dataBits, parity, stopBits, flow, &settings) ? SerialOpenW(name, settings)
                                                                         : kInvalidSerialHandle;
}

bool SerialConfigure(SerialHandle port, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                     std::uint8_t stopBits, char flow) {
    PortSettings settings;
    return Decode(baudRate, dataBits, parity, stopBits, flow, &settings) && SerialConfigure(port, settings);
}

}  // namespace ryx
