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

// The status frame and the response frame of an accepted command, in one write.
inline Answer Accept(const Bytes& replyPayload) {
    return {Join({StatusAccepted(), MakeFrame(replyPayload)})};
}

inline const Bytes kRepeatRequest = {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};

}  // namespace ryx::test
