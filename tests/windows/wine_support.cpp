#include "wine_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace ryx::wine {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

std::string ComLink(int number) {
    return Prefix() + "/dosdevices/com" + std::to_string(number);
}

// Forks argv with the given descriptors as 0, 1 and 2, in its own process group and directory.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, const std::string& cwd) {
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (child > 0) setpgid(child, child);
    return child;
}

// Waits for child to end, up to bound, on a process descriptor that becomes readable when it does; kills its group
// when it does not. The exit status, or -1.
int Reap(pid_t child, Clock::time_point deadline, bool* timedOut) {
    const int process = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (process >= 0) {
        pollfd p{process, POLLIN, 0};
        int ready = 0;
        do {
            ready = poll(&p, 1, MsLeft(deadline));
        } while (ready < 0 && errno == EINTR);
        close(process);
        if (ready == 0) {
            if (timedOut != nullptr) *timedOut = true;
            kill(-child, SIGKILL);
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The prefix the build made, unless the environment names another; wine quiet on standard error.
[[maybe_unused]] const bool kEnvironmentSet = [] {
    setenv("WINEPREFIX", RYX_WINEPREFIX_DEFAULT, 0);
    setenv("WINEDEBUG", "-all", 0);
    return true;
}();

}  // namespace

std::string WindowsBinDir() {
    return RYX_WINDOWS_BIN_DIR;
}

std::string Prefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    return prefix == nullptr ? std::string() : std::string(prefix);
}

bool MapComPort(int number, const std::string& device) {
    const std::string link = ComLink(number);
    unlink(link.c_str());
    return symlink(device.c_str(), link.c_str()) == 0;
}

void UnmapComPort(int number) {
    unlink(ComLink(number).c_str());
}

bool WaitForWineServer(std::chrono::seconds bound) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t child = Spawn({RYX_WINESERVER, "-w"}, null, null, null, "/");
    close(null);
    if (child < 0) return false;
    bool timedOut = false;
    const int status = Reap(child, Clock::now() + bound, &timedOut);
    if (timedOut) {
        const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t killer = Spawn({RYX_WINESERVER, "-k"}, devnull, devnull, devnull, "/");
        close(devnull);
        if (killer > 0) Reap(killer, Clock::now() + std::chrono::seconds(30), nullptr);
        return false;
    }
    return status == 0;
}

ExerciserSession::~ExerciserSession() {
    Finish();
}

bool ExerciserSession::Start() {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    child_ = Spawn({RYX_WINE, "api_exerciser.exe"}, in[0], out[1], err[1], WindowsBinDir());
    close(in[0]);
    close(out[1]);
    close(err[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    errFromChild_ = err[0];
    signal(SIGPIPE, SIG_IGN);  // a program that died must show as a failed write, not end the test
    if (child_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    const std::string first = NextLine(std::chrono::seconds(120));
    if (first != "ready") {
        error_ = "the exerciser did not start: '" + first + "' " + error_ + " stderr: " + stderr_;
        return false;
    }
    return true;
}

bool ExerciserSession::WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(toChild_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("write: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ExerciserSession::Pump(int ms) {
    pollfd fds[2] = {{fromChild_, POLLIN, 0}, {errFromChild_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return true;
    char buffer[65536];
    if (errFromChild_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = read(errFromChild_, buffer, sizeof buffer);
        if (n > 0) {
            stderr_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            close(errFromChild_);
            errFromChild_ = -1;
        }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string ExerciserSession::NextLine(std::chrono::seconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        const int left = MsLeft(deadline);
        if (fromChild_ < 0 || left == 0) {
            error_ = fromChild_ < 0 ? "the exerciser is not running" : "no answer within the bound";
            return {};
        }
        if (!Pump(left)) {
            error_ = "the exerciser ended; stderr: " + stderr_;
            close(fromChild_);
            fromChild_ = -1;
        }
    }
}

std::string ExerciserSession::Call(const std::string& command, std::chrono::seconds bound) {
    if (toChild_ < 0 || !WriteAll(command + "\n")) return {};
    return NextLine(bound);
}

bool ExerciserSession::Finish() {
    if (child_ < 0) return true;
    bool clean = false;
    if (toChild_ >= 0 && WriteAll("quit\n")) clean = NextLine(std::chrono::seconds(60)) == "bye";
    if (toChild_ >= 0) close(toChild_);
    toChild_ = -1;
    // Drain what is left, so that the program can never block on a full pipe while it ends.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (fromChild_ >= 0 && MsLeft(deadline) > 0) {
        if (!Pump(MsLeft(deadline))) {
            close(fromChild_);
            fromChild_ = -1;
        }
    }
    bool timedOut = false;
    const int status = Reap(child_, Clock::now() + std::chrono::seconds(30), &timedOut);
    child_ = -1;
    for (int* fd : {&fromChild_, &errFromChild_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    const bool serverGone = WaitForWineServer();
    return clean && !timedOut && status == 0 && serverGone;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    if (bytes.empty()) return "-";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace ryx::wine
