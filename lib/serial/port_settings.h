// The line settings of a port as one typed value, and the letter codes they are also known by. Pure, and the same
// on every platform: each platform maps a PortSettings value to its own line settings in one place
// (BuildLineSettings in line_settings.h, BuildCommState in comm_state_win32.h).
#pragma once

#include <cstdint>

namespace ryx {

enum class Parity : std::uint8_t { kNone, kOdd, kEven, kMark, kSpace };
enum class StopBits : std::uint8_t { kOne, kOneAndAHalf, kTwo };
enum class FlowControl : std::uint8_t {
    kNone,
    kHardware,  // output waits for CTS, RTS drives the input handshake
    kSoftware,  // XON/XOFF in both directions
};

// Rate and data bits are passed to the platform unchanged. The defaults are the line the library opens: 9600 8N1.
struct PortSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::kNone;
    StopBits stopBits = StopBits::kOne;
    FlowControl flow = FlowControl::kNone;
};

// The letter codes: parity E/M/N/O/S, stop bits 1, 2 or 15 (one and a half), flow H/N/S, letters in either case.
// Checks parity, stop bits and flow, in that order; false for a code not listed, *settings then untouched.
[[nodiscard]] constexpr bool DecodeLineCodes(std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                             std::uint8_t stopBits, char flow, PortSettings* settings) noexcept {
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    PortSettings s;
    s.baudRate = baudRate;
    s.dataBits = dataBits;
    switch (upper(parity)) {
        case 'N':
            s.parity = Parity::kNone;
            break;
        case 'O':
            s.parity = Parity::kOdd;
            break;
        case 'E':
            s.parity = Parity::kEven;
            break;
        case 'M':
            s.parity = Parity::kMark;
            break;
        case 'S':
            s.parity = Parity::kSpace;
            break;
        default:
            return false;
    }
    switch (stopBits) {
        case 1:
            s.stopBits = StopBits::kOne;
            break;
        case 2:
            s.stopBits = StopBits::kTwo;
            break;
        case 15:
            s.stopBits = StopBits::kOneAndAHalf;
            break;
        default:
            return false;
    }
    switch (upper(flow)) {
        case 'N':
            s.flow = FlowControl::kNone;
            break;
        case 'H':
            s.flow = FlowControl::kHardware;
            break;
        case 'S':
            s.flow = FlowControl::kSoftware;
            break;
        default:
            return false;
    }
    *settings = s;
    return true;
}

}  // namespace ryx
