// The message set over a real pseudo-terminal against a scripted reader: the bytes of each message, sequence
// numbers, reply checks, reply capacities and XfrBlock chaining.
#include <ryx.h>

#include <memory>
#include <optional>

#include "link/link_fixture.h"
#include "link/messages.h"

namespace ryx::test {
namespace {

using MessagesTest = LinkOverPty;

// The header fields of a host frame (frame offsets: payload byte i is frame byte i + 1).
struct Sent {
    std::uint8_t type;
    std::uint32_t dwLength;
    std::uint8_t slot;
    std::uint8_t seq;
    std::uint16_t level;  // bytes 8-9: wLevelParameter of an XfrBlock
    Bytes data;
};

Sent Decode(const Bytes& frame) {
    Sent s{};
    s.type = frame[1];
    s.dwLength = frame[2] | (frame[3] << 8) | (frame[4] << 16) | (std::uint32_t{frame[5]} << 24);
    s.slot = frame[6];
    s.seq = frame[7];
    s.level = static_cast<std::uint16_t>(frame[9] | (frame[10] << 8));
    s.data.assign(frame.begin() + 11, frame.end() - 2);
    return s;
}

// A reader that answers every command frame with a reply of type, copying bSlot and bSeq.
Responder Answering(std::uint8_t type, std::uint8_t status = 0x00, std::uint8_t error = 0x00, std::uint8_t byte9 = 0x00,
                    Bytes data = {}) {
    return [=](std::size_t, const Bytes& frame) {
        return Accept(ReplyMessage(type, frame[6], frame[7], status, error, byte9, data));
    };
}

TEST_F(MessagesTest, PowerOffForSlotOneWithCounterSeven) {
    PrepareLink(link, 1);
    link.sequence = 7;
    ScriptedPeer peer(pty, {Accept({0x81, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00})});
    EXPECT_EQ(SendIccPowerOff(link), RYX_SUCCESS);
    EXPECT_EQ(link.sequence, 8);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(),
              std::vector<Bytes>{MakeFrame({0x63, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00, 0x00, 0x00})});
}

TEST_F(MessagesTest, XfrBlockExampleFrameAndResponse) {
    link.sequence = 0x10;
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), Bytes{0x02, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                                                           0x00, 0x90, 0x00, 0x02, 0x03}})}});
    const Bytes apdu = {0x00, 0xA4, 0x04, 0x00};
    Bytes response(16, 0xEE);
    std::uint32_t length = 16;
    ASSERT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(response[0], 0x90);
    EXPECT_EQ(response[1], 0x00);
    EXPECT_EQ(response[2], 0xEE);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{{0x02, 0x6F, 0x04, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                                                  0x00, 0xA4, 0x04, 0x00, 0xDB, 0x03}}));
}

TEST_F(MessagesTest, SequenceWrapsFromFFToZero) {
    link.sequence = 0xFF;
    ScriptedPeer peer(pty, Answering(0x81));
    std::uint8_t status = 0xEE;
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS);
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_SUCCESS);
    ASSERT_TRUE(peer.Settle());
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Decode(frames[0]).seq, 0xFF);
    EXPECT_EQ(Decode(frames[1]).seq, 0x00);
    EXPECT_EQ(link.sequence, 0x01);
}

TEST_F(MessagesTest, WrongTypeSlotOrSequenceFailsWhateverTheStatus) {
    struct Case {
        const char* what;
        std::uint8_t type, slotDelta, seqDelta, status, error;
    };
    const Case cases[] = {
        {"wrong type", 0x80, 0, 0, 0x00, 0x00},     {"wrong type, no card", 0x80, 0, 0, 0x42, 0xFE},
        {"wrong slot", 0x81, 1, 0, 0x00, 0x00},     {"wrong slot, mute", 0x81, 1, 0, 0x41, 0xFE},
        {"wrong sequence", 0x81, 0, 1, 0x00, 0x00}, {"wrong sequence, no card", 0x81, 0, 1, 0x42, 0xFE},
    };
    for (const Case& c : cases) {
        const std::uint8_t before = link.sequence;
        ScriptedPeer peer(pty, [&](std::size_t, const Bytes& frame) {
            return Accept(ReplyMessage(c.type, static_cast<std::uint8_t>(frame[6] + c.slotDelta),
                                       static_cast<std::uint8_t>(frame[7] + c.seqDelta), c.status, c.error, 0));
        });
        std::uint8_t status = 0xEE;
        EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_ERROR_GEN_FAILURE) << c.what;
        EXPECT_EQ(status, 0xEE) << c.what;
        EXPECT_EQ(link.sequence, static_cast<std::uint8_t>(before + 1)) << c.what;  // advanced all the same
        ASSERT_TRUE(peer.Settle());
    }
}

