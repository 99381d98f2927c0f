// Apart from the tests that include <termios.h>: <asm/termbits.h> clashes with it.
#include "kernel_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace ryx::test {

bool ReadKernelSpeed(int fd, KernelSpeed* speed) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    speed->input = t.c_ispeed;
    speed->output = t.c_ospeed;
    return true;
}

}  // namespace ryx::test
