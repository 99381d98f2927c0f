// The Fi/Di choice on its own: the worked rates of both reader families and the order of the descent.
#include "card/select_speed.h"

#include <gtest/gtest.h>
#include <ryx.h>

#include <ostream>
#include <string>

#include "card/parse_atr.h"
#include "card_test_support.h"
#include "support/param_name.h"

namespace ryx {
namespace {

using test::SetASlot0;
using test::SetASlot2;
using test::SetBSlot1;

TEST(FiDiTables, ReservedEntriesAreZero) {
    const std::uint32_t fi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
    const std::uint32_t di[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(kFiTable[i], fi[i]) << "Fi index " << i;
        EXPECT_EQ(kDiTable[i], di[i]) << "Di index " << i;
    }
}

struct SpeedCase {
    const char* name;
    SlotDescriptor slot;
    std::uint8_t ta1;
    std::uint8_t fiIndex;
    std::uint8_t diIndex;
    std::uint32_t dataRate;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
    *os << c.name;
}

class SelectSpeedTable : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SelectSpeedTable, ChoosesTheFirstFittingPair) {
    const SpeedCase& c = GetParam();
    SpeedChoice choice{0xEE, 0xEE, 0xEEEEEEEE};
    ASSERT_EQ(SelectSpeed(c.slot, c.ta1 >> 4, c.ta1 & 0x0F, true, &choice), 0u);
    EXPECT_EQ(choice.fiIndex, c.fiIndex);
    EXPECT_EQ(choice.diIndex, c.diIndex);
    EXPECT_EQ(choice.dataRate, c.dataRate);
}

SlotDescriptor WithMax(SlotDescriptor d, std::uint32_t maxDataRate) {
    d.maxDataRate = maxDataRate;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, SelectSpeedTable,
    ::testing::Values(SpeedCase{"CardPairFits", SetASlot0(), 0x96, 9, 6, 250000},
                      // Di 7 gives 500000, above the slot's limit.
                      SpeedCase{"OneDiStepDown", SetASlot0(), 0x97, 9, 6, 250000},
                      SpeedCase{"Fi1Di8", SetASlot0(), 0x18, 1, 8, 129032},
                      // Tried in index order 129032, 688172, 344086, 172043, 86021: by index, not by value.
                      SpeedCase{"DescentByIndexNotValue", SetASlot2(), 0x18, 1, 4, 86021},
                      SpeedCase{"EqualToMaximumFits", SetASlot2(), 0x95, 9, 5, 125000},
                      SpeedCase{"Fi1Di3", SetASlot2(), 0x13, 1, 3, 43010},
                      SpeedCase{"DefaultPairSlot0", SetASlot0(), 0x11, 1, 1, 10752},
                      SpeedCase{"DefaultPairSlot2", SetASlot2(), 0x11, 1, 1, 10752},
                      SpeedCase{"DefaultPairLowLimit", WithMax(SetASlot0(), 1), 0x11, 1, 1, 10752},
                      // Di index 1 never enters the search: Fi 9 is passed down to the default pair.
                      SpeedCase{"Di1FallsToDefault", SetASlot0(), 0x91, 1, 1, 10752},
                      SpeedCase{"FiveMegahertzClock", SetBSlot1(), 0x97, 9, 7, 625000},
                      SpeedCase{"FiveMegahertzDi6", SetBSlot1(), 0x96, 9, 6, 312500},
                      SpeedCase{"Di8BeforeDi7", SetASlot0(), 0x98, 9, 8, 93750},
                      SpeedCase{"Fi6Di9", SetASlot0(), 0x69, 6, 9, 43010},
                      // Nothing fits at Fi 9 (Di 2 already 15625 > 15000): Fi 8 and 7 are reserved and skipped, Fi 6
                      // with Di 2 gives 4301.
                      SpeedCase{"ReservedFiPassedThrough", WithMax(SetASlot0(), 15000), 0x92, 6, 2, 4301},
                      // No pair fits at all: the default pair is kept even though its rate is above the limit.
                      SpeedCase{"NothingFitsKeepsDefault", WithMax(SetASlot0(), 1000), 0x97, 1, 1, 10752}),
    test::NameOfCase());

TEST(SelectSpeed, DefaultSpeedIgnoresTa1Entirely) {
    for (int ta1 : {0x11, 0x96, 0x97, 0x18, 0x1A, 0x10, 0x9F}) {
        SpeedChoice choice{};
        ASSERT_EQ(SelectSpeed(SetBSlot1(), static_cast<std::uint8_t>(ta1 >> 4), ta1 & 0x0F, false, &choice), 0u) << ta1;
        EXPECT_EQ(choice.fiIndex, 1);
        EXPECT_EQ(choice.diIndex, 1);
        EXPECT_EQ(choice.dataRate, 13441u);
    }
}

TEST(SelectSpeed, ReservedDiRefusedOnlyWhenNegotiatingAndLeavesChoiceAlone) {
    for (int di : {0, 10, 11, 12, 13, 14, 15}) {
        SpeedChoice choice{0xEE, 0xEE, 0xEEEEEEEE};
        EXPECT_EQ(SelectSpeed(SetASlot0(), 1, static_cast<std::uint8_t>(di), true, &choice), RYX_W_UNSUPPORTED_CARD)
            << "Di index " << di;
        EXPECT_EQ(choice.fiIndex, 0xEE);
        EXPECT_EQ(choice.dataRate, 0xEEEEEEEEu);
    }
}

TEST(SelectSpeed, FiIndexZeroSettlesOnTheDefaultPair) {
    // Not reachable through ParseAtr (its support check refuses Fi index 0); the descent must still end.
    SpeedChoice choice{};
    ASSERT_EQ(SelectSpeed(WithMax(SetASlot0(), 1000), 0, 7, true, &choice), 0u);
    EXPECT_EQ(choice.fiIndex, 1);
    EXPECT_EQ(choice.diIndex, 1);
    EXPECT_EQ(choice.dataRate, 10752u);
}

}  // namespace
}  // namespace ryx
