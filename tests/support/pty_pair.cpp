#include "support/pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace ryx::test {
namespace {

constexpr auto kWaitBound = std::chrono::seconds(10);

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

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
    (void)fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
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

void PtyPair::Send(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "write to master: " << errno;
            return;
        }
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, MsLeft(deadline)) == 0) {
            ADD_FAILURE() << "master not writable";
            return;
        }
    }
}

bool PtyPair::WaitQueued(std::size_t count) const {
    // The pty hands input to the line discipline asynchronously: wait on readiness, then look at the queue.
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    for (;;) {
        int queued = 0;
        if (ioctl(slave_, FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) >= count) {
            return true;
        }
        const int left = MsLeft(deadline);
        if (left == 0) {
            return false;
        }
        if (queued <= 0) {
            pollfd p{slave_, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            // Readiness stays set once some input is there, and nothing signals "more": step briefly.
            poll(nullptr, 0, 1);
        }
    }
}

std::vector<std::uint8_t> PtyPair::Receive(std::size_t count) const {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
    while (bytes.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0) {
            break;
        }
        std::uint8_t chunk[4096];
        const std::size_t want = std::min(sizeof chunk, count - bytes.size());
        const ssize_t n = read(master_, chunk, want);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

int OpenFdCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

}  // namespace ryx::test
