#include "client_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace ryx::simtest {

bool SetClientLine(int fd, std::uint32_t speed) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = speed;
    t.c_ospeed = speed;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace ryx::simtest
