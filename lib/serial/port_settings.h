// The line settings of a port as one typed value, and the letter codes they are also known by. Pure, and the same
// on every platform: each platform maps a PortSettings value to its own line settings in one place
// (BuildLineSettings in line_settings.h, BuildCommState in comm_state_win32.h).
#pragma once

#include <cstddef>
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

// One letter code and the value it stands for.
template <typename Code, typename Value>
struct LineCode {
    Code code;
    Value value;
};

// The letter codes: parity E/M/N/O/S, stop bits 1, 2 or 15 (one and a half), flow H/N/S.
inline constexpr LineCode<char, Parity> kParityCodes[] = {
    {'N', Parity::kNone}, {'O', Parity::kOdd}, {'E', Parity::kEven}, {'M', Parity::kMark}, {'S', Parity::kSpace},
};
inline constexpr LineCode<std::uint8_t, StopBits> kStopBitsCodes[] = {
    {1, StopBits::kOne},
    {2, StopBits::kTwo},
    {15, StopBits::kOneAndAHalf},
};
inline constexpr LineCode<char, FlowControl> kFlowCodes[] = {
    {'N', FlowControl::kNone},
    {'H', FlowControl::kHardware},
    {'S', FlowControl::kSoftware},
};

// The value of `code` in `codes`; false for a code not listed, *value then untouched.
template <typename Code, typename Value, std::size_t N>
[[nodiscard]] constexpr bool FindLineCode(const LineCode<Code, Value> (&codes)[N], Code code, Value* value) noexcept {
    for (const LineCode<Code, Value>& row : codes) {
        if (row.code == code) {
            *value = row.value;
            return true;
        }
    }
    return false;
}

// The letter codes above, letters in either case. Checks parity, stop bits and flow, in that order; false for a code
// not listed, *settings then untouched.
[[nodiscard]] constexpr bool DecodeLineCodes(std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                             std::uint8_t stopBits, char flow, PortSettings* settings) noexcept {
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    PortSettings s;
    s.baudRate = baudRate;
    s.dataBits = dataBits;
    if (!FindLineCode(kParityCodes, upper(parity), &s.parity) || !FindLineCode(kStopBitsCodes, stopBits, &s.stopBits) ||
        !FindLineCode(kFlowCodes, upper(flow), &s.flow)) {
        return false;
    }
    *settings = s;
    return true;
}

}  // namespace ryx
