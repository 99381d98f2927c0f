// Runs the real ryx_test program on a simulator's terminal with prepared standard input, and what the simulator
// saw of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/simulator.h"
#include "support/child_program.h"

namespace ryx::test {

using ConsoleRun = Outcome;

// Runs `ryx_test port` in workDir with `input` as its whole standard input (the input ends where the bytes end).
// A run that has not ended after `bound` is killed, with its process group, and reported as timed out.
inline ConsoleRun RunConsole(const std::string& port, std::string_view input, const std::string& workDir,
                             std::chrono::milliseconds bound) {
    return RunProgram({RYX_TEST_BINARY, port}, input, workDir, bound);
}

// The command frames the simulator took (not those dropped for a speed mismatch), in order.
std::vector<sim::FrameRecord> TakenCommands(const sim::Simulator& sim);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file of the directory; returns its full path.
    std::string Write(const std::string& name, std::string_view content) const;

private:
    std::string path_;
};

}  // namespace ryx::test
