// The complete termios line setting of a port, built from its PortSettings without any I/O.
// Plain integers only: this header is shared by code that includes <termios.h> and by the termios2 file, which
// cannot include it. The flag values are the Linux kernel's, which <termios.h> reproduces bit for bit.
#pragma once

#include <cstdint>

#include "serial/port_settings.h"

namespace ryx {

struct LineSettings {
    std::uint32_t inputFlags = 0;    // c_iflag
    std::uint32_t outputFlags = 0;   // c_oflag
    std::uint32_t controlFlags = 0;  // c_cflag without the speed bits
    std::uint32_t localFlags = 0;    // c_lflag
    std::uint8_t minChars = 0;       // c_cc[VMIN]
    std::uint8_t readTenths = 0;     // c_cc[VTIME]
    std::uint8_t startChar = 0;      // c_cc[VSTART], XON
    std::uint8_t stopChar = 0;       // c_cc[VSTOP], XOFF
    std::uint32_t baudRate = 0;      // bit/s, both directions
};

// Builds a raw 8-bit-transparent setting from scratch (never from a port's current one). Returns 0 with *settings
// filled, or RYX_ERROR_INVALID_PARAMETER (87) leaving *settings untouched for what POSIX cannot do: one and a half
// stop bits (none for 6 to 8 data bits), data bits outside 5..8, rate 0.
[[nodiscard]] std::uint32_t BuildLineSettings(const PortSettings& port, LineSettings* settings) noexcept;

// The same from the letter codes (DecodeLineCodes, port_settings.h); a code not listed gives 87.
[[nodiscard]] std::uint32_t BuildLineSettings(std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                              std::uint8_t stopBits, char flow, LineSettings* settings) noexcept;

}  // namespace ryx