TEST_F(MessagesTest, PowerOnRefusesAReplyOfAnotherType) {
    ScriptedPeer peer(pty, Answering(0x81));
    Bytes atr(64, 0xEE);
    std::uint32_t length = 64;
    EXPECT_EQ(SendIccPowerOn(link, atr.data(), &length), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(length, 64u);
}

TEST_F(MessagesTest, SlotStatusMatrix) {
    struct Case {
        std::uint8_t status, error;
        std::uint32_t result;
        std::optional<std::uint8_t> written;
    };
    const Case cases[] = {
        {0x00, 0x00, RYX_SUCCESS, 0},
        {0x01, 0x00, RYX_SUCCESS, 1},
        {0x02, 0x00, RYX_SUCCESS, 2},  // processed, no card
        {0x41, 0xFE, RYX_ERROR_TIMEOUT, std::nullopt},
        {0x42, 0xFE, RYX_ERROR_NO_MEDIA_IN_DRIVE, 2},
        {0x40, 0xFE, RYX_ERROR_GEN_FAILURE, std::nullopt},
        {0x43, 0xFE, RYX_ERROR_GEN_FAILURE, std::nullopt},
        {0x42, 0xF6, RYX_ERROR_GEN_FAILURE, std::nullopt},
        {0x80, 0x00, RYX_ERROR_GEN_FAILURE, std::nullopt},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(pty, Answering(0x81, c.status, c.error));
        std::uint8_t status = 0xEE;
        EXPECT_EQ(SendGetSlotStatus(link, &status), c.result) << std::hex << int(c.status) << '/' << int(c.error);
        EXPECT_EQ(status, c.written.value_or(0xEE)) << std::hex << int(c.status) << '/' << int(c.error);
        ASSERT_TRUE(peer.Settle());
        const auto frames = peer.Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(Bytes(frames[0].begin() + 1, frames[0].begin() + 6), (Bytes{0x65, 0, 0, 0, 0}));
    }
}

TEST_F(MessagesTest, SlotStatusReplyWithDataIsTooLong) {
    ScriptedPeer peer(pty, Answering(0x81, 0x00, 0x00, 0x00, {0x01}));
    std::uint8_t status = 0xEE;
    EXPECT_EQ(SendGetSlotStatus(link, &status), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(status, 0xEE);
}

TEST_F(MessagesTest, PowerOnReturnsTheAtr) {
    const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    PrepareLink(link, 2);
    ScriptedPeer peer(pty, Answering(0x80, 0x00, 0x00, 0x00, atr));
    Bytes buffer(64, 0xEE);
    std::uint32_t length = 64;
    ASSERT_EQ(SendIccPowerOn(link, buffer.data(), &length), RYX_SUCCESS);
    ASSERT_EQ(length, atr.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), atr);
    EXPECT_EQ(buffer[4], 0xEE);
    ASSERT_TRUE(peer.Settle());
    const Sent sent = Decode(peer.Frames().at(0));
    EXPECT_EQ(sent.type, 0x62);
    EXPECT_EQ(sent.dwLength, 0u);
    EXPECT_EQ(sent.slot, 2);
}

TEST_F(MessagesTest, PowerOnMuteCardAndShortBuffer) {
    {
        ScriptedPeer peer(pty, Answering(0x80, 0x41, 0xFE));
        Bytes buffer(64, 0xEE);
        std::uint32_t length = 64;
        EXPECT_EQ(SendIccPowerOn(link, buffer.data(), &length), RYX_ERROR_TIMEOUT);
        EXPECT_EQ(length, 64u);
        ASSERT_TRUE(peer.Settle());
    }
    ScriptedPeer peer(pty, Answering(0x80, 0x00, 0x00, 0x00, Bytes(20, 0x3B)));
    Bytes buffer(10, 0xEE);
    std::uint32_t length = 10;
    EXPECT_EQ(SendIccPowerOn(link, buffer.data(), &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer, Bytes(10, 0xEE));
}

TEST_F(MessagesTest, EscapeCarriesItsDataAndReturnsTheReplyData) {
    const Bytes command = {0xE0, 0x00, 0x00, 0x18, 0x00};
    const Bytes answer = {0xE0, 0x00, 0x00, 0x20, 0x08, 'K', 'T', '4', '4', '7', '0', 'R', 'S'};
    ScriptedPeer peer(pty, Answering(0x83, 0x00, 0x00, 0x00, answer));
    Bytes buffer(35, 0xEE);
    std::uint32_t length = 35;
    ASSERT_EQ(SendEscape(link, command, buffer.data(), &length), RYX_SUCCESS);
    ASSERT_EQ(length, answer.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), answer);
    ASSERT_TRUE(peer.Settle());
    const Sent sent = Decode(peer.Frames().at(0));
    EXPECT_EQ(sent.type, 0x6B);
    EXPECT_EQ(sent.dwLength, 5u);
    EXPECT_EQ(sent.data, command);
}

TEST_F(MessagesTest, EscapeReplyLongerThanTheBuffer) {
    ScriptedPeer peer(pty, Answering(0x83, 0x00, 0x00, 0x00, Bytes(36, 0x41)));
    Bytes buffer(35, 0xEE);
    std::uint32_t length = 35;
    EXPECT_EQ(SendEscape(link, Bytes{0x44, 0x01}, buffer.data(), &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 35u);
    EXPECT_EQ(buffer, Bytes(35, 0xEE));
}

// A reader that asks for command blocks until it has the whole APDU, then answers 90 00.
Responder ChainingReader(std::uint32_t total) {
    auto received = std::make_shared<std::uint32_t>(0);
    return [=](std::size_t, const Bytes& frame) {
        const Sent s = Decode(frame);
        *received += s.dwLength;
        const bool all = *received >= total;
        return Accept(
            ReplyMessage(0x80, s.slot, s.seq, 0x00, 0x00, all ? 0x00 : 0x10, all ? Bytes{0x90, 0x00} : Bytes{}));
    };
}

TEST_F(MessagesTest, CommandChaining) {
    const std::uint32_t M = link.maxBlockSize;
    struct Case {
        std::uint32_t length;
        std::vector<std::pair<std::uint32_t, std::uint16_t>> blocks;  // size, wLevelParameter
    };
    const Case cases[] = {
        {0, {{0, 0x0000}}},
        {M, {{M, 0x0000}}},
        {M + 1, {{M, 0x0001}, {1, 0x0002}}},
        {2 * M + 5, {{M, 0x0001}, {M, 0x0003}, {5, 0x0002}}},
    };
    for (const Case& c : cases) {
        Bytes apdu(c.length);
        for (std::size_t i = 0; i < apdu.size(); ++i) {
            apdu[i] = static_cast<std::uint8_t>(i);
        }
        link.sequence = 0x40;
        ScriptedPeer peer(pty, ChainingReader(c.length));
        Bytes response(2, 0xEE);
        std::uint32_t length = 2;
        ASSERT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_SUCCESS) << c.length;
        EXPECT_EQ(length, 2u);
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
        ASSERT_TRUE(peer.Settle());
        const auto frames = peer.Frames();
        ASSERT_EQ(frames.size(), c.blocks.size()) << c.length;
        Bytes carried;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const Sent s = Decode(frames[i]);
            EXPECT_EQ(s.type, 0x6F);
            EXPECT_EQ(s.dwLength, c.blocks[i].first) << c.length << " block " << i;
            EXPECT_EQ(s.level, c.blocks[i].second) << c.length << " block " << i;
            EXPECT_EQ(frames[i][8], 0x00);  // bBWI
            EXPECT_EQ(s.seq, 0x40 + i) << c.length << " block " << i;
            carried.insert(carried.end(), s.data.begin(), s.data.end());
        }
        EXPECT_EQ(carried, apdu);
        EXPECT_EQ(link.sequence, 0x40 + frames.size());
    }
}

