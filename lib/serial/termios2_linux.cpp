// termios2 access: the only file that includes <asm/termbits.h>.
#include "serial/termios2_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ryx {

namespace {

// The rate field set to "other" so that c_ispeed/c_ospeed carry the rate itself; a zero input-rate field makes
// the input rate follow the output rate.
void PutSpeed(termios2* t, std::uint32_t baud) noexcept {
    t->c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    t->c_cflag |= BOTHER;
    t->c_ispeed = baud;
    t->c_ospeed = baud;
}

// Drivers round a rate they cannot produce instead of failing: only the read-back tells.
int CheckSpeed(int fd, std::uint32_t baud) noexcept {
    std::uint32_t actual = 0;
    if (const int error = GetPortSpeed(fd, &actual); error != 0) {
        return error;
    }
    return actual == baud ? 0 : EINVAL;
}

}  // namespace

int GetPortSpeed(int fd, std::uint32_t* baud) noexcept {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    // The kernel keeps c_ospeed equal to the rate in force, whichever way it was set.
    *baud = t.c_ospeed;
    return 0;
}

int SetPortSpeed(int fd, std::uint32_t baud) noexcept {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    const termios2 previous = t;
    PutSpeed(&t, baud);
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    const int error = CheckSpeed(fd, baud);
    if (error != 0) {
        // A refused rate leaves the line as it was, not at whatever the driver rounded to.
        ::ioctl(fd, TCSETS2, &previous);
    }
    return error;
}

int SetPortLine(int fd, const LineSettings& settings) noexcept {
    termios2 t{};  // from scratch: nothing of the port's previous setting survives
    t.c_iflag = settings.inputFlags;
    t.c_oflag = settings.outputFlags;
    t.c_cflag = settings.controlFlags;
    t.c_lflag = settings.localFlags;
    t.c_cc[VMIN] = settings.minChars;
    t.c_cc[VTIME] = settings.readTenths;
    t.c_cc[VSTART] = settings.startChar;
    t.c_cc[VSTOP] = settings.stopChar;
    PutSpeed(&t, settings.baudRate);
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    return CheckSpeed(fd, settings.baudRate);
}

}  // namespace ryx
