// A pseudo-terminal pair for tests: the code under test opens the slave path as its serial port, the test plays
// the device on the master. Linux only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ryx::test {

class PtyPair {
public:
    // Opens a new pair. The pair keeps a slave descriptor of its own open (in raw mode from the start, so nothing
    // is echoed before the host configures the line): the host may then open and close the slave path at will
    // without the master seeing a hang-up, and the test can inspect the port's settings and input queue through
    // it. The master is non-blocking. Throws std::runtime_error when no pair can be had.
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

    // Writes bytes as the far end would send them (fails the current test if they cannot all be written).
    void Send(const std::vector<std::uint8_t>& bytes) const;
    // Waits (up to 10 s) until the slave's input queue holds at least count bytes; false on time-out.
    [[nodiscard]] bool WaitQueued(std::size_t count) const;
    // Reads exactly count bytes that the host sent, waiting up to 10 s; fewer on time-out.
    [[nodiscard]] std::vector<std::uint8_t> Receive(std::size_t count) const;
    // The far end hangs up.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Open descriptors of this process (an open that fails must leave none behind).
[[nodiscard]] int OpenFdCount();

}  // namespace ryx::test
