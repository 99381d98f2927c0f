// ParseAtr over the ATR grammar: what it accepts and derives, what it refuses and in which order, and what a
// refusal leaves untouched.
#include "card/parse_atr.h"

#include <gtest/gtest.h>
#include <ryx.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "support/param_name.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::SetASlot0;
using test::SetASlot2;
using test::SetBSlot1;
using test::SlotWithAtr;
using test::WithTck;

constexpr std::uint32_t kMalformed = RYX_ERROR_UNRECOGNIZED_MEDIA;
constexpr std::uint32_t kUnsupported = RYX_W_UNSUPPORTED_CARD;

// A slot whose derived fields all hold 0xA5 patterns, so that a test sees exactly which ones a parse wrote.
SlotRecord PoisonedSlot(const Bytes& atr, bool negotiate) {
    SlotRecord slot = SlotWithAtr(SetASlot0(), atr, negotiate);
    CardState& c = slot.card;
    c.convention = 0xA5A5A5A5;
    std::memset(c.historicalBytes, 0xA5, sizeof c.historicalBytes);
    c.historicalCount = c.atrFiIndex = c.atrDiIndex = 0xA5;
    c.programmingCurrent = c.programmingVoltage = c.extraGuardTime = 0xA5;
    c.protocolMask = c.protocol = 0xA5A5A5A5;
    c.waitingInteger = c.ifsc = c.cwi = c.bwi = c.edcType = 0xA5;
    c.fiIndex = c.diIndex = 0xA5;
    c.clockKhz = c.dataRate = 0xA5A5A5A5;
    slot.descriptor.cardMode = 0xA5A5A5A5;
    // Bytes past atrLength that a careless reader would pick up as interface bytes.
    std::memset(c.atr + atr.size(), 0xFF, kMaxAtrSize - atr.size());
    return slot;
}

