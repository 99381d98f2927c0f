// A reader's late answers in front of the right one: when a command frame went out twice (its first status read
// found stale bytes), the reader answers both copies, and one read can bring a reply frame followed by the
// second copy's status frame and reply. That whole run passes the frame's check byte (the XOR over a status frame
// and a complete frame is that frame's check byte), so it arrives as one reply whose length field no longer
// accounts for its size. Its bytes past the length field are no data of the reader's: every call must refuse
// such a reply instead of handing them out as part of the answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ostream>
#include <string>

#include <ryx.h>

#include "support/pty_pair.h"
#include "support/scripted_peer.h"

namespace ryx::test {
namespace {

// What a host that takes bytes after a complete frame as part of it sees: a start byte, an end byte last, and the
// byte before it the XOR of everything between.
bool PassesTheFrameCheck(const Bytes& bytes) {
    if (bytes.size() < 4 || bytes.front() != 0x02 || bytes.back() != 0x03) return false;
    std::uint8_t check = 0;
    for (std::size_t i = 1; i + 2 < bytes.size(); ++i) check ^= bytes[i];
    return check == bytes[bytes.size() - 2];
}

enum class Call { kExchangeApdu, kPowerOn, kControl };

struct Case {
    const char* what;
    Call call;
    bool secondReply;  // behind the reply: a status frame and a second reply; otherwise two status frames
};

// Printed by name: the bytes of the struct (its padding included) are nothing to print.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.what;
}

class LateAnswerBehindTheReply : public ::testing::TestWithParam<Case> {};

TEST_P(LateAnswerBehindTheReply, IsRefusedAndNothingOfItIsHandedOut) {
    const Case& c = GetParam();
    PtyPair pty;
    Bytes sentToTheCall;
    ScriptedPeer reader(pty, [&](std::size_t index, const Bytes& frame) -> Answer {
        const std::uint8_t type = frame[1];
        if (index == 0) return {StatusAccepted(), MakeFrame(ReplyTo(frame, 0x83, FirmwareReply()))};
        if (type == 0x63) return {StatusAccepted(), MakeFrame(ReplyTo(frame, 0x81, {}))};  // power off at close
        Bytes reply;
        if (type == 0x6F) reply = ReplyTo(frame, 0x80, {0x90, 0x00});
        if (type == 0x62) reply = ReplyTo(frame, 0x80, {0x3B, 0x00});
        if (type == 0x6B) reply = ReplyTo(frame, 0x83, {0x01, 0x02, 0x03});
        const Bytes behind = c.secondReply ? Join({StatusAccepted(), MakeFrame(ReplyTo(frame, reply[0], {}))})
                                           : Join({StatusAccepted(), StatusAccepted()});
        // One chunk, so that one read takes it all.
        sentToTheCall = Join({MakeFrame(reply), behind});
        return {Join({StatusAccepted(), sentToTheCall})};
    });
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(pty.slavePath().c_str(), &handle), RYX_SUCCESS);

    std::array<std::uint8_t, 64> out;
    out.fill(0xEE);
    switch (c.call) {
        case Call::kExchangeApdu: {
            const std::uint8_t command[] = {0x80, 0x10, 0x00, 0x00};
            std::uint32_t length = static_cast<std::uint32_t>(out.size());
            EXPECT_EQ(RYX_ExchangeApdu(handle, 0, command, sizeof command, out.data(), &length), RYX_ERROR_GEN_FAILURE);
            EXPECT_EQ(length, out.size());
            break;
        }
        case Call::kPowerOn: {
            std::uint32_t length = static_cast<std::uint32_t>(out.size());
            EXPECT_EQ(RYX_PowerOnIcc(handle, 0, out.data(), &length), RYX_ERROR_GEN_FAILURE);
            EXPECT_EQ(length, 0u);
            break;
        }
        case Call::kControl: {
            const std::uint8_t command[] = {0x01, 0x02, 0x03};
            std::uint32_t returned = 0xEEEE;
            EXPECT_EQ(RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, command, sizeof command, out.data(),
                                  static_cast<std::uint32_t>(out.size()), &returned),
                      RYX_ERROR_GEN_FAILURE);
            EXPECT_EQ(returned, 0u);
            break;
        }
    }
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xEE; }));
    // The case is what it claims: what the reader sent passes the frame check as a whole.
    ASSERT_TRUE(reader.Settle());
    EXPECT_TRUE(PassesTheFrameCheck(sentToTheCall));
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Calls, LateAnswerBehindTheReply,
                         ::testing::Values(Case{"apdu, second reply", Call::kExchangeApdu, true},
                                           Case{"apdu, two status frames", Call::kExchangeApdu, false},
                                           Case{"power on, second reply", Call::kPowerOn, true},
                                           Case{"power on, two status frames", Call::kPowerOn, false},
                                           Case{"escape, second reply", Call::kControl, true},
                                           Case{"escape, two status frames", Call::kControl, false}),
                         [](const auto& param) {
                             std::string name = param.param.what;
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
                             return name;
                         });

}  // namespace
}  // namespace ryx::test
