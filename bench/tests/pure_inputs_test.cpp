// The inputs of the pure-part benchmarks must be what they claim to be, or the figures time an early exit.
#include "pure_inputs.h"

#include <gtest/gtest.h>

#include "card/parse_atr.h"
#include "compare.h"
#include "link/frame.h"

namespace ryx::bench {
using ryx_test::CompareResponse;
namespace {

TEST(PureInputsTest, EveryAtrOfTheSetParses) {
    auto records = BenchAtrRecords();
    ASSERT_GE(records.size(), 8u);
    bool sawT1 = false;
    bool sawInverse = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(ParseAtr(records[i]), 0u) << "ATR " << i;
        sawT1 = sawT1 || (records[i].card.protocolMask & 2) != 0;
        sawInverse = sawInverse || records[i].card.convention == 1;
    }
    EXPECT_TRUE(sawT1);
    EXPECT_TRUE(sawInverse);
}

TEST(PureInputsTest, ExpectedTextMatchesItsResponseAndOnlyIt) {
    auto response = BenchLargeResponse();
    const std::string expected = BenchExpectedText(response);
    std::int32_t mismatch = 0;
    EXPECT_EQ(CompareResponse(expected, response.data(), static_cast<std::uint32_t>(response.size()), &mismatch), 0);
    response[1000] ^= 0x10;  // byte 1000 is not a wildcard (1000 % 16 == 8)
    EXPECT_EQ(CompareResponse(expected, response.data(), static_cast<std::uint32_t>(response.size()), &mismatch), -1);
    EXPECT_EQ(mismatch, 1000);
}

TEST(PureInputsTest, ResponseFrameIsValidAndACorruptedOneIsNot) {
    auto frame = BenchResponseFrame(BenchLargeResponse());
    EXPECT_EQ(frame.size(), 65536u + 13u);
    EXPECT_TRUE(IsValidFrame(frame, 0x02, 0x03));
    frame[40000] ^= 0x01;
    EXPECT_FALSE(IsValidFrame(frame, 0x02, 0x03));
}

}  // namespace
}  // namespace ryx::bench
