// A pseudo-terminal for the serial tests: the library opens the slave path, the test plays the far end on the
// master. The pair also keeps a slave descriptor of its own to inspect the line settings and the input queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ryx::test {

class PtyPair {
public:
    PtyPair();  // fails the current test (ADD_FAILURE) if no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    [[nodiscard]] const std::string& slavePath() const { return slavePath_; }
    [[nodiscard]] int master() const { return master_; }
    // The test's own slave descriptor: the settings and queues are those of the port the library opens.
    [[nodiscard]] int slave() const { return slave_; }

    // Writes bytes as the far end would send them.
    void Send(const std::vector<std::uint8_t>& bytes) const;
    // Waits (up to 10 s) until the slave's input queue holds at least count bytes; false on time-out.
    [[nodiscard]] bool WaitQueued(std::size_t count) const;
    // Reads exactly count bytes that the library sent, waiting up to 10 s; fewer on time-out.
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
