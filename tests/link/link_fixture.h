// A Link on the slave side of a real pseudo-terminal, opened and configured by the serial layer, with short
// time-outs so that failure cases stay fast. Each test starts its own ScriptedPeer on the master.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "link/link.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "support/scripted_peer.h"

namespace ryx::test {

class LinkOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        link.port = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(link.port, kInvalidSerialHandle);
        PrepareLink(link, 0);
        link.statusTimeout = 100;
        link.responseTimeout = 100;
        link.statusRetries = 1;
        link.responseRetries = 1;
        link.maxBlockSize = 261;
    }
    void TearDown() override {
        if (link.port != kInvalidSerialHandle) {
            SerialClose(link.port);
        }
    }

    PtyPair pty;
    Link link;
};

// A reply message: 10-byte header (dwLength = data size) and data.
inline Bytes ReplyMessage(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t status,
                          std::uint8_t error, std::uint8_t byte9, const Bytes& data = {}) {
    const auto n = static_cast<std::uint32_t>(data.size());
    Bytes m(10 + data.size());
    m[0] = type;
    for (int i = 0; i < 4; ++i) {
        m[1 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    m[5] = slot;
    m[6] = seq;
    m[7] = status;
    m[8] = error;
    m[9] = byte9;
    std::copy(data.begin(), data.end(), m.begin() + 10);
    return m;
}

// The status frame and the response frame of an accepted command, in one write.
inline Answer Accept(const Bytes& replyPayload) { return {Join({StatusAccepted(), MakeFrame(replyPayload)})}; }

inline const Bytes kRepeatRequest = {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};

}  // namespace ryx::test