// ---- Refusals -------------------------------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    Bytes atr;
    bool negotiate;
    std::uint32_t result;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseAtrRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ParseAtrRefuses, WithTheCodeOfTheFirstFailedCheck) {
    const RefusalCase& c = GetParam();
    SlotRecord slot = PoisonedSlot(c.atr, c.negotiate);
    EXPECT_EQ(ParseAtr(slot), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseAtrRefuses,
    ::testing::Values(
        RefusalCase{"OneByte", {0x3B}, true, kMalformed}, RefusalCase{"UnknownTs", {0x3C, 0x00}, true, kMalformed},
        RefusalCase{"TsOfAnInverseCardReadDirect", {0x03, 0x00}, true, kMalformed},
        // TD1 indicates T=1, so a TCK is expected, and 0x80 is the wrong one.
        RefusalCase{"BadTck", {0x3B, 0x80, 0x01, 0x80}, true, kMalformed},
        RefusalCase{"TckMissing", {0x3B, 0x80, 0x01}, true, kMalformed},
        RefusalCase{"ExtraHistoricalByte", {0x3B, 0x02, 0x14, 0x50, 0x00}, true, kMalformed},
        RefusalCase{"MissingHistoricalByte", {0x3B, 0x02, 0x14}, true, kMalformed},
        // Only T=0 is indicated (or nothing), so a trailing check byte is one byte too many.
        RefusalCase{"CheckByteOnT0Card", {0x3B, 0x00, 0x3B}, true, kMalformed},
        RefusalCase{"CheckByteAfterTd1T0", {0x3B, 0x80, 0x00, 0x80}, true, kMalformed},
        RefusalCase{"Ta1Missing", {0x3B, 0x10}, true, kMalformed},
        RefusalCase{"Tc1Missing", {0x3B, 0x70, 0x11, 0x00}, true, kMalformed},
        RefusalCase{"Td1Missing", {0x3B, 0x80}, true, kMalformed},
        RefusalCase{"Ta3Missing", {0x3B, 0x80, 0x80, 0x11}, true, kMalformed},
        // Historical bytes count as missing interface bytes: K = 2 but T0 also announces TA1 and TB1.
        RefusalCase{"InterfaceBytesEatHistorical", {0x3B, 0x32, 0x14, 0x50}, true, kMalformed},
        // The run of T=1 TDs reaches TD4: no group is left for the T=1 parameters.
        RefusalCase{"T1RunReachesTd4", WithTck({0x3B, 0x80, 0x81, 0x81, 0x81, 0x01}), true, kMalformed},
        RefusalCase{"OnlyTd4IndicatesT1", WithTck({0x3B, 0x80, 0x80, 0x80, 0x80, 0x01}), true, kMalformed},
        RefusalCase{"T1RunFromTd2ReachesTd4", WithTck({0x3B, 0x80, 0x80, 0x81, 0x81, 0x01}), false, kMalformed},
        // The T=1 run check comes after the speed selection, so a default-speed parse refuses it the same way.
        RefusalCase{"T1RunReachesTd4DefaultSpeed", WithTck({0x3B, 0x80, 0x81, 0x81, 0x81, 0x01}), false, kMalformed},
        // Fi indexes outside 1-6 and 9 are refused, reserved or not, whatever the speed request.
        RefusalCase{"FiReserved7", {0x3B, 0x10, 0x71}, true, kUnsupported},
        RefusalCase{"FiReserved14", {0x3B, 0x10, 0xE1}, false, kUnsupported},
        RefusalCase{"Fi0", {0x3B, 0x10, 0x01}, true, kUnsupported},
        RefusalCase{"Fi0DefaultSpeed", {0x3B, 0x10, 0x01}, false, kUnsupported},
        RefusalCase{"Fi10", {0x3B, 0x10, 0xA1}, true, kUnsupported},
        RefusalCase{"Fi13", {0x3B, 0x10, 0xD8}, false, kUnsupported},
        RefusalCase{"DiReservedNegotiated", {0x3B, 0x10, 0x1A}, true, kUnsupported},
        RefusalCase{"Di0Negotiated", {0x3B, 0x10, 0x10}, true, kUnsupported},
        // The grammar is checked before the Fi index: a bad TCK wins over an unsupported TA1.
        RefusalCase{"GrammarBeforeFi", {0x3B, 0x90, 0x71, 0x01, 0x00}, true, kMalformed},
        // The Fi index is checked before the T=1 run.
        RefusalCase{"FiBeforeT1Run", WithTck({0x3B, 0x90, 0x71, 0x81, 0x81, 0x81, 0x01}), true, kUnsupported}),
    test::NameOfCase());

TEST(ParseAtr, LengthBeyondTheArrayIsRefusedUntouched) {
    SlotRecord slot = PoisonedSlot({0x3B, 0x00}, true);
    slot.card.atrLength = kMaxAtrSize + 1;
    EXPECT_EQ(ParseAtr(slot), kMalformed);
    EXPECT_EQ(slot.card.convention, 0xA5A5A5A5u);
    EXPECT_EQ(slot.card.protocolMask, 0xA5A5A5A5u);
}

TEST(ParseAtr, FullArrayIsReadToItsEndOnly) {
    // 64 bytes: T0 announces nothing and K = 15, so 47 bytes are left over.
    Bytes atr(kMaxAtrSize, 0x00);
    atr[0] = 0x3B;
    atr[1] = 0x0F;
    SlotRecord slot = PoisonedSlot(atr, true);
    EXPECT_EQ(ParseAtr(slot), kMalformed);
}

// What a refusal must leave alone: the stored ATR, the speed request, and the protocol in force; a grammar
// refusal also leaves every field derived after the length checks.
struct UntouchedCase {
    const char* name;
    Bytes atr;
    bool negotiate;
    bool grammar;  // refused before the historical bytes are copied
};

void PrintTo(const UntouchedCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseAtrRefusalLeaves : public ::testing::TestWithParam<UntouchedCase> {};

TEST_P(ParseAtrRefusalLeaves, TheStoredAtrAndLaterFields) {
    const UntouchedCase& c = GetParam();
    SlotRecord slot = PoisonedSlot(c.atr, c.negotiate);
    const SlotRecord before = slot;
    ASSERT_NE(ParseAtr(slot), 0u);

    EXPECT_EQ(std::memcmp(slot.card.atr, before.card.atr, kMaxAtrSize), 0);
    EXPECT_EQ(slot.card.atrLength, before.card.atrLength);
    EXPECT_EQ(slot.card.negotiateSpeed, before.card.negotiateSpeed);
    EXPECT_EQ(slot.card.protocol, before.card.protocol);
    EXPECT_EQ(slot.descriptor.defaultClock, before.descriptor.defaultClock);
    EXPECT_EQ(slot.descriptor.maxDataRate, before.descriptor.maxDataRate);
    if (c.grammar) {
        EXPECT_EQ(std::memcmp(slot.card.historicalBytes, before.card.historicalBytes, 15), 0);
        EXPECT_EQ(slot.card.atrFiIndex, 0xA5);
        EXPECT_EQ(slot.card.programmingVoltage, 0xA5);
        EXPECT_EQ(slot.card.extraGuardTime, 0xA5);
        EXPECT_EQ(slot.card.fiIndex, 0xA5);
        EXPECT_EQ(slot.card.dataRate, 0xA5A5A5A5u);
        EXPECT_EQ(slot.card.clockKhz, 0xA5A5A5A5u);
        EXPECT_EQ(slot.descriptor.cardMode, 0xA5A5A5A5u);
        EXPECT_EQ(slot.card.waitingInteger, 0xA5);
        EXPECT_EQ(slot.card.ifsc, 0xA5);
    } else {
        // Refused at the Fi/Di checks: nothing of the speed choice or the mode is written.
        EXPECT_EQ(slot.card.fiIndex, 0xA5);
        EXPECT_EQ(slot.card.diIndex, 0xA5);
        EXPECT_EQ(slot.card.dataRate, 0xA5A5A5A5u);
        EXPECT_EQ(slot.descriptor.cardMode, 0xA5A5A5A5u);
    }
}

INSTANTIATE_TEST_SUITE_P(Refusals, ParseAtrRefusalLeaves,
                         ::testing::Values(UntouchedCase{"BadTs", {0x3A, 0x00}, true, true},
                                           UntouchedCase{"BadTck", {0x3B, 0x80, 0x01, 0x80}, true, true},
                                           UntouchedCase{"Truncated", {0x3B, 0xF0, 0x11}, true, true},
                                           UntouchedCase{"ExtraByte", {0x3B, 0x00, 0x3B}, false, true},
                                           UntouchedCase{"FiUnsupported", {0x3B, 0x10, 0xA1}, true, false},
                                           UntouchedCase{"DiReserved", {0x3B, 0x10, 0x1A}, true, false}),
                         test::NameOfCase());

TEST(ParseAtr, RefusedTsWritesNothingAtAll) {
    SlotRecord slot = PoisonedSlot({0x3A, 0x00}, true);
    ASSERT_EQ(ParseAtr(slot), kMalformed);
    EXPECT_EQ(slot.card.convention, 0xA5A5A5A5u);
    EXPECT_EQ(slot.card.protocolMask, 0xA5A5A5A5u);
    EXPECT_EQ(slot.card.historicalCount, 0xA5);
}

// ---- Accepted ATRs --------------------------------------------------------------------------------------------

TEST(ParseAtr, MinimalDirectAndInverseCards) {
    for (std::uint8_t ts : {std::uint8_t{0x3B}, std::uint8_t{0x3F}}) {
        for (bool negotiate : {true, false}) {
            SlotRecord slot = PoisonedSlot({ts, 0x00}, negotiate);
            ASSERT_EQ(ParseAtr(slot), 0u);
            const CardState& c = slot.card;
            EXPECT_EQ(c.convention, ts == 0x3F ? 1u : 0u);
            EXPECT_EQ(c.historicalCount, 0);
            EXPECT_EQ(c.protocolMask, 1u);
            EXPECT_EQ(c.waitingInteger, 10);
            EXPECT_EQ(c.atrFiIndex, 1);
            EXPECT_EQ(c.atrDiIndex, 1);
            EXPECT_EQ(c.programmingCurrent, 0);
            EXPECT_EQ(c.programmingVoltage, 50);
            EXPECT_EQ(c.extraGuardTime, 0);
            EXPECT_EQ(c.fiIndex, 1);
            EXPECT_EQ(c.diIndex, 1);
            EXPECT_EQ(c.clockKhz, 4000u);
            EXPECT_EQ(c.dataRate, 10752u);
            EXPECT_EQ(slot.descriptor.cardMode, kCardModeSpecific);
            EXPECT_EQ(c.protocol, 1u);
            // No T=1 offered: its fields keep what they held.
            EXPECT_EQ(c.ifsc, 0xA5);
            EXPECT_EQ(c.edcType, 0xA5);
        }
    }
}

TEST(ParseAtr, CardsOfferingT1TakeItsParameters) {
    const struct {
        const char* what;
        Bytes atr;
        std::uint32_t protocolMask, cardMode, protocol;
        std::uint8_t ifsc, cwi, bwi, edcType, waitingInteger;
    } cases[] = {
        {"T=1 only, empty group 2: the T=1 defaults",
         {0x3B, 0x80, 0x01, 0x81},
         2,
         kCardModeSpecific,
         2,
         32,
         13,
         4,
         0,
         0xA5},  // no T=0: WI not written
        // TD1 = T=0 with TD2 following, TD2 = T=1 with TA3 (IFSC) and TB3 (BWI 4, CWI 5). Two protocols make it
        // negotiable, even with TA1 = 0x11, and the protocol is left to the protocol selection.
        {"T=0 and T=1, T=1 from group 3", WithTck({0x3B, 0x90, 0x11, 0x80, 0x31, 0xFE, 0x45}), 3, kCardModeNegotiable,
         0xA5A5A5A5u, 0xFE, 5, 4, 0, 10},
        {"T=1 only offers no T=0", WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x35}), 2, kCardModeSpecific, 2, 0x20, 5, 3,
         0, 0xA5},
        // Zero T=1 bytes take the defaults.
        {"TA3 and TB3 zero", WithTck({0x3B, 0x80, 0x80, 0x31, 0x00, 0x00}), 3, kCardModeNegotiable, 0xA5A5A5A5u, 32, 13,
         4, 0, 10},
        {"TA3 zero, BWI 7", WithTck({0x3B, 0x80, 0x80, 0x31, 0x00, 0x70}), 3, kCardModeNegotiable, 0xA5A5A5A5u, 32, 13,
         7, 0, 10},
        {"BWI zero", WithTck({0x3B, 0x80, 0x80, 0x31, 0x10, 0x06}), 3, kCardModeNegotiable, 0xA5A5A5A5u, 0x10, 6, 4, 0,
         10},
        {"TA3, TB3 and TC3", WithTck({0x3B, 0x80, 0x80, 0x71, 0xFF, 0x45, 0x01}), 3, kCardModeNegotiable, 0xA5A5A5A5u,
         0xFF, 5, 4, 1, 10},
        {"TC3 alone, only bit 0 counts", WithTck({0x3B, 0x80, 0x80, 0x41, 0x03}), 3, kCardModeNegotiable, 0xA5A5A5A5u,
         32, 13, 4, 1, 10},
        {"TC3 alone, bit 0 clear", WithTck({0x3B, 0x80, 0x80, 0x41, 0xFE}), 3, kCardModeNegotiable, 0xA5A5A5A5u, 32, 13,
         4, 0, 10},
    };
    for (const auto& k : cases) {
        SlotRecord slot = PoisonedSlot(k.atr, true);
        ASSERT_EQ(ParseAtr(slot), 0u) << k.what;
        const CardState& c = slot.card;
        EXPECT_EQ(c.protocolMask, k.protocolMask) << k.what;
        EXPECT_EQ(slot.descriptor.cardMode, k.cardMode) << k.what;
        EXPECT_EQ(c.protocol, k.protocol) << k.what;
        EXPECT_EQ(c.ifsc, k.ifsc) << k.what;
        EXPECT_EQ(c.cwi, k.cwi) << k.what;
        EXPECT_EQ(c.bwi, k.bwi) << k.what;
        EXPECT_EQ(c.edcType, k.edcType) << k.what;
        EXPECT_EQ(c.waitingInteger, k.waitingInteger) << k.what;
    }
}

