// The serial port on POSIX (Linux): a tty opened non-blocking, waits done with poll in 500 ms slices.
// Each failing call stores its translated errno in the last-error value at once; cleanup that follows never
// changes that value.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>

#include <ryx.h>

#include "serial/last_error.h"
#include "serial/line_settings.h"
#include "serial/serial_port.h"
#include "serial/termios2_linux.h"
#include "serial/unique_fd.h"
#include "serial/utf16_to_utf8.h"

namespace ryx {

namespace {

// One wait for input lasts at most this long; the caller's time-out is tested between such passes.
constexpr int kPassMs = 500;

bool FailWith(std::uint32_t status) noexcept {
    SetSerialLastError(status);
    return false;
}

bool FailWithErrno(int error) noexcept {
    return FailWith(ErrnoToStatus(error));
}

// The descriptor behind a handle; false (EBADF stored) for a value that cannot be one, which poll would
// otherwise silently ignore.
bool PortFd(SerialHandle port, int* fd) noexcept {
    if (port < 0 || port > INT_MAX) {
        return FailWithErrno(EBADF);
    }
    *fd = static_cast<int>(port);
    return true;
}

// Millisecond ticks that wrap at 2^32, like the tick counter the time-outs are defined with.
std::uint32_t TickMs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

// Gives up exclusive use and closes; failures are of no interest to anyone, and the last error stays.
void ReleasePort(int fd) noexcept {
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

// DTR and RTS up. A pseudo-terminal has no modem lines and refuses the request: that is no failure.
bool RaiseModemLines(int fd) noexcept {
    const int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIS, &lines) != 0 && errno != EINVAL && errno != ENOTTY) {
        return FailWithErrno(errno);
    }
    return true;
}

enum class PassResult { kRead, kNothing, kFailed };

// Whether input is queued, without taking any: what a read of 0 bytes asks. kRead when there is.
PassResult InputQueued(int fd) noexcept {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) {
        FailWithErrno(errno);
        return PassResult::kFailed;
    }
    return queued > 0 ? PassResult::kRead : PassResult::kNothing;
}

// Takes what is already queued (up to n > 0 bytes) with a single read, without asking how much there is first.
// kNothing for an empty line, which reads as 0 bytes (VMIN 0) or EAGAIN, and for a line that hung up: the wait
// that follows reports that.
PassResult TakeAtOnce(int fd, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead) noexcept {
    const ssize_t got = ::read(fd, buffer, n);
    if (got > 0) {
        *bytesRead = static_cast<std::uint32_t>(got);
        return PassResult::kRead;
    }
    if (got == 0 || errno == EAGAIN || errno == EINTR) {
        return PassResult::kNothing;
    }
    FailWithErrno(errno);
    return PassResult::kFailed;
}

// One pass: waits up to kPassMs from passStart (the tick it began at) for input and takes what is queued.
PassResult ReadPass(int fd, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                    std::uint32_t passStart) noexcept {
    for (std::uint32_t elapsed = 0;; elapsed = TickMs() - passStart) {
        if (elapsed >= static_cast<std::uint32_t>(kPassMs)) {
            return PassResult::kNothing;
        }
        const int remaining = kPassMs - static_cast<int>(elapsed);
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;  // a signal does not end the pass
            }
            FailWithErrno(errno);
            return PassResult::kFailed;
        }
        if (ready == 0) {
            return PassResult::kNothing;
        }
        if ((p.revents & POLLNVAL) != 0) {
            FailWithErrno(EBADF);
            return PassResult::kFailed;
        }
        // Bytes that arrived before a hang-up are still handed out where the driver keeps them; a hang-up with
        // nothing left reads as nothing (or fails), and the poll's flags below tell which.
        const PassResult taken = n != 0 ? TakeAtOnce(fd, buffer, n, bytesRead) : InputQueued(fd);
        if (taken != PassResult::kNothing) {
            return taken;
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            // The peer is gone; poll would report this at once forever, so waiting on is pointless.
            FailWithErrno(EIO);
            return PassResult::kFailed;
        }
        // Readiness with nothing to read: let the slice run out rather than spin on a driver that keeps
        // reporting it.
        const std::uint32_t spent = TickMs() - passStart;
        if (spent < static_cast<std::uint32_t>(kPassMs)) {
            ::poll(nullptr, 0, kPassMs - static_cast<int>(spent));
        }
        return PassResult::kNothing;
    }
}