TEST_F(MessagesTest, ResponseInTwoRepliesAfterOneEmptyBlock) {
    ScriptedPeer peer(pty, [](std::size_t index, const Bytes& frame) {
        return index == 0 ? Accept(ReplyMessage(0x80, frame[6], frame[7], 0, 0, 0x01, {0x11, 0x22, 0x33}))
                          : Accept(ReplyMessage(0x80, frame[6], frame[7], 0, 0, 0x02, {0x44, 0x90, 0x00}));
    });
    Bytes response(8, 0xEE);
    std::uint32_t length = 8;
    ASSERT_EQ(SendXfrBlock(link, Bytes{0x00, 0xB0, 0x00, 0x00}, response.data(), &length), RYX_SUCCESS);
    ASSERT_EQ(length, 6u);
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 6), (Bytes{0x11, 0x22, 0x33, 0x44, 0x90, 0x00}));
    ASSERT_TRUE(peer.Settle());
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2u);
    const Sent poll = Decode(frames[1]);
    EXPECT_EQ(poll.dwLength, 0u);
    EXPECT_EQ(poll.level, 0x0010);
    EXPECT_EQ(poll.seq, static_cast<std::uint8_t>(Decode(frames[0]).seq + 1));
}

TEST_F(MessagesTest, ResponseLongerThanTheCapacity) {
    ScriptedPeer peer(pty, [](std::size_t index, const Bytes& frame) {
        return Accept(ReplyMessage(0x80, frame[6], frame[7], 0, 0, index == 0 ? 0x01 : 0x02, {0x61, 0x62}));
    });
    Bytes response(3, 0xEE);
    std::uint32_t length = 3;
    EXPECT_EQ(SendXfrBlock(link, Bytes{0x00, 0xB0, 0x00, 0x00}, response.data(), &length),
              RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 3u);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames().size(), 2u);
}

