// A program under test run as a child process, with its standard output and error on pipes, and a client for the
// control socket of a running ryx_sim. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ryx::test {

class ChildProgram {
public:
    // Starts `program` with `args`; throws std::runtime_error when the pipes cannot be made.
    ChildProgram(const std::string& program, const std::vector<std::string>& args);
    ~ChildProgram();  // kills the child if it still runs
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // One line of standard output without its newline, waiting at most `bound`.
    std::string ReadLine(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Everything on standard output (error) until it closes.
    std::string Stdout();
    std::string Stderr();
    // Waits for the process to end, at most `bound`; its exit status, or -1 on time-out / death by signal / a second
    // call.
    int Wait(std::chrono::milliseconds bound = std::chrono::seconds(30));
    void Signal(int sig);  // nothing once the child has been waited for

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
};

// One connection to a ryx_sim control socket.
class ControlClient {
public:
    // Connects to the socket at `path`; throws std::runtime_error when nothing listens there.
    explicit ControlClient(const std::string& path);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Sends `line` and a newline, and returns the whole answer: every line up to and including the closing "ok" or
    // "error: ...", each with its newline ("" when the simulator hangs up or stays silent for 10 s).
    std::string Send(const std::string& line);

private:
    int fd_ = -1;
    std::string pending_;
};

}  // namespace ryx::test
