// ryx_spy: a pseudo-terminal for a program to open instead of a reader's serial port. Every byte passes between the
// two unchanged, the real port follows the line speed the program sets, and each frame is printed as it passes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ryx_spy/describe.h"
#include "tools/ryx_spy/frame_splitter.h"
#include "tools/ryx_spy/line_speed.h"

namespace {

using namespace ryx::spy;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;     // the real port failed while in use
constexpr int kExitCannotRun = 2;  // a port, the pty or the link could not be set up
constexpr int kExitUsage = 64;
constexpr std::uint32_t kStartRate = 9600;  // what a serial port and the reader start at
// A frame begun and then quiet this long is reported as incomplete; stray bytes are reported after it too.
constexpr auto kSilence = std::chrono::milliseconds(100);
// How often the pty's speed is looked at while nothing passes.
constexpr int kSpeedPollMs = 10;

constexpr const char* kHelp =
    "Usage: ryx_spy REAL_PORT [--link PATH] [--raw] [--json]\n"
    "       ryx_spy --help\n"
    "Gives a program a pseudo-terminal to open instead of the reader's serial port REAL_PORT. Prints the\n"
    "terminal's path as the first line of standard output, then passes every byte between the two, both\n"
    "ways, and prints each frame as it passes. When the program changes the terminal's line speed, REAL_PORT\n"
    "is set to the same speed at once. Runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --link PATH   make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --raw         also print every chunk as read, with its time and bytes\n"
    "  --json        one JSON object a line instead of text\n"
    "  -h, --help    show this help and exit\n"
    "\n"
    "Each line starts with the seconds since ryx_spy started and the direction (host>reader,\n"
    "reader>host), then the kind: command, status, response, RepeatRequest, damaged, incomplete or\n"
    "no-frame (bytes that make no frame), and \"line rate\" when the speed changes. Messages show their\n"
    "type, slot, seq and len; replies bStatus and bError by meaning; XfrBlock the APDU header (CLA INS\n"
    "P1 P2, Lc, Le) and the SW.\n"
    "\n"
    "Exit status:\n"
    "  0   ended by SIGINT or SIGTERM\n"
    "  1   REAL_PORT failed while in use (the device went away)\n"
    "  2   REAL_PORT, the terminal or the link could not be set up\n"
    "  64  the command line is wrong\n";

struct Options {
    std::string port;
    std::optional<std::string> link;
    bool raw = false;
    bool json = false;
};

// The options, or nullopt after printing what is wrong (or the help: then *exitCode is 0).
std::optional<Options> Parse(int argc, char** argv, int* exitCode) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            *exitCode = 0;
            return std::nullopt;
        }
        if (a == "--raw") {
            o.raw = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--link") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ryx_spy: --link needs a PATH\n");
                *exitCode = kExitUsage;
                return std::nullopt;
            }
            o.link = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "ryx_spy: unknown option %s (see ryx_spy --help)\n", argv[i]);
            *exitCode = kExitUsage;
            return std::nullopt;
        } else if (o.port.empty()) {
            o.port = a;
        } else {
            std::fprintf(stderr, "ryx_spy: one REAL_PORT only, got %s after %s\n", argv[i], o.port.c_str());
            *exitCode = kExitUsage;
            return std::nullopt;
        }
    }
    if (o.port.empty()) {
        std::fprintf(stderr, "ryx_spy: name the reader's serial port (see ryx_spy --help)\n");
        *exitCode = kExitUsage;
        return std::nullopt;
    }
    return o;
}

// Writes all of `bytes` to the non-blocking `fd`, waiting for room as needed. False on an error.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        (void)::poll(&p, 1, 100);
    }
    return true;
}

class Spy {
public:
    Spy(const Options& options, int real, int master)
        : options_(options),
          real_(real),
          master_(master),
          describer_(options.json ? Format::kJson : Format::kText),
          start_(Clock::now()) {}