TEST(ParseAtr, HistoricalBytesAreCopied) {
    SlotRecord slot = PoisonedSlot({0x3B, 0x02, 0x14, 0x50}, true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.historicalCount, 2);
    EXPECT_EQ(slot.card.historicalBytes[0], 0x14);
    EXPECT_EQ(slot.card.historicalBytes[1], 0x50);
    EXPECT_EQ(slot.card.historicalBytes[2], 0xA5);  // only K bytes are copied
}

TEST(ParseAtr, FifteenHistoricalBytesAfterInterfaceBytesAndBeforeTck) {
    Bytes atr = {0x3B, 0x9F, 0x96, 0x81, 0x31, 0xFE, 0x45};
    for (std::uint8_t i = 0; i < 15; ++i) {
        atr.push_back(static_cast<std::uint8_t>(0x40 + i));
    }
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        tck ^= atr[i];
    }
    atr.push_back(tck);
    SlotRecord slot = PoisonedSlot(atr, true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    ASSERT_EQ(slot.card.historicalCount, 15);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(slot.card.historicalBytes[i], 0x40 + i) << i;
    }
}

TEST(ParseAtr, LaterT0IndicationDoesNotOfferT0) {
    // TD1 = T=1, TD2 = T=0: the T=0 bit depends on TD1 alone.
    SlotRecord slot = PoisonedSlot(WithTck({0x3B, 0x80, 0x81, 0x00}), true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.protocolMask, 2u);
    EXPECT_EQ(slot.descriptor.cardMode, kCardModeNegotiable);  // two types indicated
}

