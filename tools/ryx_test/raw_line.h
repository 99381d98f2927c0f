// The port as a raw line at a chosen rate, for the checks that look beneath the library (Linux only).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace ryx_test {

/** True where RawLine works (Linux); elsewhere its calls fail and the line checks are skipped. */
bool RawLineAvailable();

/** An open port switched to raw 8N1 without flow control; its earlier setting comes back on destruction. */
class RawLine {
public:
    /** Takes `fd` (not owned: the caller closes it after this object is gone). */
    explicit RawLine(int fd);
    ~RawLine();
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    /** Raw 8N1 at `rate` bit/s; false when the port refuses it. */
    bool SetRate(uint32_t rate);

    /**
     * Empties both queues, writes `frame` and gathers what comes back: waits up to `first` for the first byte,
     * then until `complete` holds for what has arrived, 100 ms pass without a byte, or 2 s in all.
     */
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& frame, std::chrono::milliseconds first,
                                  bool (*complete)(const std::vector<uint8_t>& sent,
                                                   const std::vector<uint8_t>& received));

private:
    int fd_;
    bool saved_ = false;
    unsigned char original_[64] = {};  // the earlier termios2, opaque outside the .cpp
};

}  // namespace ryx_test
