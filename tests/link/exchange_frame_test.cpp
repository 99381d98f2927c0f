// ExchangeFrame over a real pseudo-terminal against a scripted reader: exact bytes on the wire, retries, repeat
// requests, and what is left untouched on failure.
#include <ryx.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <unistd.h>

#include "link/link_fixture.h"

namespace ryx::test {
namespace {

using namespace std::chrono_literals;

using ExchangeFrameTest = LinkOverPty;

// IccPowerOn for slot 0, sequence 5, and its reply with a 3-byte ATR.
const Bytes kPowerOn = {0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
const Bytes kPowerOnFrame = {0x02, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x67, 0x03};
const Bytes kAtrReply = ReplyMessage(0x80, 0, 5, 0x00, 0x00, 0x00, {0x3B, 0x00, 0x11});

Bytes Damaged(Bytes frame) {
    frame[frame.size() - 2] ^= 0x01;  // the check byte
    return frame;
}

// frame with filler behind it, ended once more: a check byte over everything after the start byte, then the end
// byte. Such trailing bytes leave the frame valid.
Bytes EndedAgain(Bytes frame, const Bytes& filler) {
    frame.insert(frame.end(), filler.begin(), filler.end());
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < frame.size(); ++i) check ^= frame[i];
    frame.insert(frame.end(), {check, 0x03});
    return frame;
}

struct Outcome {
    std::uint32_t result;
    Bytes reply;
    std::uint32_t replyLength;
};

// Runs one exchange with a reply buffer of capacity bytes pre-filled with 0xEE.
Outcome Exchange(Link& link, const Bytes& payload, std::uint32_t capacity = 64) {
    Outcome o{0, Bytes(capacity, 0xEE), capacity};
    o.result = ExchangeFrame(link, payload, o.reply.data(), &o.replyLength);
    return o;
}

TEST_F(ExchangeFrameTest, SendsTheFrameAndReturnsTheReplyMessage) {
    ScriptedPeer peer(pty, {Accept(kAtrReply)});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    ASSERT_EQ(o.replyLength, kAtrReply.size());
    EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), kAtrReply);
    EXPECT_EQ(o.reply[o.replyLength], 0xEE);  // nothing written past the reply
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), std::vector<Bytes>{kPowerOnFrame});
}

TEST_F(ExchangeFrameTest, ZeroLengthReplyGivesTen) {
    const Bytes reply = ReplyMessage(0x81, 0, 5, 0x00, 0x00, 0x00);
    ScriptedPeer peer(pty, {Accept(reply)});
    const Outcome o = Exchange(link, kPowerOn, 10);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.replyLength, 10u);
    EXPECT_EQ(o.reply, reply);
}

// A refusing or damaged status frame: the same bytes are sent again, at most statusRetries + 1 times, then 31.
TEST_F(ExchangeFrameTest, BadStatusFrameResendsTheSameBytesThenFails) {
    struct Case {
        const char* what;
        Bytes status;
        std::uint32_t retries;
    };
    const Case cases[] = {
        {"refused, no retry", {0x02, 0x01, 0x01, 0x03}, 0},    {"refused", {0x02, 0x01, 0x01, 0x03}, 1},
        {"refused, two retries", {0x02, 0x01, 0x01, 0x03}, 2}, {"wrong start byte", {0x03, 0x00, 0x00, 0x03}, 1},
        {"wrong check byte", {0x02, 0x00, 0x01, 0x03}, 1},     {"wrong end byte", {0x02, 0x00, 0x00, 0x02}, 1},
    };
    for (const Case& c : cases) {
        PtyPair pair;
        Link l = link;
        l.port = SerialOpenA(pair.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(l.port, kInvalidSerialHandle) << c.what;
        l.statusRetries = c.retries;
        {
            ScriptedPeer peer(pair, [&](std::size_t, const Bytes&) { return Answer{c.status}; });
            const Outcome o = Exchange(l, kPowerOn);
            EXPECT_EQ(o.result, RYX_ERROR_GEN_FAILURE) << c.what;
            EXPECT_EQ(o.replyLength, 64u) << c.what;
            EXPECT_TRUE(std::all_of(o.reply.begin(), o.reply.end(), [](std::uint8_t b) { return b == 0xEE; }));
            ASSERT_TRUE(peer.Settle()) << c.what;
            EXPECT_EQ(peer.Frames(), std::vector<Bytes>(c.retries + 1, kPowerOnFrame)) << c.what;
        }
        SerialClose(l.port);
    }
}

TEST_F(ExchangeFrameTest, RefusedOnceThenAccepted) {
    ScriptedPeer peer(pty, {{{0x02, 0x01, 0x01, 0x03}}, Accept(kAtrReply)});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.replyLength, kAtrReply.size());
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kPowerOnFrame}));
}

