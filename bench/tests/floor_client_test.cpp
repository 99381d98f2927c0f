// The floor is only a floor if it moves what the library moves: both carry the same APDUs to one simulated reader
// here, and the frames the reader saw are compared byte for byte (sequence numbers and the check bytes they change
// aside).
#include <gtest/gtest.h>

#include <vector>

#include "bench_card.h"
#include "bench_reader.h"
#include "sim/simulator.h"

namespace ryx::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A frame with its bSeq and check byte blanked, when it carries a header.
Bytes WithoutSequence(Bytes frame) {
    if (frame.size() >= kEmptyMessageFrameSize) {
        frame[7] = 0;
        frame[frame.size() - 2] = 0;
    }
    return frame;
}

std::vector<Bytes> Frames(const std::vector<sim::FrameRecord>& records) {
    std::vector<Bytes> out;
    for (const auto& r : records) out.push_back(WithoutSequence(r.bytes));
    return out;
}

TEST(FloorClientTest, MovesTheSameFramesAsTheLibrary) {
    const struct {
        sim::Model model;
        std::size_t commandLength;
        std::size_t responseLength;
        std::size_t commandFrames;  // what the reader receives: command blocks, then empty blocks
    } cases[] = {
        {sim::Model::KT4470RS, kShortCommandLength, 2, 1},
        {sim::Model::KT4470RS, kLineCommandLength, kLineResponseLength, 1},
        // 65,535 bytes in 252 blocks of 261; 65,536 response bytes in 252 pieces, 251 asked for by empty blocks.
        {sim::Model::KT4470RS, kLargeCommandLength, kLargeResponseLength, 252 + 251},
        {sim::Model::KT6630RS, kLargeCommandLength, kLargeResponseLength, 130 + 129},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << c.commandLength << ", block " << sim::ModelBlockSize(c.model));
        sim::Config config;
        config.model = c.model;
        BenchReader reader(config);
        const Bytes command = BenchCommand(c.commandLength);
        Bytes libraryResponse(kResponseBufferSize);
        Bytes floorResponse(kResponseBufferSize);

        ASSERT_TRUE(reader.LibraryExchange(command, libraryResponse, c.responseLength));
        const auto libraryReceived = Frames(reader.Sim().ReceivedFrames());
        const auto librarySent = Frames(reader.Sim().SentFrames());
        reader.Sim().ClearRecords();
        ASSERT_TRUE(reader.FloorExchange(reader.FloorFrames(command), floorResponse, c.responseLength));

        EXPECT_EQ(libraryReceived.size(), c.commandFrames);
        EXPECT_EQ(Frames(reader.Sim().ReceivedFrames()), libraryReceived);
        EXPECT_EQ(Frames(reader.Sim().SentFrames()), librarySent);
        const Bytes expected = BenchCardResponse(command);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), libraryResponse.begin()));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), floorResponse.begin()));
    }
}

TEST(FloorClientTest, LineBytesCountEveryFrameBothWays) {
    BenchReader reader;
    const Bytes command = BenchCommand(kLineCommandLength);
    Bytes response(kResponseBufferSize);
    ASSERT_TRUE(reader.LibraryExchange(command, response, kLineResponseLength));
    // Command frame 261 + 13, status frame 4, response frame 258 + 13.
    EXPECT_EQ(reader.LineBytes(), 274u + 4u + 271u);
}

TEST(FloorClientTest, RefusedStatusIsAFailureNotAnAnswer) {
    BenchReader reader;
    sim::Fault refuse;
    refuse.kind = sim::FaultKind::kRefuseStatus;
    reader.Sim().QueueFault(refuse);
    const Bytes command = BenchCommand(kShortCommandLength);
    Bytes response(kResponseBufferSize);
    EXPECT_FALSE(reader.FloorExchange(reader.FloorFrames(command), response, 2));
    // The reader is untouched by it: the next exchange goes through.
    EXPECT_TRUE(reader.FloorExchange(reader.FloorFrames(command), response, 2));
}

TEST(FloorClientTest, ResponseLongerThanTheBufferIsRefused) {
    BenchReader reader;
    const Bytes command = BenchCommand(kLineCommandLength);
    Bytes response(kLineResponseLength - 1);
    EXPECT_FALSE(reader.FloorExchange(reader.FloorFrames(command), response, kLineResponseLength));
}

}  // namespace
}  // namespace ryx::bench
