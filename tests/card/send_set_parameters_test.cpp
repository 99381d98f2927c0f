// SendSetParameters over a real pseudo-terminal and the real serial and link layers, a scripted reader on the
// far end: the exact frame on the wire, the sequence number, and the reply codes passed up unchanged.
#include "card/set_parameters.h"

#include <gtest/gtest.h>
#include <ryx.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "link/test_link.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "support/scripted_peer.h"

namespace ryx {
namespace {

using test::Answer;
using test::Bytes;
using test::Join;
using test::MakeFrame;
using test::ScriptedPeer;
using test::StatusAccepted;

class SendSetParametersTest : public ::testing::Test {
protected:
    void SetUp() override {
        // One attempt per phase: every failure here is a valid frame, decided at once.
        ASSERT_NO_FATAL_FAILURE(test::OpenTestLink(link, pty.slavePath(), 1, 2000, 2000, 0));
    }
    void TearDown() override { test::CloseTestLink(link); }

    test::PtyPair pty;
    Link link;
};

// The reader's answer to a SetParameters command frame: an accepting status frame, then an RDR_to_PC_Parameters
// reply for the command's slot and sequence number with the given status, error and protocol data.
test::Responder Answering(std::uint8_t status, std::uint8_t error, Bytes data = {}, std::uint8_t type = 0x82,
                          int seqOffset = 0) {
    return [=](std::size_t, const Bytes& frame) -> Answer {
        // Header fields by offset: type, dwLength (little-endian), bSlot, bSeq, bStatus, bError, bProtocolNum.
        Bytes reply(10 + data.size(), 0x00);
        reply[0] = type;
        reply[1] = static_cast<std::uint8_t>(data.size());
        reply[5] = frame[6];
        reply[6] = static_cast<std::uint8_t>(frame[7] + seqOffset);
        reply[7] = status;
        reply[8] = error;
        reply[9] = frame[8];
        std::copy(data.begin(), data.end(), reply.begin() + 10);
        return {Join({StatusAccepted(), MakeFrame(reply)})};
    };
}

CardState T0Card() {
    return {.protocol = RYX_PROTOCOL_T0, .waitingInteger = 10, .fiIndex = 9, .diIndex = 6};
}

CardState T1Card() {
    return {.convention = 1,
            .protocol = RYX_PROTOCOL_T1,
            .ifsc = 0xFE,
            .cwi = 5,
            .bwi = 4,
            .edcType = 1,
            .fiIndex = 1,
            .diIndex = 1};
}

TEST_F(SendSetParametersTest, T0MessageOnTheWire) {
    ScriptedPeer peer(pty, Answering(0x00, 0x00, {0x96, 0x00, 0x00, 0x0A, 0x00}));
    link.sequence = 0x22;
    EXPECT_EQ(SendSetParameters(link, T0Card()), RYX_SUCCESS);
    EXPECT_EQ(link.sequence, 0x23);
    ASSERT_TRUE(peer.Settle());
    const Bytes message = {0x61, 0x05, 0x00, 0x00, 0x00, 0x01, 0x22, 0x00, 0x00, 0x00, 0x96, 0x00, 0x00, 0x0A, 0x00};
    EXPECT_EQ(peer.Frames(), std::vector<Bytes>{MakeFrame(message)});
}

TEST_F(SendSetParametersTest, T1MessageWithAFullReply) {
    // Seven bytes of protocol data make a 17-byte reply: exactly the room given.
    ScriptedPeer peer(pty, Answering(0x00, 0x00, {0x11, 0x13, 0x00, 0x45, 0x00, 0xFE, 0x00}));
    link.sequence = 0xFF;
    EXPECT_EQ(SendSetParameters(link, T1Card()), RYX_SUCCESS);
    EXPECT_EQ(link.sequence, 0x00);
    ASSERT_TRUE(peer.Settle());
    const Bytes message = {0x61, 0x07, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00,
                           0x00, 0x11, 0x13, 0x00, 0x45, 0x00, 0xFE, 0x00};
    EXPECT_EQ(peer.Frames(), std::vector<Bytes>{MakeFrame(message)});
}

TEST_F(SendSetParametersTest, ReplyCodesPassUnchanged) {
    struct {
        const char* name;
        std::uint8_t status, error;
        Bytes data;
        std::uint8_t type;
        int seqOffset;
        std::uint32_t result;
    } cases[] = {
        {"Refused", 0x40, 0x0A, {}, 0x82, 0, RYX_ERROR_GEN_FAILURE},
        {"MuteCard", 0x41, 0xFE, {}, 0x82, 0, RYX_ERROR_TIMEOUT},
        {"NoCard", 0x42, 0xFE, {}, 0x82, 0, RYX_ERROR_NO_MEDIA_IN_DRIVE},
        {"WrongType", 0x00, 0x00, {}, 0x81, 0, RYX_ERROR_GEN_FAILURE},
        {"WrongSequence", 0x00, 0x00, {}, 0x82, 1, RYX_ERROR_GEN_FAILURE},
        // Eight bytes of data: an 18-byte reply does not fit the 17 bytes of room.
        {"ReplyTooLong", 0x00, 0x00, Bytes(8, 0x00), 0x82, 0, RYX_ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer(pty, Answering(c.status, c.error, c.data, c.type, c.seqOffset));
        EXPECT_EQ(SendSetParameters(link, T1Card()), c.result) << c.name;
        ASSERT_TRUE(peer.Settle());
        EXPECT_EQ(peer.Frames().size(), 1u) << c.name;  // no retry from this layer
    }
}

TEST_F(SendSetParametersTest, OtherProtocolTakesANumberAndSendsNothing) {
    ScriptedPeer peer(pty, Answering(0x00, 0x00));
    link.sequence = 0x40;
    CardState none = T0Card();
    none.protocol = 0;
    EXPECT_EQ(SendSetParameters(link, none), RYX_ERROR_GEN_FAILURE);
    none.protocol = RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1;
    EXPECT_EQ(SendSetParameters(link, none), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(link.sequence, 0x42);
    // The next message is the first frame the reader sees, numbered after the two that were taken.
    EXPECT_EQ(SendSetParameters(link, T0Card()), RYX_SUCCESS);
    ASSERT_TRUE(peer.Settle());
    const std::vector<Bytes> frames = peer.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][7], 0x42);  // bSeq: frame byte 7 (payload byte 6)
}

}  // namespace
}  // namespace ryx
