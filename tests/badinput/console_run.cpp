#include "console_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

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

}  // namespace

ConsoleRun RunConsole(const std::string& port, std::string_view input, const std::string& workDir,
                      std::chrono::milliseconds bound) {
    ConsoleRun run;
    // Standard input is a file in memory: the program reads it at its own pace and meets its end where it ends.
    const int in = ::memfd_create("ryx_test_stdin", MFD_CLOEXEC);
    if (in < 0 || !WriteAll(in, input) || ::lseek(in, 0, SEEK_SET) != 0) {
        ADD_FAILURE() << "stdin file: " << std::strerror(errno);
        if (in >= 0) ::close(in);
        return run;
    }
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        ::close(in);
        return run;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        ::close(in);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return run;
    }
    const char* binary = RYX_TEST_BINARY;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        if (::dup2(in, 0) < 0 || ::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0 ||
            ::chdir(workDir.c_str()) != 0) {
            ::_exit(126);
        }
        char* const argv[] = {const_cast<char*>(binary), const_cast<char*>(port.c_str()), nullptr};
        ::execv(binary, argv);
        ::_exit(127);
    }
    ::close(in);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return run;
    }
    ::setpgid(child, child);

    // Both streams are read until they close, which happens when the program (and anything it started) has ended.
    const auto deadline = start + bound;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            ::kill(-child, SIGKILL);
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            ::kill(-child, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

std::vector<sim::FrameRecord> TakenCommands(const sim::Simulator& sim) {
    std::vector<sim::FrameRecord> out;
    for (auto& f : sim.ReceivedFrames()) {
        if (f.kind == sim::FrameRecord::Kind::kCommand && !f.droppedSpeedMismatch) out.push_back(f);
    }
    return out;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ryx_badinput_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, std::string_view content) const {
    const std::string full = path_ + "/" + name;
    std::ofstream file(full, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file) ADD_FAILURE() << "cannot write " << full;
    return full;
}

}  // namespace ryx::test