TEST_F(ExchangeFrameTest, SilentReaderFailsAfterTwoCommandAttempts) {
    ScriptedPeer peer(pty, std::vector<Answer>{});
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Exchange(link, kPowerOn);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(o.result, RYX_ERROR_GEN_FAILURE);
    EXPECT_LT(elapsed, 5s);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kPowerOnFrame}));
}

TEST_F(ExchangeFrameTest, StatusArrivingByteByByteIsCollected) {
    ScriptedPeer peer(pty, {{{0x02}, {0x00}, {0x00}, {0x03}, MakeFrame(kAtrReply)}});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.replyLength, kAtrReply.size());
}

TEST_F(ExchangeFrameTest, ResponseInChunksIsAssembled) {
    const Bytes reply = ReplyMessage(0x81, 0, 5, 0x00, 0x00, 0x00);
    const Bytes frame = MakeFrame(reply);  // 13 bytes: 5, then 8
    ScriptedPeer peer(
        pty, {{StatusAccepted(), Bytes(frame.begin(), frame.begin() + 5), Bytes(frame.begin() + 5, frame.end())}});
    const Outcome o = Exchange(link, kPowerOn, 10);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.reply, reply);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames().size(), 1u);
}

TEST_F(ExchangeFrameTest, LongResponseOverSeveralReads) {
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    const Bytes reply = ReplyMessage(0x80, 0, 5, 0x00, 0x00, 0x00, data);
    ScriptedPeer peer(pty, {Accept(reply)});
    const Outcome o = Exchange(link, kPowerOn, 310);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.reply, reply);
}

TEST_F(ExchangeFrameTest, TrailingBytesCountAsPartOfTheFrame) {
    // A 13-byte frame, and a 313-byte one whose last 64-byte chunk (from byte 256) takes what follows the frame.
    const Bytes longReply = ReplyMessage(0x80, 0, 5, 0x00, 0x00, 0x00, Bytes(300, 0x5A));
    for (const Bytes& reply : {ReplyMessage(0x81, 0, 5, 0x00, 0x00, 0x00), longReply}) {
        const Bytes consistent = EndedAgain(MakeFrame(reply), {0x44});
        {
            ScriptedPeer peer(pty, {{Join({StatusAccepted(), consistent})}});
            const Outcome o = Exchange(link, kPowerOn, 400);
            ASSERT_EQ(o.result, RYX_SUCCESS) << reply.size();
            ASSERT_EQ(o.replyLength, consistent.size() - 3);
            EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength),
                      Bytes(consistent.begin() + 1, consistent.end() - 2));
        }
        // A lone trailing byte breaks the frame: a repeat request follows, and the clean repeat is taken.
        Bytes inconsistent = MakeFrame(reply);
        inconsistent.push_back(0xAA);
        ScriptedPeer peer(pty, {{Join({StatusAccepted(), inconsistent})}, {MakeFrame(reply)}});
        const Outcome o = Exchange(link, kPowerOn, 400);
        ASSERT_EQ(o.result, RYX_SUCCESS) << reply.size();
        EXPECT_EQ(o.replyLength, reply.size());
        ASSERT_TRUE(peer.Settle());
        EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kRepeatRequest}));
    }
    // The chunks end at byte 320: the 7 bytes before it belong to the 313-byte frame, the one after it does not.
    Bytes frame = EndedAgain(MakeFrame(longReply), Bytes(5, 0x44));
    frame.push_back(0xAA);
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), frame})}});
    const Outcome o = Exchange(link, kPowerOn, 400);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(o.replyLength, 317u);
}