TEST_F(MessagesTest, UnknownChainParameterFails) {
    ScriptedPeer peer(pty, Answering(0x80, 0x00, 0x00, 0x04, {0x90, 0x00}));
    Bytes response(4, 0xEE);
    std::uint32_t length = 4;
    EXPECT_EQ(SendXfrBlock(link, Bytes{0x00, 0xA4, 0x04, 0x00}, response.data(), &length), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(length, 4u);
}

TEST_F(MessagesTest, ReplyEndingTheResponseEndsTheChainEarly) {
    ScriptedPeer peer(pty, Answering(0x80, 0x00, 0x00, 0x00, {0x6A, 0x80}));
    Bytes apdu(2 * link.maxBlockSize, 0x5A);
    Bytes response(4, 0xEE);
    std::uint32_t length = 4;
    ASSERT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_SUCCESS);
    EXPECT_EQ(length, 2u);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames().size(), 1u);
}

TEST_F(MessagesTest, FailureInTheMiddleOfAChainLeavesTheCounterPastEveryBlock) {
    // The second block is answered with a failed command.
    ScriptedPeer peer(pty, [](std::size_t index, const Bytes& frame) {
        return index == 0 ? Accept(ReplyMessage(0x80, frame[6], frame[7], 0x00, 0x00, 0x10))
                          : Accept(ReplyMessage(0x80, frame[6], frame[7], 0x40, 0xF6, 0x00));
    });
    link.sequence = 0x20;
    Bytes apdu(link.maxBlockSize + 1, 0x01);
    Bytes response(4, 0xEE);
    std::uint32_t length = 4;
    EXPECT_EQ(SendXfrBlock(link, apdu, response.data(), &length), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(link.sequence, 0x22);
}

TEST_F(MessagesTest, EmptyBlockAnsweredByAnEmptyContinuationFails) {
    // A reader that never ends the response would otherwise hold the exchange for ever.
    ScriptedPeer peer(pty, Answering(0x80, 0x00, 0x00, 0x01));
    Bytes response(4, 0xEE);
    std::uint32_t length = 4;
    EXPECT_EQ(SendXfrBlock(link, Bytes{0x00, 0xA4, 0x04, 0x00}, response.data(), &length), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(length, 4u);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames().size(), 2u);
}

}  // namespace
}  // namespace ryx::test
