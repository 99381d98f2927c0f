#include "support/pty_pair.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ryx::test {

PtyPair::PtyPair() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    // A new pty is cooked and echoes; the host's configuration comes later.
    termios raw{};
    if (tcgetattr(slave_, &raw) == 0) {
        cfmakeraw(&raw);
        (void)tcsetattr(slave_, TCSANOW, &raw);
    }
    slavePath_ = name;
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

std::size_t PtyPair::PendingForHost() const noexcept {
    // poll() first: it pushes bytes still on their way through the pty into the queue that FIONREAD counts.
    pollfd p{slave_, POLLIN, 0};
    (void)poll(&p, 1, 0);
    int queued = 0;
    if (ioctl(slave_, FIONREAD, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::size_t>(queued);
}

}  // namespace ryx::test
