#include "tools/ryx_spy/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace ryx::spy {

namespace {

void PutSpeed(struct termios2& t, std::uint32_t rate) noexcept {
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
}

}  // namespace

bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept {
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

bool SetSpeed(int fd, std::uint32_t rate) noexcept {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    PutSpeed(t, rate);
    // Bytes already passed on leave at the speed they were sent at.
    return ioctl(fd, TCSETSW2, &t) == 0;
}

std::uint32_t ReadSpeed(int fd) noexcept {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

}  // namespace ryx::spy
