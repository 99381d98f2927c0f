// Control of a running simulator from outside its process: command lines on a Unix stream socket, each answered
// with zero or more lines of information and then "ok" or "error: WHY". A socket rather than a FIFO because it
// answers each command, serves several clients one after the other, and is there to connect to as soon as the
// simulator is (socat, nc -U, python, or ryx_sim --send).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/simulator.h"

namespace ryx::sim {

// The commands, for `help` and ryx_sim --help: one line each, "NAME ARGS  what it does".
[[nodiscard]] std::string ControlHelp();

// Carries out one command line on `reader` and returns the answer: information lines, then "ok" or "error: WHY",
// each ending in '\n'. A command that fails changes nothing. A blank line is answered "ok".
[[nodiscard]] std::string RunControlCommand(Simulator& reader, std::string_view line);

// Serves RunControlCommand on a Unix stream socket on its own thread.
class ControlServer {
public:
    explicit ControlServer(Simulator& reader) : reader_(reader) {}
    ~ControlServer();  // Stop()s
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens at `path`. A socket left there by a simulator that is gone is replaced; a live one, or anything that
    // is not a socket, is not. False with a reason in *why.
    [[nodiscard]] bool Start(const std::string& path, std::string* why);
    // Ends the thread, drops the clients and removes the socket (while it is still ours).
    void Stop();

private:
    void Serve();

    Simulator& reader_;
    std::string path_;
    // The socket file we bound, to remove it only while it is still ours.
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread thread_;
};

// ryx_sim --send: sends each command to the simulator listening at `path`, in order, stopping at the first one
// that fails. Information lines go to standard output, a failure to standard error as "ryx_sim: COMMAND: WHY".
// Returns 0 when every command answered "ok", 1 when one answered an error, 69 when the simulator cannot be
// reached.
[[nodiscard]] int SendControlCommands(const std::string& path, const std::vector<std::string>& commands);

}  // namespace ryx::sim
