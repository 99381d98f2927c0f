// The line speeds the library offers; the reader knows each by its index.
#pragma once

#include <array>
#include <cstdint>

namespace ryx {

// The first byte of the escape command that moves the reader to another rate (44, then the rate's index). Only
// RYX_SetBaudRate sends it: RYX_Control refuses it, since the port would not follow.
inline constexpr std::uint8_t kBaudRateEscape = 0x44;

inline constexpr std::array<std::uint32_t, 10> kBaudRateTable = {9600,   19200,  38400,  57600,  115200,
                                                                 128000, 230400, 250000, 256000, 500000};

// The index of rate in kBaudRateTable, or -1 when the table does not hold it.
[[nodiscard]] constexpr int BaudRateIndex(std::uint32_t rate) noexcept {
    for (std::size_t i = 0; i < kBaudRateTable.size(); ++i) {
        if (kBaudRateTable[i] == rate) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace ryx
