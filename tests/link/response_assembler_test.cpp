// Response-frame assembly from chunks of any size, without I/O.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "link/response_assembler.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Progress = ResponseAssembler::Progress;

// 02 80 02 00 00 00 00 10 00 00 00 90 00 02 03: the response APDU 90 00.
const Bytes kResponse = {0x02, 0x80, 0x02, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x90, 0x00, 0x02, 0x03};

Progress FeedAll(ResponseAssembler& a, const Bytes& bytes, std::size_t from, std::size_t to) {
    return a.Feed(std::span<const std::uint8_t>(bytes.data() + from, to - from));
}

TEST(ResponseAssembler, EveryTwoChunkSplitGivesTheSameFrame) {
    Bytes storage(64);
    for (std::size_t cut = 1; cut < kResponse.size(); ++cut) {
        ResponseAssembler a(storage);
        EXPECT_EQ(FeedAll(a, kResponse, 0, cut), Progress::kIncomplete) << cut;
        EXPECT_EQ(FeedAll(a, kResponse, cut, kResponse.size()), Progress::kComplete) << cut;
        const auto frame = a.Frame();
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), kResponse) << cut;
    }
}

TEST(ResponseAssembler, LengthKnownOnceElevenBytesAreIn) {
    Bytes storage(64);
    ResponseAssembler a(storage);
    for (std::size_t i = 0; i < kResponse.size(); ++i) {
        const Progress p = FeedAll(a, kResponse, i, i + 1);
        EXPECT_EQ(a.TotalKnown(), i + 1 >= 11) << i;
        EXPECT_EQ(p, i + 1 == kResponse.size() ? Progress::kComplete : Progress::kIncomplete) << i;
    }
    EXPECT_EQ(a.Total(), 15u);
    EXPECT_EQ(a.Received(), 15u);
}

TEST(ResponseAssembler, ZeroLengthReplyIsThirteenBytes) {
    const Bytes frame = {0x02, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x81, 0x03};
    Bytes storage(13);
    ResponseAssembler a(storage);
    EXPECT_EQ(FeedAll(a, frame, 0, 12), Progress::kIncomplete);
    EXPECT_EQ(FeedAll(a, frame, 12, 13), Progress::kComplete);
    EXPECT_EQ(a.Total(), 13u);
}

TEST(ResponseAssembler, TrailingBytesInTheLastChunkBelongToTheFrame) {
    Bytes bytes = kResponse;
    bytes.insert(bytes.end(), {0xAA, 0xBB});
    Bytes storage(64);
    ResponseAssembler a(storage);
    EXPECT_EQ(FeedAll(a, bytes, 0, 5), Progress::kIncomplete);
    EXPECT_EQ(FeedAll(a, bytes, 5, bytes.size()), Progress::kComplete);
    EXPECT_EQ(a.Frame().size(), bytes.size());
}

TEST(ResponseAssembler, TooLongCases) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::size_t storage;
        std::vector<std::size_t> cuts;  // chunk ends
        std::size_t tooLongAfterChunk;  // index of the chunk that reveals it
    };
    Bytes withData(13 + 5, 0x00);  // dwLength 5
    withData[0] = 0x02;
    withData[1] = 0x81;
    withData[2] = 0x05;
    // 13 bytes that would pass for a frame if dwLength + 13 wrapped in 32 bits, then one byte more.
    Bytes wrap = {0x02, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0x80, 0x03, 0x00};
    Bytes trailing = kResponse;
    trailing.push_back(0x03);
    const Case cases[] = {
        {"first chunk beyond the storage", withData, 13, {18}, 0},
        {"announced length beyond the storage, refused once the bytes overflow it", withData, 13, {5, 11, 13, 18}, 3},
        {"length field FF FF FF FF does not wrap into a short frame", wrap, 13, {13, 14}, 1},
        {"complete frame whose trailing byte overflows", trailing, 15, {16}, 0},
        {"storage smaller than the header", kResponse, 8, {9}, 0},
    };
    for (const Case& c : cases) {
        Bytes storage(c.storage, 0xEE);
        ResponseAssembler a(storage);
        std::size_t from = 0;
        for (std::size_t i = 0; i < c.cuts.size(); ++i) {
            const Progress p = FeedAll(a, c.bytes, from, c.cuts[i]);
            from = c.cuts[i];
            EXPECT_EQ(p, i >= c.tooLongAfterChunk ? Progress::kTooLong : Progress::kIncomplete)
                << c.what << ", chunk " << i;
        }
        // Nothing is stored beyond the storage, and the announced length is kept in full.
        EXPECT_LE(a.Frame().size(), c.storage) << c.what;
        if (a.TotalKnown()) {
            const std::uint64_t dwLength =
                c.bytes[2] | (c.bytes[3] << 8) | (c.bytes[4] << 16) | (std::uint64_t{c.bytes[5]} << 24);
            EXPECT_EQ(a.Total(), dwLength + 13) << c.what;
        }
    }
}

// Storage longer than the limit, or shorter and moved to a longer one half-way, and a chunk read straight into the
// storage where it belongs: the limit alone decides, and the frame comes out whole.
TEST(ResponseAssembler, LimitApartFromTheStorage) {
    struct Case {
        std::size_t storage;
        std::uint64_t limit;
        Progress result;
    };
    const Case cases[] = {{64, 15, Progress::kComplete}, {64, 14, Progress::kTooLong}, {11, 64, Progress::kComplete}};
    for (const Case& c : cases) {
        Bytes storage(c.storage, 0xEE);
        Bytes larger(64, 0xEE);
        ResponseAssembler a(storage, c.limit);
        EXPECT_EQ(FeedAll(a, kResponse, 0, 11), Progress::kIncomplete) << c.storage << ' ' << c.limit;
        if (c.storage < kResponse.size()) {
            std::copy(storage.begin(), storage.end(), larger.begin());
            a.Relocate(larger);
        }
        std::uint8_t* at = (c.storage < kResponse.size() ? larger : storage).data() + 11;
        std::copy(kResponse.begin() + 11, kResponse.end(), at);  // as a read straight into the storage would
        EXPECT_EQ(a.Feed(std::span<const std::uint8_t>(at, kResponse.size() - 11)), c.result) << c.limit;
        const auto frame = a.Frame();
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), c.result == Progress::kComplete ? kResponse : Bytes{}) << c.limit;
    }
}

TEST(ResponseAssembler, FinalStatesStickAndResetStartsAgain) {
    Bytes storage(64);
    ResponseAssembler a(storage);
    EXPECT_EQ(FeedAll(a, kResponse, 0, kResponse.size()), Progress::kComplete);
    EXPECT_EQ(FeedAll(a, kResponse, 0, 3), Progress::kComplete);
    EXPECT_EQ(a.Received(), kResponse.size());
    a.Reset();
    EXPECT_EQ(a.Received(), 0u);
    EXPECT_FALSE(a.TotalKnown());
    EXPECT_EQ(FeedAll(a, kResponse, 0, 11), Progress::kIncomplete);
    EXPECT_EQ(FeedAll(a, kResponse, 11, kResponse.size()), Progress::kComplete);
}

}  // namespace
}  // namespace ryx
