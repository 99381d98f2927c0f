// A pseudo-terminal pair for tests: the code under test opens the slave path as its serial port, the test plays
// the device on the master. Linux only.
#pragma once

#include <cstddef>
#include <string>

namespace ryx::test {

class PtyPair {
public:
    // Opens a new pair. The pair keeps a slave descriptor of its own open (in raw mode from the start, so nothing
    // is echoed before the host configures the line): the host may then open and close the slave path at will
    // without the master seeing a hang-up. Throws std::runtime_error when no pair can be had.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The device side: what the peer writes here, the host reads from the slave.
    [[nodiscard]] int master() const noexcept { return master_; }
    // The pair's own slave descriptor; never read from it (it would take the host's bytes).
    [[nodiscard]] int slave() const noexcept { return slave_; }
    // The path the host opens, e.g. /dev/pts/7.
    [[nodiscard]] const std::string& slavePath() const noexcept { return slavePath_; }

    // Bytes written to the master that the host has not read yet (0 on error).
    [[nodiscard]] std::size_t PendingForHost() const noexcept;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace ryx::test
