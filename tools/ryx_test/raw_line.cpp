// The only file of ryx_test that includes <asm/termbits.h> (it clashes with <termios.h>).
#include "raw_line.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#endif

namespace ryx_test {

#ifdef __linux__

bool RawLineAvailable() {
    return true;
}

RawLine::RawLine(int fd) : fd_(fd) {
    static_assert(sizeof(termios2) <= sizeof original_);
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) == 0) {
        std::memcpy(original_, &t, sizeof t);
        saved_ = true;
    }
}

RawLine::~RawLine() {
    if (saved_) {
        termios2 t{};
        std::memcpy(&t, original_, sizeof t);
        ioctl(fd_, TCSETS2, &t);
    }
}

bool RawLine::SetRate(uint32_t rate) {
    termios2 t{};  // raw: no translation, no echo, no signals, no flow control
    t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (ioctl(fd_, TCSETS2, &t) != 0 || ioctl(fd_, TCGETS2, &t) != 0) {
        return false;
    }
    return t.c_ospeed == rate;
}

std::vector<uint8_t> RawLine::Exchange(const std::vector<uint8_t>& frame, std::chrono::milliseconds first,
                                       bool (*complete)(const std::vector<uint8_t>&, const std::vector<uint8_t>&)) {
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> received;
    ioctl(fd_, TCFLSH, TCIOFLUSH);
    for (size_t done = 0; done < frame.size();) {
        const ssize_t n = write(fd_, frame.data() + done, frame.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return received;
        }
        if (n < 0) {
            pollfd p = {fd_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        done += static_cast<size_t>(n);
    }
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (!complete(frame, received)) {
        const auto wait = std::min(received.empty() ? first : std::chrono::milliseconds(100),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        pollfd p = {fd_, POLLIN, 0};
        if (wait.count() <= 0 || poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
            break;
        }
        uint8_t chunk[256];
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        received.insert(received.end(), chunk, chunk + n);
    }
    return received;
}

#else

bool RawLineAvailable() {
    return false;
}

RawLine::RawLine(int fd) : fd_(fd) {}

RawLine::~RawLine() = default;

bool RawLine::SetRate(uint32_t) {
    return false;
}

std::vector<uint8_t> RawLine::Exchange(const std::vector<uint8_t>&, std::chrono::milliseconds,
                                       bool (*)(const std::vector<uint8_t>&, const std::vector<uint8_t>&)) {
    return {};
}

#endif

}  // namespace ryx_test