// Waits for room in the output queue, without a time limit.
bool WaitWritable(int fd) noexcept {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithErrno(errno);
        }
        if ((p.revents & POLLNVAL) != 0) {
            return FailWithErrno(EBADF);
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            return FailWithErrno(EIO);
        }
        if ((p.revents & POLLOUT) != 0) {
            return true;
        }
    }
}

// The descriptor behind a handle and the port's current speed; false (the error stored) when either fails.
bool PortSpeed(SerialHandle port, int* fd, std::uint32_t* rate) noexcept {
    if (!PortFd(port, fd)) {
        return false;
    }
    if (const int error = GetPortSpeed(*fd, rate); error != 0) {
        return FailWithErrno(error);
    }
    return true;
}

}  // namespace

SerialHandle SerialOpenA(const char* name, const PortSettings& settings) {
    if (name == nullptr) {
        FailWith(RYX_ERROR_INVALID_PARAMETER);
        return kInvalidSerialHandle;
    }
    // No controlling terminal, and no waiting for carrier on open.
    UniqueFd fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        FailWithErrno(errno);
        return kInvalidSerialHandle;
    }
    // TIOCEXCL does not keep out a privileged second opener; the lock keeps out every other open of the port.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        FailWith(errno == EWOULDBLOCK ? RYX_ERROR_ACCESS_DENIED : ErrnoToStatus(errno));
        return kInvalidSerialHandle;
    }
    if (::ioctl(fd.get(), TIOCEXCL) != 0) {  // ENOTTY: not a serial device
        FailWithErrno(errno);
        return kInvalidSerialHandle;
    }
    const int port = fd.release();
    if (!SerialConfigure(port, settings)) {
        const std::uint32_t cause = SerialLastError();
        ReleasePort(port);
        SetSerialLastError(cause);
        return kInvalidSerialHandle;
    }
    return port;
}

SerialHandle SerialOpenW(const char16_t* name, const PortSettings& settings) {
    char path[PATH_MAX];
    if (const std::uint32_t status = Utf16ToUtf8(name, path, sizeof path); status != RYX_SUCCESS) {
        FailWith(status);
        return kInvalidSerialHandle;
    }
    return SerialOpenA(path, settings);
}

bool SerialConfigure(SerialHandle port, const PortSettings& settings) {
    int fd = -1;
    if (!PortFd(port, &fd)) {
        return false;
    }
    LineSettings line;
    if (const std::uint32_t status = BuildLineSettings(settings, &line); status != RYX_SUCCESS) {
        return FailWith(status);  // the port is untouched
    }
    if (const int error = SetPortLine(fd, line); error != 0) {
        return FailWithErrno(error);
    }
    return RaiseModemLines(fd);
}

void SerialClose(SerialHandle port) {
    if (port < 0 || port > INT_MAX) {
        return;
    }
    const int fd = static_cast<int>(port);
    ::tcflush(fd, TCIOFLUSH);
    ReleasePort(fd);
}

bool SerialPurge(SerialHandle port) {
    int fd = -1;
    if (!PortFd(port, &fd)) {
        return false;
    }
    if (::tcflush(fd, TCIOFLUSH) != 0) {
        return FailWithErrno(errno);
    }
    return true;
}

bool SerialDrain(SerialHandle port, std::uint32_t quietMs, std::uint32_t limitMs, std::uint32_t* discarded,
                 bool* wentQuiet) {
    if (discarded == nullptr || wentQuiet == nullptr) {
        return FailWith(RYX_ERROR_INVALID_PARAMETER);
    }
    *discarded = 0;
    *wentQuiet = false;
    int fd = -1;
    if (!PortFd(port, &fd)) {
        return false;
    }
    const std::uint32_t start = TickMs();
    std::uint32_t lastArrival = start;
    for (;;) {
        const std::uint32_t now = TickMs();
        const std::uint32_t quiet = now - lastArrival;
        const std::uint32_t spent = now - start;
        if (quiet >= quietMs || spent >= limitMs) {
            *wentQuiet = quiet >= quietMs;
            return true;
        }
        const int wait = static_cast<int>(std::min(quietMs - quiet, limitMs - spent));
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithErrno(errno);
        }
        if (ready == 0) {
            continue;
        }
        if ((p.revents & POLLNVAL) != 0) {
            return FailWithErrno(EBADF);
        }
        std::uint8_t scratch[256];
        const ssize_t got = ::read(fd, scratch, sizeof scratch);
        if (got > 0) {
            *discarded += static_cast<std::uint32_t>(got);
            lastArrival = TickMs();
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            return FailWithErrno(errno);
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            return FailWithErrno(EIO);
        }
        ::poll(nullptr, 0, std::min(wait, 10));  // readiness with nothing to read: do not spin
    }
}

