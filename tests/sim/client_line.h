// The test client's line settings, kept apart because the kernel's termios2 header clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace ryx::simtest {

// Raw 8N1 at any rate (termios2, BOTHER). False when the settings cannot be written.
bool SetClientLine(int fd, std::uint32_t speed);

}  // namespace ryx::simtest