TEST(ParseAtr, Ta2SelectsTheSpecificProtocol) {
    struct {
        std::uint8_t ta1;
        std::uint8_t ta2;
        std::uint32_t protocol;
    } cases[] = {{0x95, 0x01, 2}, {0x11, 0x01, 2}, {0x96, 0x00, 1}, {0x18, 0x10, 1}};
    for (const auto& k : cases) {
        // TD1 = 0x10: TA2 follows, T=0 (no TCK).
        SlotRecord slot = PoisonedSlot({0x3B, 0x90, k.ta1, 0x10, k.ta2}, true);
        ASSERT_EQ(ParseAtr(slot), 0u) << int(k.ta1);
        EXPECT_EQ(slot.descriptor.cardMode, kCardModeSpecific);
        EXPECT_EQ(slot.card.protocol, k.protocol);
        EXPECT_EQ(slot.card.protocolMask, 1u);
        EXPECT_EQ(slot.card.atrFiIndex, k.ta1 >> 4);
    }
}

TEST(ParseAtr, SpecificModeKeepsTheNegotiatedChoice) {
    // TA2 makes the mode specific; the Fi/Di search still runs on TA1 = 0x97 (Di 7 too fast, Di 6 fits).
    SlotRecord slot = PoisonedSlot({0x3B, 0x90, 0x97, 0x10, 0x00}, true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.fiIndex, 9);
    EXPECT_EQ(slot.card.diIndex, 6);
    EXPECT_EQ(slot.card.dataRate, 250000u);
    EXPECT_EQ(slot.card.atrDiIndex, 7);
}

