#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ryx::test {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A file in memory holding `bytes`, read from its start.
int InputFile(std::string_view bytes) {
    const int fd = ::memfd_create("ryx_test_stdin", MFD_CLOEXEC);
    if (fd < 0 || !WriteAll(fd, bytes) || ::lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string("standard input file: ") + std::strerror(errno));
    }
    return fd;
}

}  // namespace

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                           std::optional<std::string_view> input) {
    int in[2] = {-1, -1};
    if (input) {
        in[0] = InputFile(*input);
    } else if (::pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        if (::dup2(in[0], 0) < 0 || ::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0 ||
            (!workDir.empty() && ::chdir(workDir.c_str()) != 0)) {
            _exit(126);
        }
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);  // also here: a kill of the group may come before the child ran
    ::close(in[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    in_ = in[1];
    fds_[0] = outPipe[0];
    fds_[1] = errPipe[0];
    if (pid_ < 0) throw std::runtime_error("fork");
}

ChildProgram::~ChildProgram() {
    if (pid_ > 0 && !exited_) {
        KillGroup();
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, fds_[0], fds_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

void ChildProgram::Write(std::string_view text) {
    if (!WriteAll(in_, text)) throw std::runtime_error("cannot write the child's standard input");
}

void ChildProgram::CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

bool ChildProgram::ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done() && (fds_[0] >= 0 || fds_[1] >= 0)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds_[i]);
                fds_[i] = -1;
            }
        }
    }
    return true;
}

std::string ChildProgram::ReadLine(std::chrono::milliseconds bound) {
    ReadUntil([this] { return out.find('\n') != std::string::npos; }, bound);
    const std::size_t end = out.find('\n');
    if (end == std::string::npos) return "";
    std::string line = out.substr(0, end);
    out.erase(0, end + 1);
    return line;
}

std::string ChildProgram::Stdout() {
    ReadUntil([] { return false; });
    return out;
}

std::string ChildProgram::Stderr() {
    ReadUntil([] { return false; });
    return err;
}

int ChildProgram::Wait(std::chrono::milliseconds bound) {
    if (exited_) return -1;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(bound.count()));
        ::close(pidfd);
        if (ready <= 0) return -1;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    exited_ = true;
    if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ChildProgram::Finish(std::chrono::milliseconds bound) {
    CloseInput();
    return ReadUntil([] { return false; }, bound) ? Wait(bound) : -1;
}

void ChildProgram::Signal(int sig) {
    if (!exited_) ::kill(pid_, sig);  // a reaped child's pid may belong to another process by now
}

void ChildProgram::KillGroup() {
    if (!exited_) ::kill(-pid_, SIGKILL);
}

Outcome RunProgram(const std::vector<std::string>& argv, std::string_view input, const std::string& workDir,
                   std::chrono::milliseconds bound) {
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    ChildProgram child(argv[0], {argv.begin() + 1, argv.end()}, workDir, input);
    outcome.timedOut = !child.ReadUntil([] { return false; }, bound);
    if (outcome.timedOut) child.KillGroup();
    outcome.status = child.Wait(std::chrono::seconds(30));
    outcome.signal = child.signal();
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    outcome.out = std::move(child.out);
    outcome.err = std::move(child.err);
    return outcome;
}

ControlClient::ControlClient(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("control path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot connect to " + path + ": " + why);
    }
}

ControlClient::~ControlClient() {
    ::close(fd_);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ControlClient::Send(const std::string& line) {
    const std::string text = line + "\n";
    if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) return "";
    std::string answer;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            const std::string got = pending_.substr(0, end + 1);
            pending_.erase(0, end + 1);
            answer += got;
            if (got == "ok\n" || got.rfind("error: ", 0) == 0) return answer;
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        char buf[1024];
        if (::poll(&p, 1, 10'000) <= 0) return "";
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return "";
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace ryx::test
