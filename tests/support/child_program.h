// The one way the tests run a program as a child process: interactively (ChildProgram: write its standard input,
// wait for what it prints, signal it) or whole (RunProgram: given input, both outputs collected until they close).
// Also a client for the control socket of a running ryx_sim. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::test {

class ChildProgram {
public:
    // Starts `program` with `args` in a process group of its own, in `workDir` when it is not empty. Standard input
    // is `input` whole (from memory: the program meets its end where the bytes end) or, without it, a pipe fed by
    // Write(). Throws std::runtime_error when the pipes cannot be made.
    ChildProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir = "",
                 std::optional<std::string_view> input = std::nullopt);
    ~ChildProgram();  // kills the child's process group if it still runs
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    void Write(std::string_view text);  // to standard input
    void CloseInput();
    // Collects output into `out` and `err` until `done` holds or both streams close; false after the bound.
    bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(60));
    // The next line of standard output without its newline, waiting at most `bound` ("" when none came).
    std::string ReadLine(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // The rest of standard output (error) once both streams have closed.
    std::string Stdout();
    std::string Stderr();
    // Waits for the process to end, at most `bound`; its exit status, or -1 on time-out / death by signal / a second
    // call. signal() then names the signal that ended it, if one did.
    int Wait(std::chrono::milliseconds bound = std::chrono::seconds(30));
    // Closes standard input, collects both streams until they close and waits: the exit status, -1 after the bound.
    int Finish(std::chrono::milliseconds bound = std::chrono::seconds(60));
    void Signal(int sig);  // nothing once the child has been waited for
    void KillGroup();      // the child and everything it started
    int signal() const { return signal_; }

    std::string out;  // standard output collected so far (ReadLine takes lines from its front)
    std::string err;

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int fds_[2] = {-1, -1};
    bool exited_ = false;
    int signal_ = 0;
};

// What a whole run left.
struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // the exit status; -1 when the program did not end by exiting
    int signal = 0;   // the signal that ended it, if one did
    bool timedOut = false;
    std::chrono::milliseconds elapsed{0};
};

// Runs argv[0] (a path) with `input` as its whole standard input, in `workDir`, and collects both output streams
// until they close, which they do when every process of the run has ended. A run that outlasts `bound` is killed
// with its process group and reported as timed out.
Outcome RunProgram(const std::vector<std::string>& argv, std::string_view input, const std::string& workDir,
                   std::chrono::milliseconds bound);

// The whole content of the file at `path` ("" when it cannot be read): a run's input or its expected output.
std::string ReadFile(const std::string& path);

// `word` quoted for sh, for a command line that ryx_sim --run or wine hands to a shell.
std::string ShellQuote(const std::string& word);

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