TEST(ParseAtr, T1GroupFollowsTheFirstRunOfT1Tds) {
    struct {
        const char* name;
        Bytes atr;
        std::uint8_t ifsc;
    } cases[] = {
        // TD1 = T=1 and TD2 = T=1 (announcing TA3): group 3.
        {"Td1Td2", WithTck({0x3B, 0x80, 0x81, 0x11, 0x40}), 0x40},
        // TD2 = T=1, TD3 = T=1 (announcing TA4): the run ends at TD3, group 4.
        {"Td2Td3", WithTck({0x3B, 0x80, 0x80, 0x81, 0x11, 0x50}), 0x50},
        // TD1 = T=1 announcing TA2, TD2 = T=0: the run is TD1 alone, so TA2 is the IFSC (and TA2 present).
        {"Td1Only", WithTck({0x3B, 0x80, 0x91, 0x60, 0x10, 0x00}), 0x60},
        // The first run wins even when a later run would reach TD4.
        {"FirstRunWins", WithTck({0x3B, 0x80, 0x91, 0x70, 0x80, 0x81, 0x01}), 0x70},
    };
    for (const auto& k : cases) {
        SlotRecord slot = PoisonedSlot(k.atr, true);
        ASSERT_EQ(ParseAtr(slot), 0u) << k.name;
        EXPECT_EQ(slot.card.ifsc, k.ifsc) << k.name;
        EXPECT_EQ(slot.card.protocolMask & 2u, 2u) << k.name;
    }
}