namespace {

// SerialRead and SerialReadAfterWrite; tryFirst: take what is queued before any wait.
bool ReadWithin(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                std::uint32_t timeoutMs, bool tryFirst) {
    if (bytesRead == nullptr || (buffer == nullptr && n != 0)) {
        return FailWith(RYX_ERROR_INVALID_PARAMETER);
    }
    *bytesRead = 0;
    int fd = -1;
    if (!PortFd(port, &fd)) {
        return false;
    }
    // Bytes that are already there need no wait: most reads of a response find the next part queued. Otherwise
    // at least one pass waits, even with a time-out of 0.
    // The clock is read only once a read has to wait, and once per pass.
    const PassResult first = tryFirst && n != 0 ? TakeAtOnce(fd, buffer, n, bytesRead) : PassResult::kNothing;
    if (first != PassResult::kNothing) {
        return first == PassResult::kRead;
    }
    const std::uint32_t start = TickMs();
    for (std::uint32_t passStart = start;;) {
        const PassResult pass = ReadPass(fd, buffer, n, bytesRead, passStart);
        if (pass != PassResult::kNothing) {
            return pass == PassResult::kRead;
        }
        passStart = TickMs();
        if (passStart - start >= timeoutMs) {  // unsigned: the tick counter's wrap does no harm
            return FailWith(RYX_ERROR_TIMEOUT);
        }
    }
}

}  // namespace

bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                std::uint32_t timeoutMs) {
    return ReadWithin(port, buffer, n, bytesRead, timeoutMs, true);
}

bool SerialReadAfterWrite(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                          std::uint32_t timeoutMs) {
    return ReadWithin(port, buffer, n, bytesRead, timeoutMs, false);
}

bool SerialWrite(SerialHandle port, const std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesWritten) {
    if (bytesWritten == nullptr || (buffer == nullptr && n != 0)) {
        return FailWith(RYX_ERROR_INVALID_PARAMETER);
    }
    *bytesWritten = 0;
    int fd = -1;
    if (!PortFd(port, &fd)) {
        return false;
    }
    std::uint32_t done = 0;
    while (done < n) {
        const ssize_t wrote = ::write(fd, buffer + done, n - done);
        if (wrote > 0) {
            done += static_cast<std::uint32_t>(wrote);
            *bytesWritten = done;
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno == EAGAIN) {
            if (!WaitWritable(fd)) {
                return false;
            }
            continue;
        }
        return FailWithErrno(wrote < 0 ? errno : EIO);  // a tty that takes nothing is gone
    }
    return true;
}

bool SerialGetBaudRate(SerialHandle port, std::uint32_t* baudRate) {
    if (baudRate == nullptr) {
        return FailWith(RYX_ERROR_INVALID_PARAMETER);
    }
    *baudRate = 0;
    int fd = -1;
    std::uint32_t rate = 0;
    if (!PortSpeed(port, &fd, &rate)) {
        return false;
    }
    *baudRate = rate;
    return true;
}

bool SerialSetBaudRate(SerialHandle port, std::uint32_t baudRate) {
    int fd = -1;
    std::uint32_t current = 0;
    if (!PortSpeed(port, &fd, &current)) {
        return false;
    }
    if (current == baudRate) {
        return true;  // nothing is written: the line is not disturbed
    }
    if (baudRate == 0) {  // would hang the line up
        return FailWith(RYX_ERROR_INVALID_PARAMETER);
    }
    if (const int error = SetPortSpeed(fd, baudRate); error != 0) {
        return FailWithErrno(error);
    }
    return true;
}

}  // namespace ryx
