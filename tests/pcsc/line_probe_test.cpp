// What the line probe takes for a reader's answer, and where it stops reading one.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pcsc/line_probe.h"

namespace ryx::pcsc {
namespace {

TEST(ShapeOfAnswer, FindsTheStatusAndTheResponsesEnd) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> received;
        bool status;
        std::size_t end;
    } cases[] = {
        {"nothing", {}, false, 0},
        {"noise", {0x02, 0x01, 0x02, 0x03, 0xFF}, false, 0},
        {"our own frame echoed", FirmwareQueryFrame(), false, 0},
        {"refused: the status is the whole answer", {0x02, 0x01, 0x01, 0x03}, true, 4},
        {"accepted, header still missing", {0x02, 0x00, 0x00, 0x03, 0x02, 0x83}, true, 0},
        {"after noise: 1 + 4 + a 15-byte response with 2 data bytes",
         {0xFF, 0x02, 0x00, 0x00, 0x03, 0x02, 0x83, 2, 0, 0, 0, 0, 0, 0, 0, 0},
         true,
         20},
    };
    for (const auto& c : cases) {
        const AnswerShape shape = ShapeOfAnswer(c.received);
        EXPECT_EQ(shape.status, c.status) << c.what;
        EXPECT_EQ(shape.end, c.end) << c.what;
    }
}

}  // namespace
}  // namespace ryx::pcsc