TEST(ParseAtr, BytesAnnouncedByTd4CountAsHistoricalBytes) {
    // TD4 = 0x10 announces a TA5 that is never read: with K = 0 there must be no such byte ...
    {
        SlotRecord slot = PoisonedSlot({0x3B, 0x80, 0x80, 0x80, 0x80, 0x10}, true);
        EXPECT_EQ(ParseAtr(slot), 0u);
    }
    {
        SlotRecord slot = PoisonedSlot({0x3B, 0x80, 0x80, 0x80, 0x80, 0x10, 0xAA}, true);
        EXPECT_EQ(ParseAtr(slot), kMalformed);
    }
    // ... and with K = 1 the byte after TD4 is the historical byte.
    {
        SlotRecord slot = PoisonedSlot({0x3B, 0x81, 0x80, 0x80, 0x80, 0x10, 0xAA}, true);
        ASSERT_EQ(ParseAtr(slot), 0u);
        EXPECT_EQ(slot.card.historicalBytes[0], 0xAA);
        EXPECT_EQ(slot.descriptor.cardMode, kCardModeSpecific);  // one type (T=0) indicated
    }
}

TEST(ParseAtr, ProgrammingAndGuardBytes) {
    struct {
        Bytes atr;
        std::uint8_t current, voltage, guard;
    } cases[] = {
        {{0x3B, 0x60, 0xC5, 0x07}, 3, 50, 7},                  // TB1, TC1
        {{0x3B, 0x20, 0x1F}, 0, 54, 0},                        // 31 * 10 = 310, kept to 8 bits
        {{0x3B, 0x20, 0x00}, 0, 0, 0},                         // TB1 present and 0
        {{0x3B, 0xE0, 0x45, 0xFF, 0x20, 0x7E}, 1, 126, 0xFF},  // TB2 wins over TB1
        {{0x3B, 0xE0, 0x45, 0x01, 0x20, 0x00}, 1, 50, 1},      // TB2 = 0 falls back to TB1
    };
    for (const auto& k : cases) {
        SlotRecord slot = PoisonedSlot(k.atr, true);
        ASSERT_EQ(ParseAtr(slot), 0u);
        EXPECT_EQ(slot.card.programmingCurrent, k.current);
        EXPECT_EQ(slot.card.programmingVoltage, k.voltage);
        EXPECT_EQ(slot.card.extraGuardTime, k.guard);
    }
}

TEST(ParseAtr, Tc2IsTheWaitingInteger) {
    SlotRecord slot = PoisonedSlot({0x3B, 0x80, 0x40, 0x32}, true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.waitingInteger, 0x32);
}

TEST(ParseAtr, ModeRule) {
    struct {
        const char* name;
        Bytes atr;
        std::uint32_t mode;
    } cases[] = {
        {"NoTa1OneProtocol", {0x3B, 0x00}, kCardModeSpecific},
        {"Ta1Default", {0x3B, 0x10, 0x11}, kCardModeSpecific},
        {"Ta1Faster", {0x3B, 0x10, 0x96}, kCardModeNegotiable},
        {"Ta1SlowerDi", {0x3B, 0x10, 0x12}, kCardModeNegotiable},
        // TD1 = T=0 and TD2 = T=0 count as one protocol type.
        {"RepeatedT0", {0x3B, 0x80, 0x80, 0x00}, kCardModeSpecific},
        // T=15 (global bytes) is a second indicated type and needs a TCK.
        {"T15CountsAsType", WithTck({0x3B, 0x80, 0x80, 0x0F}), kCardModeNegotiable},
        // TA2 present: specific whatever TA1 and the protocol count say.
        {"Ta2Dual", WithTck({0x3B, 0x90, 0x96, 0x90, 0x01, 0x01}), kCardModeSpecific},
    };
    for (const auto& k : cases) {
        SlotRecord slot = PoisonedSlot(k.atr, true);
        ASSERT_EQ(ParseAtr(slot), 0u) << k.name;
        EXPECT_EQ(slot.descriptor.cardMode, k.mode) << k.name;
    }
}

