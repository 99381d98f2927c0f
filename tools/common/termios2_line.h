// A terminal's line settings through termios2, for the programs that stand in for or watch a reader (ryx_sim,
// ryx_spy). termios2 is what carries a rate without a B-constant (128000, 250000, 256000, 500000). Linux only, and
// only for a file of its own: the kernel's <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace ryx::termios2_line {

// Sets both speeds of `t` to `rate` bit/s, whatever B-constant it held.
inline void PutSpeed(struct termios2& t, std::uint32_t rate) noexcept {
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
}

// Puts the terminal `fd` in raw mode (8N1, no flow control, no echo, no translation) at `rate` bit/s.
// Returns false with errno set when the settings cannot be read or written.
inline bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    PutSpeed(t, rate);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &t) == 0;
}

// The output speed of the terminal `fd` in bit/s; 0 when it cannot be read. On a pty master this reads the settings
// of the slave, that is, what the program on the slave side asked for.
inline std::uint32_t ReadSpeed(int fd) noexcept {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

}  // namespace ryx::termios2_line
