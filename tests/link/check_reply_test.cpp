// Reply checks and message headers, without I/O.
#include <gtest/gtest.h>

#include <ryx.h>

#include <vector>

#include "link/messages.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Reply(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t status, std::uint8_t error) {
    return {type, 0, 0, 0, 0, slot, seq, status, error, 0};
}

TEST(CheckReply, StatusMatrix) {
    struct Case {
        std::uint8_t status;
        std::uint8_t error;
        std::uint32_t result;
    };
    const Case cases[] = {
        {0x00, 0x00, RYX_SUCCESS},           {0x02, 0x00, RYX_SUCCESS},  // processed, no card
        {0x01, 0xFE, RYX_SUCCESS},  // bError is not looked at when the command succeeded
        {0x41, 0xFE, RYX_ERROR_TIMEOUT},     {0x42, 0xFE, RYX_ERROR_NO_MEDIA_IN_DRIVE},
        {0x40, 0xFE, RYX_ERROR_GEN_FAILURE}, {0x43, 0xFE, RYX_ERROR_GEN_FAILURE},
        {0x42, 0xF6, RYX_ERROR_GEN_FAILURE}, {0x41, 0x00, RYX_ERROR_GEN_FAILURE},
        {0x80, 0x00, RYX_ERROR_GEN_FAILURE},  // time extension
        {0x81, 0xFE, RYX_ERROR_GEN_FAILURE}, {0xC2, 0xFE, RYX_ERROR_GEN_FAILURE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckReply(Reply(0x81, 1, 7, c.status, c.error), 0x81, 1, 7), c.result)
            << std::hex << int(c.status) << '/' << int(c.error);
    }
}

TEST(CheckReply, WrongTypeSlotOrSequenceFailsWhateverTheStatus) {
    for (std::uint8_t status : {std::uint8_t{0x00}, std::uint8_t{0x41}, std::uint8_t{0x42}}) {
        EXPECT_EQ(CheckReply(Reply(0x81, 1, 7, status, 0xFE), 0x80, 1, 7), RYX_ERROR_GEN_FAILURE);
        EXPECT_EQ(CheckReply(Reply(0x81, 0, 7, status, 0xFE), 0x81, 1, 7), RYX_ERROR_GEN_FAILURE);
        EXPECT_EQ(CheckReply(Reply(0x81, 1, 8, status, 0xFE), 0x81, 1, 7), RYX_ERROR_GEN_FAILURE);
    }
}

TEST(CheckReply, ShortReplyFails) {
    const Bytes reply = Reply(0x81, 1, 7, 0, 0);
    EXPECT_EQ(CheckReply(std::span(reply.data(), 9), 0x81, 1, 7), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(CheckReply({}, 0x81, 1, 7), RYX_ERROR_GEN_FAILURE);
}

TEST(MessageHeader, LayoutIsLittleEndian) {
    Bytes out(10, 0xEE);
    BuildMessageHeader(out.data(), 0x6F, 0x12345678, 2, 0x99, 0xA1, 0xB2, 0xC3);
    EXPECT_EQ(out, (Bytes{0x6F, 0x78, 0x56, 0x34, 0x12, 0x02, 0x99, 0xA1, 0xB2, 0xC3}));
}

TEST(MessageHeader, SequenceWrapsAfter255) {
    Link link;
    link.sequence = 0xFE;
    EXPECT_EQ(NextSequence(link), 0xFE);
    EXPECT_EQ(NextSequence(link), 0xFF);
    EXPECT_EQ(NextSequence(link), 0x00);
    EXPECT_EQ(link.sequence, 0x01);
}

}  // namespace
}  // namespace ryx