// ---- Speed selection through the parse ------------------------------------------------------------------------

struct ParsedSpeedCase {
    const char* name;
    SlotDescriptor slot;
    Bytes atr;
    bool negotiate;
    std::uint8_t fiIndex, diIndex;
    std::uint32_t dataRate;
};

void PrintTo(const ParsedSpeedCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseAtrSpeed : public ::testing::TestWithParam<ParsedSpeedCase> {};

TEST_P(ParseAtrSpeed, ChoosesFromTa1AndTheSlot) {
    const ParsedSpeedCase& c = GetParam();
    SlotRecord slot = SlotWithAtr(c.slot, c.atr, c.negotiate);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.fiIndex, c.fiIndex);
    EXPECT_EQ(slot.card.diIndex, c.diIndex);
    EXPECT_EQ(slot.card.dataRate, c.dataRate);
    EXPECT_EQ(slot.card.clockKhz, c.slot.defaultClock);
    EXPECT_EQ(slot.card.atrFiIndex, c.atr.size() > 2 ? c.atr[2] >> 4 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ParseAtrSpeed,
    ::testing::Values(ParsedSpeedCase{"Ta196", SetASlot0(), {0x3B, 0x10, 0x96}, true, 9, 6, 250000},
                      ParsedSpeedCase{"Ta197", SetASlot0(), {0x3B, 0x10, 0x97}, true, 9, 6, 250000},
                      ParsedSpeedCase{"Ta118Slot2", SetASlot2(), {0x3B, 0x10, 0x18}, true, 1, 4, 86021},
                      ParsedSpeedCase{"Ta197SetB", SetBSlot1(), {0x3B, 0x10, 0x97}, true, 9, 7, 625000},
                      ParsedSpeedCase{"Ta191", SetASlot0(), {0x3B, 0x10, 0x91}, true, 1, 1, 10752},
                      ParsedSpeedCase{"NoTa1", SetBSlot1(), {0x3B, 0x00}, true, 1, 1, 13441},
                      ParsedSpeedCase{"DefaultSpeed", SetASlot0(), {0x3B, 0x10, 0x96}, false, 1, 1, 10752},
                      // A reserved Di index is not looked at when the default speed is kept.
                      ParsedSpeedCase{"ReservedDiDefaultSpeed", SetASlot0(), {0x3B, 0x10, 0x1A}, false, 1, 1, 10752}),
    test::NameOfCase());

TEST(ParseAtr, ReservedDiWithDefaultSpeedKeepsTheCardsIndexes) {
    SlotRecord slot = SlotWithAtr(SetASlot0(), {0x3B, 0x10, 0x1A}, false);
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.atrFiIndex, 1);
    EXPECT_EQ(slot.card.atrDiIndex, 0x0A);
    EXPECT_EQ(slot.descriptor.cardMode, kCardModeNegotiable);
}

TEST(ParseAtr, ReparseRecomputesFromTheNewAtr) {
    SlotRecord slot = SlotWithAtr(SetASlot0(), WithTck({0x3B, 0x90, 0x96, 0x80, 0x31, 0xFE, 0x45}), true);
    ASSERT_EQ(ParseAtr(slot), 0u);
    ASSERT_EQ(slot.card.protocolMask, 3u);
    const Bytes next = {0x3F, 0x00};
    std::memcpy(slot.card.atr, next.data(), next.size());
    slot.card.atrLength = 2;
    ASSERT_EQ(ParseAtr(slot), 0u);
    EXPECT_EQ(slot.card.convention, 1u);
    EXPECT_EQ(slot.card.protocolMask, 1u);  // cleared, not accumulated
    EXPECT_EQ(slot.card.fiIndex, 1);
    EXPECT_EQ(slot.descriptor.cardMode, kCardModeSpecific);
    EXPECT_EQ(slot.card.ifsc, 0xFE);  // T=1 fields of the earlier card stay
}

}  // namespace
}  // namespace ryx
