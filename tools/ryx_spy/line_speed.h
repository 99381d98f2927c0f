// The terminal settings ryx_spy touches. Kept apart because the kernel's termios2 header clashes with <termios.h>;
// termios2 is what carries a rate without a B-constant (128000, 250000, 256000, 500000).
#pragma once

#include <cstdint>

namespace ryx::spy {

// Puts the terminal `fd` in raw mode (8N1, no flow control, no echo, no translation) at `rate` bit/s.
// Returns false with errno set when the settings cannot be read or written.
[[nodiscard]] bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept;

// Sets only the speed of the terminal `fd`, once its pending output has left, leaving its other settings. False
// with errno set on failure.
[[nodiscard]] bool SetSpeed(int fd, std::uint32_t rate) noexcept;

// The output speed of the terminal `fd` in bit/s; 0 when it cannot be read. On a pty master this is what the
// program on the slave side asked for.
[[nodiscard]] std::uint32_t ReadSpeed(int fd) noexcept;

}  // namespace ryx::spy
