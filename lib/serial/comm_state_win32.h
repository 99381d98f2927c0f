// The Win32 line settings (the DCB fields this library sets) built from a PortSettings value, without any I/O.
// Plain integers only, so that the mapping can be checked on any host; serial_win32.cpp copies them into a DCB
// that starts out all zero, and checks there that the constants below are the ones <windows.h> defines.
#pragma once

#include <cstdint>

#include "serial/port_settings.h"

namespace ryx {

// DCB Parity values.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
// DCB StopBits values.
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;
// DCB fDtrControl / fRtsControl values.
inline constexpr std::uint8_t kDtrControlEnable = 1;
inline constexpr std::uint8_t kRtsControlEnable = 1;
inline constexpr std::uint8_t kRtsControlHandshake = 2;
// The software flow-control characters.
inline constexpr char kXonChar = 0x11;
inline constexpr char kXoffChar = 0x13;

// Every DCB field the library gives a value other than zero; all the others stay zero.
struct CommStateFields {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t parity = kNoParity;
    std::uint8_t stopBits = kOneStopBit;
    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    std::uint8_t fDtrControl = 0;
    std::uint8_t fRtsControl = 0;
    bool fOutX = false;
    bool fInX = false;
    char xonChar = 0;
    char xoffChar = 0;
};

// Builds the settings for a port from scratch: rate and data bits passed unchanged, DTR always raised and DSR
// never watched. Returns 0 with *fields filled, or RYX_ERROR_INVALID_PARAMETER (87) when fields is null.
[[nodiscard]] std::uint32_t BuildCommState(const PortSettings& port, CommStateFields* fields) noexcept;

// The same from the letter codes (DecodeLineCodes, port_settings.h); a code not listed gives 87, *fields untouched.
[[nodiscard]] std::uint32_t BuildCommState(std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                           std::uint8_t stopBits, char flow, CommStateFields* fields) noexcept;

}  // namespace ryx
