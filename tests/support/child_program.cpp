#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace ryx::test {

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        _exit(126);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

ChildProgram::~ChildProgram() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
}

std::string ChildProgram::ReadLine(std::chrono::milliseconds bound) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (::read(out_, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

namespace {

std::string Drain(int fd) {
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
    return all;
}

}  // namespace

std::string ChildProgram::Stdout() {
    return Drain(out_);
}

std::string ChildProgram::Stderr() {
    return Drain(err_);
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
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProgram::Signal(int sig) {
    if (!exited_) ::kill(pid_, sig);  // a reaped child's pid may belong to another process by now
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
