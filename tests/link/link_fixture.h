// A Link on the slave side of a real pseudo-terminal, opened and configured by the serial layer, with short
// time-outs so that failure cases stay fast. Each test starts its own ScriptedPeer on the master.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "link/link.h"
#include "link/test_link.h"
#include "support/pty_pair.h"
#include "support/scripted_peer.h"

namespace ryx::test {

class LinkOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenTestLink(link, pty.slavePath(), 0, 100, 100, 1));
        link.maxBlockSize = 261;
    }
    void TearDown() override { CloseTestLink(link); }

    PtyPair pty;
    Link link;
};

// The status frame and the response frame of an accepted command, in one write.
inline Answer Accept(const Bytes& replyPayload) {
    return {Join({StatusAccepted(), MakeFrame(replyPayload)})};
}

inline const Bytes kRepeatRequest = {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};

}  // namespace ryx::test
