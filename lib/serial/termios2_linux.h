// The termios2 calls (any bit rate through BOTHER), kept apart because <asm/termbits.h>, which declares them,
// clashes with <termios.h>. Each function returns 0 or the errno of the failing call; EINVAL also stands for a
// rate the driver did not take exactly.
#pragma once

#include <cstdint>

#include "serial/line_settings.h"

namespace ryx {

// Reads the port's output rate in bit/s into *baud (untouched on failure).
[[nodiscard]] int GetPortSpeed(int fd, std::uint32_t* baud) noexcept;

// Changes only the rate (both directions), keeping every other setting of the port; then reads it back. A rate
// that did not take (EINVAL) is undone: the port keeps its previous setting.
[[nodiscard]] int SetPortSpeed(int fd, std::uint32_t baud) noexcept;

// Replaces the port's whole setting by settings in one call (no intermediate state on the line); then reads the
// rate back.
[[nodiscard]] int SetPortLine(int fd, const LineSettings& settings) noexcept;

}  // namespace ryx
