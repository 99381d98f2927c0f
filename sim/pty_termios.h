// The only place in sim/ that touches a terminal's settings (through tools/common/termios2_line.h). Kept apart
// because the kernel's termios2 header clashes with <termios.h>; termios2 is what carries a rate that has no
// B-constant (128000, 250000, 256000).
#pragma once

#include <cstdint>

namespace ryx::sim {

// Puts the terminal `fd` in raw mode (8N1, no flow control, no echo, no translation) at `rate` bit/s.
// Returns false with errno set when the settings cannot be read or written.
[[nodiscard]] bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept;

// The output speed the terminal `fd` is set to, in bit/s; 0 when it cannot be read. On a pty master this reads
// the settings of the slave, that is, what the host asked for.
[[nodiscard]] std::uint32_t ReadSpeed(int fd) noexcept;

}  // namespace ryx::sim
