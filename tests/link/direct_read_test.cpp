// The library reads a long response frame in as few calls as the line allows: a read takes what is queued, straight
// into the receive buffer, and the frame takes of it what 64-byte chunks would have (bytes sent after the frame,
// up to the last chunk's end, count as part of it); the rest waits for the next read. A serial read takes what is
// queued before it waits. These tests hold the results to what chunk-by-chunk reading gives.
#include <gtest/gtest.h>

#include <ryx.h>

#include <unistd.h>

#include "link/link_fixture.h"
#include "link/response_assembler.h"

namespace ryx::test {
namespace {

// A reply with `data` bytes of data, counting.
Bytes LongReply(std::size_t data) {
    Bytes bytes(data);
    for (std::size_t i = 0; i < data; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return ReplyMessage(0x80, 0, 5, 0x00, 0x00, 0x00, bytes);
}

const Bytes kPowerOn = {0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
const Bytes kPowerOnFrame = {0x02, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x67, 0x03};

TEST(DirectReadTest, MissingIsTheRestOfAFrameThatFits) {
    const Bytes frame = MakeFrame(LongReply(300));  // 313 bytes
    const struct {
        const char* what;
        std::size_t storage;
        std::size_t fed;            // fed through Feed first
        std::size_t missingOffset;  // where Missing() starts, when not empty
        std::size_t missingSize;
    } cases[] = {
        {"length not known yet", 400, 10, 0, 0},
        {"length known", 400, 11, 11, 302},
        {"most of it in", 400, 300, 300, 13},
        {"complete", 400, 313, 0, 0},
        {"frame announced longer than the storage: the rest of the storage", 312, 11, 11, 301},
        {"frame announced longer than the storage, storage full", 312, 312, 0, 0},
    };
    for (const auto& c : cases) {
        Bytes storage(c.storage);
        ResponseAssembler assembler(storage);
        (void)assembler.Feed(std::span(frame).first(c.fed));
        const auto missing = assembler.Missing();
        EXPECT_EQ(missing.size(), c.missingSize) << c.what;
        if (!missing.empty()) {
            EXPECT_EQ(missing.data(), storage.data() + c.missingOffset) << c.what;
        }
    }
}

TEST(DirectReadTest, FeedStoredTakesBytesWrittenInPlace) {
    const Bytes frame = MakeFrame(LongReply(300));
    Bytes storage(400);
    ResponseAssembler assembler(storage);
    ASSERT_EQ(assembler.Feed(std::span(frame).first(64)), ResponseAssembler::Progress::kIncomplete);
    auto missing = assembler.Missing();
    std::copy(frame.begin() + 64, frame.begin() + 200, missing.begin());
    EXPECT_EQ(assembler.FeedStored(136), ResponseAssembler::Progress::kIncomplete);
    EXPECT_EQ(assembler.Received(), 200u);
    missing = assembler.Missing();
    ASSERT_EQ(missing.size(), 113u);
    std::copy(frame.begin() + 200, frame.end(), missing.begin());
    // A count beyond what was missing takes only what was missing.
    EXPECT_EQ(assembler.FeedStored(500), ResponseAssembler::Progress::kComplete);
    EXPECT_EQ(Bytes(assembler.Frame().begin(), assembler.Frame().end()), frame);
}

using LongResponseTest = LinkOverPty;

struct Outcome {
    std::uint32_t result;
    Bytes reply;
    std::uint32_t replyLength;
};

Outcome Exchange(Link& link, std::uint32_t capacity) {
    Outcome o{0, Bytes(capacity, 0xEE), capacity};
    o.result = ExchangeFrame(link, kPowerOn, o.reply.data(), &o.replyLength);
    return o;
}

TEST_F(LongResponseTest, LongFrameInOneWriteOrInSmallPiecesIsTheSame) {
    const Bytes reply = LongReply(500);
    const Bytes frame = MakeFrame(reply);
    // In one write with the status; and in pieces of 7 bytes, each written once the host has taken the last.
    std::vector<Bytes> pieces = {StatusAccepted()};
    for (std::size_t offset = 0; offset < frame.size(); offset += 7) {
        pieces.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                            frame.begin() + static_cast<std::ptrdiff_t>(std::min(offset + 7, frame.size())));
    }
    for (const Answer& answer : {Answer{Join({StatusAccepted(), frame})}, Answer(pieces)}) {
        PtyPair pair;
        Link l = link;
        l.port = SerialOpenA(pair.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(l.port, kInvalidSerialHandle);
        {
            ScriptedPeer peer(pair, {answer});
            const Outcome o = Exchange(l, 600);
            ASSERT_EQ(o.result, RYX_SUCCESS) << answer.size() << " pieces";
            ASSERT_EQ(o.replyLength, reply.size());
            EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), reply);
            EXPECT_EQ(o.reply[o.replyLength], 0xEE);
            ASSERT_TRUE(peer.Settle());
            EXPECT_EQ(peer.Frames(), std::vector<Bytes>{kPowerOnFrame});
        }
        SerialClose(l.port);
    }
}

// Bytes after a long frame count as part of it: ExchangeFrameTest.TrailingBytesCountAsPartOfTheFrame.

TEST_F(LongResponseTest, StrayBytesBeyondTheBufferStillEndWithInsufficientBuffer) {
    // The frame fits a capacity of 310 exactly (313 bytes = 310 + 3); a stray byte after it does not.
    Bytes frame = MakeFrame(LongReply(300));
    frame.push_back(0xAA);
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), frame})}});
    const Outcome o = Exchange(link, 310);
    EXPECT_EQ(o.result, RYX_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(o.replyLength, 310u);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), std::vector<Bytes>{kPowerOnFrame});
}

TEST_F(LongResponseTest, QueuedBytesAreTakenUpToTheCountAsked) {
    const Bytes bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(::write(pty.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(pty.PendingForHost(), bytes.size());  // queued before the reads below start
    std::uint8_t buffer[64] = {};
    std::uint32_t n = 0;
    ASSERT_TRUE(SerialRead(link.port, buffer, 4, &n, 0));
    EXPECT_EQ(Bytes(buffer, buffer + n), Bytes(bytes.begin(), bytes.begin() + 4));
    ASSERT_TRUE(SerialRead(link.port, buffer, sizeof buffer, &n, 0));
    EXPECT_EQ(Bytes(buffer, buffer + n), Bytes(bytes.begin() + 4, bytes.end()));
}

}  // namespace
}  // namespace ryx::test
