// The reader's transmitter: bytes onto the pty master, paced as the line would carry them when wire time is on, and
// the sleeps that Stop() cuts short.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "sim/simulator_state.h"

namespace ryx::sim {

Clock::duration ByteTime(std::uint32_t rate) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / std::max(rate, 1u)));
}

bool Simulator::State::Write(std::span<const std::uint8_t> bytes, std::uint32_t rate) {
    bool wire = false;
    {
        std::lock_guard lock(mu);
        wire = wireTime;
        if (rate == 0) rate = device.Rate();
    }
    if (!wire) return WriteNow(bytes);
    // Deliver the bytes when they would have arrived over the line, in pieces of about a millisecond of line time.
    const auto byteTime = ByteTime(rate);
    const auto start = std::max(Clock::now(), lineFreeAt);
    const std::size_t piece = std::max<std::size_t>(1, rate / 10 / 1000);
    for (std::size_t off = 0; off < bytes.size(); off += piece) {
        const std::size_t n = std::min(piece, bytes.size() - off);
        if (!SleepUntil(start + byteTime * static_cast<Clock::rep>(off + n))) return false;
        if (!WriteNow(bytes.subspan(off, n))) return false;
    }
    lineFreeAt = start + byteTime * static_cast<Clock::rep>(bytes.size());
    return true;
}

bool Simulator::State::WriteNow(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (stopping || master < 0) return false;
        const ssize_t n = ::write(master, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // The host is not reading and the line's buffer is full: wait for room, or for Stop().
        pollfd fds[2] = {{master, POLLOUT, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

bool Simulator::State::SleepUntil(Clock::time_point when) {
    for (;;) {
        if (stopping) return false;
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd fd{wakeRead, POLLIN, 0};
        // Sleeping on the wake pipe lets Stop() cut a delay short.
        if (::ppoll(&fd, 1, &ts, nullptr) > 0) return false;
    }
}

}  // namespace ryx::sim