TEST_F(ExchangeFrameTest, DamagedResponseIsAskedForAgain) {
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), Damaged(MakeFrame(kAtrReply))})}, {MakeFrame(kAtrReply)}});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), kAtrReply);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kRepeatRequest}));
}

TEST_F(ExchangeFrameTest, BytesQueuedBehindADamagedChunkAreTheNextAttemptsFirst) {
    // The 64-byte chunk holds the damaged frame and filler; the clean frame queued behind it answers the repeat.
    const Bytes damaged = Damaged(MakeFrame(kAtrReply));
    ScriptedPeer peer(pty,
                      {{Join({StatusAccepted(), damaged, Bytes(64 - damaged.size(), 0x00), MakeFrame(kAtrReply)})}});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), kAtrReply);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kRepeatRequest}));
}

TEST_F(ExchangeFrameTest, TruncatedResponseIsAskedForAgain) {
    const Bytes frame = MakeFrame(kAtrReply);
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), Bytes(frame.begin(), frame.begin() + 8)})}, {frame}});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), kAtrReply);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kRepeatRequest}));
}

// Every failed response attempt is followed by a repeat request, the last one included.
TEST_F(ExchangeFrameTest, ResponseAttemptsExhausted) {
    for (std::uint32_t retries : {0u, 1u, 2u}) {
        PtyPair pair;
        Link l = link;
        l.port = SerialOpenA(pair.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(l.port, kInvalidSerialHandle);
        l.responseRetries = retries;
        {
            ScriptedPeer peer(pair, [](std::size_t index, const Bytes&) {
                const Bytes bad = Damaged(MakeFrame(kAtrReply));
                return index == 0 ? Answer{Join({StatusAccepted(), bad})} : Answer{bad};
            });
            const Outcome o = Exchange(l, kPowerOn);
            EXPECT_EQ(o.result, RYX_ERROR_GEN_FAILURE) << retries;
            EXPECT_EQ(o.replyLength, 64u);
            EXPECT_TRUE(std::all_of(o.reply.begin(), o.reply.end(), [](std::uint8_t b) { return b == 0xEE; }));
            ASSERT_TRUE(peer.Settle());
            std::vector<Bytes> expected{kPowerOnFrame};
            expected.insert(expected.end(), retries + 1, kRepeatRequest);
            EXPECT_EQ(peer.Frames(), expected) << retries;
        }
        SerialClose(l.port);
    }
}

// Too long for the caller: 122 at once, no repeat request, reply and length untouched.
TEST_F(ExchangeFrameTest, OversizedResponseEndsWithInsufficientBuffer) {
    struct Case {
        const char* what;
        Bytes reply;  // payload of the response frame
        std::uint32_t capacity;
    };
    const Case cases[] = {
        {"first chunk already beyond capacity + 3", ReplyMessage(0x81, 0, 5, 0, 0, 0, {1, 2, 3, 4, 5}), 10},
        {"one byte too long", ReplyMessage(0x80, 0, 5, 0, 0, 0, Bytes(3, 0x3B)), 12},
        {"announced length beyond capacity, over several reads", ReplyMessage(0x80, 0, 5, 0, 0, 0, Bytes(200, 1)), 64},
    };
    for (const Case& c : cases) {
        PtyPair pair;
        Link l = link;
        l.port = SerialOpenA(pair.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(l.port, kInvalidSerialHandle);
        {
            ScriptedPeer peer(pair, {Accept(c.reply)});
            const Outcome o = Exchange(l, kPowerOn, c.capacity);
            EXPECT_EQ(o.result, RYX_ERROR_INSUFFICIENT_BUFFER) << c.what;
            EXPECT_EQ(o.replyLength, c.capacity) << c.what;
            EXPECT_TRUE(std::all_of(o.reply.begin(), o.reply.end(), [](std::uint8_t b) { return b == 0xEE; }))
                << c.what;
            ASSERT_TRUE(peer.Settle());
            EXPECT_EQ(peer.Frames(), std::vector<Bytes>{kPowerOnFrame}) << c.what;
        }
        SerialClose(l.port);
    }
}

// Replies around the link's block size (261) on one link, one after another: a frame longer than the block size is
// still taken whenever the caller has room for it, and the buffer grown for it serves the next exchange again.
TEST_F(ExchangeFrameTest, RepliesAroundTheBlockSize) {
    struct Case {
        std::size_t data;  // bytes after the 10-byte header
        std::uint32_t capacity;
        std::uint32_t result;
    };
    const Case cases[] = {
        {261, 271, RYX_SUCCESS}, {262, 272, RYX_SUCCESS}, {1000, 1010, RYX_SUCCESS},
        {5, 15, RYX_SUCCESS},    {261, 271, RYX_SUCCESS}, {262, 271, RYX_ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        Bytes data(c.data);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + c.data);
        const Bytes reply = ReplyMessage(0x80, 0, 5, 0, 0, 0, data);
        ScriptedPeer peer(pty, {Accept(reply)});
        const Outcome o = Exchange(link, kPowerOn, c.capacity);
        EXPECT_EQ(o.result, c.result) << c.data << ' ' << c.capacity;
        const Bytes expected = c.result == RYX_SUCCESS ? reply : Bytes(c.capacity, 0xEE);
        EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), expected) << c.data << ' ' << c.capacity;
        ASSERT_TRUE(peer.Settle());
        EXPECT_EQ(peer.Frames(), std::vector<Bytes>{kPowerOnFrame}) << c.data << ' ' << c.capacity;
    }
}

