// The floor of the line: a host with no library on the same pty and the same simulated reader. It writes prepared
// command frames and reads the status and response bytes itself, taking whatever the line holds in as few system
// calls as it can. What it costs is the cost of the bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "chain_frames.h"

namespace ryx::bench {

class FloorClient {
public:
    // Opens the pty slave at path as it is: the simulator made it a raw line at the reader's rate, and the library
    // (sharing the line) moves the rate as it goes. Open it before the library, which then holds the line exclusively.
    // Throws std::runtime_error when the path cannot be opened.
    explicit FloorClient(const std::string& path);
    ~FloorClient();
    FloorClient(const FloorClient&) = delete;
    FloorClient& operator=(const FloorClient&) = delete;

    // Writes one command frame and reads the status frame (which must be 02 00 00 03) and the response frame that
    // follows it. Returns the response frame, start byte to end byte, valid until the next call; empty when the status
    // refuses, the line fails or nothing comes for 5 s.
    [[nodiscard]] std::span<const std::uint8_t> ExchangeFrame(std::span<const std::uint8_t> frame);

    // Carries one APDU: the prepared command blocks, then empty blocks (numbered on from nextSeq) for as long as the
    // reader has more response. The response data is gathered into response. Returns its length, or -1 when an
    // exchange failed, a reply broke the chain or the response does not fit.
    [[nodiscard]] long ExchangeApdu(const std::vector<Frame>& commandFrames, std::uint8_t slot, std::uint8_t nextSeq,
                                    std::span<std::uint8_t> response);

private:
    bool WriteAll(std::span<const std::uint8_t> bytes);
    int fd_ = -1;
    std::vector<std::uint8_t> receive_;  // the status frame, then the response frame
};

}  // namespace ryx::bench
