// The line probe: raw termios2 calls on the port (the only driver file that includes <asm/termbits.h>, which
// clashes with <termios.h>), and the frame shapes it looks for.
#include "pcsc/line_probe.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>

#include "tools/common/reader_frames.h"

namespace ryx::pcsc {

namespace {

using ryx::reader_frames::DataLengthAt;
using ryx::reader_frames::IsStatusFrameAt;
using ryx::reader_frames::kHeaderLength;
using ryx::reader_frames::kStatusLength;

// The reader's rate table, in the order the library's open tries it.
constexpr std::array<std::uint32_t, 10> kRates = {9600,   19200,  38400,  57600,  115200,
                                                  128000, 230400, 250000, 256000, 500000};

// How long each rate waits for a status frame: the query and the status take 23 ms at 9600 bit/s, a reader answers
// within a few more; ten rates stay within a second.
constexpr auto kStatusWait = std::chrono::milliseconds(80);
// How long the rest of an answer may pause before the line counts as quiet, and how long it is read at most.
constexpr auto kQuietGap = std::chrono::milliseconds(100);
constexpr auto kDrainLimit = std::chrono::milliseconds(500);
// The longest poll between two looks at the stop flag.
constexpr int kSliceMs = 50;

using Clock = std::chrono::steady_clock;

class Port {
public:
    explicit Port(int fd) : fd_(fd) {}
    ~Port() {
        if (fd_ >= 0) {
            ::ioctl(fd_, TCFLSH, TCIOFLUSH);
            ::close(fd_);  // also drops the lock
        }
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    [[nodiscard]] int Fd() const { return fd_; }

private:
    int fd_;
};

// Raw 8N1 at `rate`, no flow control, nothing translated; both queues emptied.
bool SetRaw(int fd, std::uint32_t rate) {
    termios2 t{};
    t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ::ioctl(fd, TCSETS2, &t) == 0 && ::ioctl(fd, TCFLSH, TCIOFLUSH) == 0;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (stop.load()) return false;
        pollfd p{fd, POLLOUT, 0};
        (void)::poll(&p, 1, kSliceMs);
    }
    return true;
}

// Reads what arrives until `until`, a look at the stop flag at least every kSliceMs; false on a read error.
bool ReadFor(int fd, Clock::duration wait, std::vector<std::uint8_t>* received, const std::atomic<bool>& stop) {
    const auto until = Clock::now() + wait;
    const auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()); };
    for (auto ms = left(); ms.count() > 0 && !stop.load(); ms = left()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(ms.count(), kSliceMs)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        std::uint8_t chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n == 0) return false;  // hung up
        if (n > 0) {
            received->insert(received->end(), chunk, chunk + n);
            return true;
        }
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> FirmwareQueryFrame() {
    return ryx::reader_frames::FirmwareQueryFrame(0);
}

AnswerShape ShapeOfAnswer(std::span<const std::uint8_t> r) {
    AnswerShape shape;
    for (std::size_t at = 0; at + kStatusLength <= r.size(); ++at) {
        if (!IsStatusFrameAt(r, at)) continue;
        shape.status = true;
        const std::size_t response = at + kStatusLength;
        if (r[at + 1] != 0x00) {
            shape.end = response;  // refused: no response follows
        } else if (r.size() >= response + 1 + kHeaderLength) {
            shape.end = response + kHeaderLength + 3 + DataLengthAt(r, response);
        }
        break;
    }
    return shape;
}

LineProbe ProbeLine(const std::string& path, const std::atomic<bool>& stop) {
    Port port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (port.Fd() < 0 || ::flock(port.Fd(), LOCK_EX | LOCK_NB) != 0) return LineProbe::kCannotOpen;
    const std::vector<std::uint8_t> query = FirmwareQueryFrame();
    for (const std::uint32_t rate : kRates) {
        if (stop.load()) return LineProbe::kStopped;
        if (!SetRaw(port.Fd(), rate)) return LineProbe::kCannotOpen;
        if (!WriteAll(port.Fd(), query, stop)) return stop.load() ? LineProbe::kStopped : LineProbe::kCannotOpen;
        std::vector<std::uint8_t> received;
        const auto statusUntil = Clock::now() + kStatusWait;
        while (!ShapeOfAnswer(received).status && Clock::now() < statusUntil && !stop.load()) {
            if (!ReadFor(port.Fd(), statusUntil - Clock::now(), &received, stop)) return LineProbe::kCannotOpen;
        }
        if (stop.load()) return LineProbe::kStopped;
        if (!ShapeOfAnswer(received).status) continue;
        // A reader: let it finish its answer, so that none of it reaches the library's open.
        const auto drainUntil = Clock::now() + kDrainLimit;
        while (Clock::now() < drainUntil && !stop.load()) {
            const AnswerShape shape = ShapeOfAnswer(received);
            if (shape.end != 0 && received.size() >= shape.end) break;
            const std::size_t before = received.size();
            if (!ReadFor(port.Fd(), kQuietGap, &received, stop) || received.size() == before) break;
        }
        return LineProbe::kAnswers;
    }
    return LineProbe::kSilent;
}

}  // namespace ryx::pcsc
