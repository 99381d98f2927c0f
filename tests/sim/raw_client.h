// A bare host for testing the simulator: opens the slave, sets it raw at a speed, writes frame bytes and reads the
// answers byte for byte. Its framing is written here, apart from the simulator's, so that one side checks the other.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ryx::simtest {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// 02, payload, XOR of the payload, 03.
Bytes Frame(const Bytes& payload);
// A 10-byte header (dwLength from data) followed by data.
Bytes Message(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t b7, std::uint8_t b8, std::uint8_t b9,
              const Bytes& data = {});
// "02 00 00 03" -> bytes.
Bytes Hex(const std::string& text);

class RawClient {
public:
    // Opens `path` raw (8N1, no flow control) at `speed` bit/s; throws std::runtime_error on failure.
    explicit RawClient(const std::string& path, std::uint32_t speed = 9600);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SetSpeed(std::uint32_t speed);
    void Write(const Bytes& bytes);
    // Reads until n bytes have arrived or `bound` has passed in all; returns what arrived.
    Bytes Read(std::size_t n, std::chrono::milliseconds bound = 5s);
    // Reads one frame: 11 bytes, then the rest as its dwLength says.
    Bytes ReadFrame(std::chrono::milliseconds bound = 5s);
    // Frames the message, sends it, and reads the status frame and the response frame.
    struct Answer {
        Bytes status;
        Bytes response;
    };
    Answer Exchange(const Bytes& message, std::chrono::milliseconds bound = 5s);
    // Waits until the line reports a hang-up or a read fails (the reader went away). True when it did.
    bool WaitForHangup(std::chrono::milliseconds bound = 5s);
    // Discards whatever has arrived and not been read.
    void Flush();

private:
    int fd_ = -1;
};

// The payload (header and data) of a response frame, without start, check and end byte.
Bytes Payload(const Bytes& frame);

}  // namespace ryx::simtest
