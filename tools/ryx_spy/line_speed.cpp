#include "tools/ryx_spy/line_speed.h"

#include "tools/common/termios2_line.h"

namespace ryx::spy {

bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept {
    return termios2_line::SetRawAtSpeed(fd, rate);
}

bool SetSpeed(int fd, std::uint32_t rate) noexcept {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    termios2_line::PutSpeed(t, rate);
    // Bytes already passed on leave at the speed they were sent at.
    return ioctl(fd, TCSETSW2, &t) == 0;
}

std::uint32_t ReadSpeed(int fd) noexcept {
    return termios2_line::ReadSpeed(fd);
}

}  // namespace ryx::spy