TEST_F(ExchangeFrameTest, LengthFieldNearTheTopDoesNotWrap) {
    // dwLength FF FF FF FF: in 32 bits + 13 it would wrap to 12, and these 13 bytes would pass for a frame. They
    // are an incomplete frame instead: a repeat request after each attempt, then 31.
    const Bytes wrapped = {0x02, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x05, 0x00, 0x00, 0x00, 0x80, 0x03};
    ScriptedPeer peer(pty, {{Join({StatusAccepted(), wrapped})}});
    const Outcome o = Exchange(link, kPowerOn);
    EXPECT_EQ(o.result, RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(o.replyLength, 64u);
    ASSERT_TRUE(peer.Settle());
    EXPECT_EQ(peer.Frames(), (std::vector<Bytes>{kPowerOnFrame, kRepeatRequest, kRepeatRequest}));
}

// A reply that announces more data than the caller takes but stops after its 13 bytes is an incomplete frame,
// not a refused one: only bytes received beyond capacity + 3 end the exchange with 122.
TEST_F(ExchangeFrameTest, ShortFrameAnnouncingTooMuchIsAFailedAttempt) {
    auto announcing = [](std::uint8_t dwLength) {  // a 13-byte slot-status reply whose header claims dwLength
        Bytes reply = ReplyMessage(0x81, 0, 5, 0, 0, 0);
        reply[1] = dwLength;
        return MakeFrame(reply);
    };
    const Bytes good = MakeFrame(ReplyMessage(0x81, 0, 5, 0, 0, 0));
    struct Case {
        const char* what;
        Answer first;     // the response, in chunks, after the status frame
        Answer toRepeat;  // the answer to the first repeat request
        std::uint32_t result;
        std::size_t repeats;  // repeat requests sent
    };
    const Case cases[] = {
        {"announces 100, silent afterwards", {announcing(100)}, {}, RYX_ERROR_GEN_FAILURE, 2},
        {"announces 11, silent afterwards", {announcing(11)}, {}, RYX_ERROR_GEN_FAILURE, 2},
        {"announces 100, the same again on repeat", {announcing(100)}, {announcing(100)}, RYX_ERROR_GEN_FAILURE, 2},
        {"announces 11, a good frame on repeat", {announcing(11)}, {good}, RYX_SUCCESS, 1},
        {"announces 100, more bytes follow", {announcing(100), Bytes(4, 0x00)}, {}, RYX_ERROR_INSUFFICIENT_BUFFER, 0},
    };
    for (const Case& c : cases) {
        PtyPair pair;
        Link l = link;
        l.port = SerialOpenA(pair.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_NE(l.port, kInvalidSerialHandle) << c.what;
        {
            Answer answer = c.first;
            answer.front() = Join({StatusAccepted(), answer.front()});
            ScriptedPeer peer(pair, {answer, c.toRepeat});
            const Outcome o = Exchange(l, kPowerOn, 10);
            EXPECT_EQ(o.result, c.result) << c.what;
            if (c.result == RYX_SUCCESS) {
                EXPECT_EQ(o.reply, Bytes(good.begin() + 1, good.end() - 2)) << c.what;
            } else {
                EXPECT_EQ(o.reply, Bytes(10, 0xEE)) << c.what;
                EXPECT_EQ(o.replyLength, 10u) << c.what;
            }
            ASSERT_TRUE(peer.Settle());
            std::vector<Bytes> expected{kPowerOnFrame};
            expected.insert(expected.end(), c.repeats, kRepeatRequest);
            EXPECT_EQ(peer.Frames(), expected) << c.what;
        }
        SerialClose(l.port);
    }
}

TEST_F(ExchangeFrameTest, QueueIsPurgedBeforeTheCommand) {
    // Stale bytes from an earlier exchange must not be taken for the status frame.
    const Bytes stale = {0x02, 0x00, 0x00, 0x03, 0x02, 0x55};
    ASSERT_EQ(write(pty.master(), stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    ASSERT_EQ(pty.PendingForHost(), stale.size());
    ScriptedPeer peer(pty, {Accept(kAtrReply)});
    const Outcome o = Exchange(link, kPowerOn);
    ASSERT_EQ(o.result, RYX_SUCCESS);
    EXPECT_EQ(Bytes(o.reply.begin(), o.reply.begin() + o.replyLength), kAtrReply);
}

// A drain the limit cut off while the reader kept sending settles nothing: the next exchange drains again. The
// reader's longest frame at 9600 bit/s outlasts the 1 s limit, so any byte after the drain began keeps the line
// from counting as quiet. A well-formed refusal ends the exchange without unsettling the link itself.
TEST_F(ExchangeFrameTest, DrainCutOffByItsLimitLeavesTheLinkUnsettled) {
    link.maxBlockSize = 5000;
    link.statusRetries = 0;
    link.unsettled = true;
    ScriptedPeer peer(pty, {{{0x02, 0x01, 0x01, 0x03}}});
    std::atomic<bool> done{false};
    std::thread sender([&] {
        // A byte every few milliseconds until the command frame arrives (or a generous bound passes).
        const auto bound = std::chrono::steady_clock::now() + 30s;
        while (!done && peer.Received().empty() && std::chrono::steady_clock::now() < bound) {
            const std::uint8_t filler = 0x55;
            (void)!write(pty.master(), &filler, 1);
            std::this_thread::sleep_for(5ms);
        }
    });
    const Outcome o = Exchange(link, kPowerOn);
    done = true;
    sender.join();
    EXPECT_EQ(o.result, RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(link.counters.drains, 1u);
    EXPECT_GT(link.counters.discardedBytes, 0u);
    EXPECT_TRUE(link.unsettled);
}

// A command frame whose write failed may have gone out in part: the reader could still answer it.
TEST_F(ExchangeFrameTest, FailedCommandWriteLeavesTheLinkUnsettled) {
    pty.CloseMaster();
    EXPECT_EQ(Exchange(link, kPowerOn).result, RYX_ERROR_GEN_FAILURE);
    EXPECT_TRUE(link.unsettled);
}

}  // namespace
}  // namespace ryx::test