    // Serves until a signal arrives on signalFd; returns the exit status.
    int Run(int signalFd) {
        std::uint8_t buffer[4096];
        while (true) {
            FollowSpeed();
            pollfd fds[3] = {{master_, POLLIN, 0}, {real_, POLLIN, 0}, {signalFd, POLLIN, 0}};
            const int n = ::poll(fds, 3, kSpeedPollMs);
            if (n < 0 && errno != EINTR) {
                std::fprintf(stderr, "ryx_spy: poll failed: %s\n", std::strerror(errno));
                return kExitFailed;
            }
            if (n > 0 && fds[2].revents != 0) break;
            FollowSpeed();  // a program sets the speed before it writes at it
            if (n > 0 && (fds[0].revents & POLLIN) != 0) {
                const ssize_t got = ::read(master_, buffer, sizeof buffer);
                if (got > 0 && !Pass(Direction::kToReader, buffer, static_cast<std::size_t>(got), real_)) {
                    std::fprintf(stderr, "ryx_spy: cannot write to %s: %s\n", options_.port.c_str(),
                                 std::strerror(errno));
                    return kExitFailed;
                }
            }
            if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t got = ::read(real_, buffer, sizeof buffer);
                if (got > 0) {
                    (void)Pass(Direction::kToHost, buffer, static_cast<std::size_t>(got), master_);
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    std::fprintf(stderr, "ryx_spy: %s went away (%s); start ryx_spy again when it is back\n",
                                 options_.port.c_str(), got == 0 ? "end of file" : std::strerror(errno));
                    return kExitFailed;
                }
            }
            FlushSilent(Direction::kToReader);
            FlushSilent(Direction::kToHost);
        }
        // What is still held back is shown as it stands.
        for (Side* side : {&toReader_, &toHost_}) {
            pieces_.clear();
            side->splitter.Silence(&pieces_);
            for (const auto& p : pieces_) Print(describer_.Piece(p));
        }
        return 0;
    }

private:
    double Now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    void Print(const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void FollowSpeed() {
        const std::uint32_t rate = ReadSpeed(master_);
        if (rate == 0 || rate == rate_) return;
        rate_ = rate;
        if (!SetSpeed(real_, rate)) {
            std::fprintf(stderr, "ryx_spy: %s refuses %u bit/s: %s\n", options_.port.c_str(), rate,
                         std::strerror(errno));
        }
        Print(describer_.Rate(Now(), rate));
    }

    bool Pass(Direction d, const std::uint8_t* bytes, std::size_t size, int to) {
        const bool ok = WriteAll(to, bytes, size);  // first: the watcher never delays the line more than it must
        const double now = Now();
        Side& side = SideOf(d);
        side.last = Clock::now();
        if (options_.raw) Print(describer_.Chunk(d, now, std::span(bytes, size)));
        pieces_.clear();
        side.splitter.Feed(std::span(bytes, size), now, &pieces_);
        for (const auto& p : pieces_) Print(describer_.Piece(p));
        return ok;
    }

    void FlushSilent(Direction d) {
        Side& side = SideOf(d);
        if (!side.splitter.Holding() || Clock::now() - side.last < kSilence) return;
        pieces_.clear();
        side.splitter.Silence(&pieces_);
        for (const auto& p : pieces_) Print(describer_.Piece(p));
    }

    struct Side {
        explicit Side(Direction d) : splitter(d) {}
        FrameSplitter splitter;
        Clock::time_point last{};
    };
    Side& SideOf(Direction d) { return d == Direction::kToReader ? toReader_ : toHost_; }

    const Options& options_;
    int real_;
    int master_;
    Describer describer_;
    Clock::time_point start_;
    std::uint32_t rate_ = kStartRate;
    Side toReader_{Direction::kToReader};
    Side toHost_{Direction::kToHost};
    std::vector<Piece> pieces_;
};

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    const auto options = Parse(argc, argv, &exitCode);
    if (!options) return exitCode;

    const int real = ::open(options->port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (real < 0) {
        std::fprintf(stderr, "ryx_spy: cannot open %s: %s\n", options->port.c_str(), std::strerror(errno));
        return kExitCannotRun;
    }
    if (!SetRawAtSpeed(real, kStartRate)) {
        std::fprintf(stderr, "ryx_spy: %s is not a serial port (%s)\n", options->port.c_str(), std::strerror(errno));
        return kExitCannotRun;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    int slave = -1;
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0 ||
        (slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 ||  // kept open: no hang-up between opens
        !SetRawAtSpeed(slave, kStartRate) || ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "ryx_spy: cannot create the pseudo-terminal: %s\n", std::strerror(errno));
        return kExitCannotRun;
    }
    if (options->link) {
        struct stat st {};
        if (::lstat(options->link->c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "ryx_spy: %s exists and is not a symbolic link; name another --link PATH\n",
                         options->link->c_str());
            return kExitCannotRun;
        }
        (void)::unlink(options->link->c_str());  // a link left by an earlier run
        if (::symlink(name, options->link->c_str()) != 0) {
            std::fprintf(stderr, "ryx_spy: cannot create the link %s: %s\n", options->link->c_str(),
                         std::strerror(errno));
            return kExitCannotRun;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "ryx_spy: cannot wait for signals: %s\n", std::strerror(errno));
        if (options->link) (void)::unlink(options->link->c_str());
        return kExitCannotRun;
    }
    std::printf("%s\n", name);
    std::fflush(stdout);

    Spy spy(*options, real, master);
    const int status = spy.Run(signalFd);
    if (options->link) (void)::unlink(options->link->c_str());
    return status;
}
