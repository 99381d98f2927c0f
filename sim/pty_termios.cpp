#include "sim/pty_termios.h"

#include "tools/common/termios2_line.h"

namespace ryx::sim {

bool SetRawAtSpeed(int fd, std::uint32_t rate) noexcept {
    return termios2_line::SetRawAtSpeed(fd, rate);
}

std::uint32_t ReadSpeed(int fd) noexcept {
    return termios2_line::ReadSpeed(fd);
}

}  // namespace ryx::sim
