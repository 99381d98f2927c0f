// Reader answers the simulator does not give, from a scripted reader on a real pty: a line-speed change the
// reader answers without confirming it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <ryx.h>

#include "support/pty_pair.h"
#include "support/scripted_peer.h"

namespace ryx::test {
namespace {

// The status frame and reply a reader sends to the command frame.
Answer Reply(const Bytes& frame, std::uint8_t type, const Bytes& data) {
    return {StatusAccepted(), MakeFrame(ReplyTo(frame, type, data))};
}

struct UnconfirmedCase {
    const char* what;
    Bytes reply;
    std::uint32_t status;
};

class LineSpeedReply : public ::testing::TestWithParam<UnconfirmedCase> {};

TEST_P(LineSpeedReply, ThePortFollowsTheReaderWheneverItAnswered) {
    const UnconfirmedCase& c = GetParam();
    PtyPair pty;
    ScriptedPeer reader(pty, [&](std::size_t index, const Bytes& frame) -> Answer {
        if (index == 0) return Reply(frame, 0x83, FirmwareReply());
        if (index == 1) return Reply(frame, 0x83, c.reply);
        return {};
    });
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(pty.slavePath().c_str(), &handle), RYX_SUCCESS);
    EXPECT_EQ(RYX_SetBaudRate(handle, 115200), c.status) << c.what;
    std::uint32_t rate = 0;
    ASSERT_EQ(RYX_GetBaudRate(handle, &rate), RYX_SUCCESS);
    EXPECT_EQ(rate, 115200u) << c.what;
    ASSERT_TRUE(reader.Settle());
    ASSERT_GE(reader.Frames().size(), 2u);
    // The request itself: escape 44 04 to slot 0.
    const Bytes request = reader.Frames()[1];
    EXPECT_EQ(Bytes(request.begin() + 11, request.end() - 2), (Bytes{0x44, 0x04}));
    const LinkTimeouts quick{100, 0, 100, 0};
    ASSERT_EQ(RYX_SetTimeouts(handle, &quick), RYX_SUCCESS);
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Replies, LineSpeedReply,
                         ::testing::Values(UnconfirmedCase{"confirmed", {0x90, 0x04}, RYX_SUCCESS},
                                           UnconfirmedCase{"another index", {0x90, 0x05}, RYX_ERROR_GEN_FAILURE},
                                           UnconfirmedCase{"one byte", {0x90}, RYX_ERROR_GEN_FAILURE},
                                           UnconfirmedCase{"no data", {}, RYX_ERROR_GEN_FAILURE},
                                           UnconfirmedCase{"refusal word", {0x6F, 0x00}, RYX_ERROR_GEN_FAILURE}));

}  // namespace
}  // namespace ryx::test
