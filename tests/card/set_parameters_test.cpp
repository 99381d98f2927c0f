// The PC_to_RDR_SetParameters message, byte for byte, built from parsed ATRs as the protocol selection does.
#include "card/set_parameters.h"

#include <gtest/gtest.h>
#include <ryx.h>

#include <algorithm>
#include <vector>

#include "card/parse_atr.h"
#include "card_test_support.h"

namespace ryx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::SetASlot0;
using test::SlotWithAtr;
using test::WithTck;

// Parses atr on set A slot 0 with the speed negotiated and puts the card into protocol, as a selection would.
CardState ParsedCard(const Bytes& atr, std::uint32_t protocol) {
    SlotRecord slot = SlotWithAtr(SetASlot0(), atr, true);
    EXPECT_EQ(ParseAtr(slot), 0u);
    slot.card.protocol = protocol;
    return slot.card;
}

Bytes Build(const CardState& card, std::uint8_t slot, std::uint8_t seq) {
    Bytes out(kSetParametersT1Size + 4, 0xEE);
    const std::uint32_t length = BuildSetParametersMessage(card, slot, seq, out.data());
    // Nothing beyond the returned length is written.
    for (std::size_t i = length; i < out.size(); ++i) {
        EXPECT_EQ(out[i], 0xEE) << "byte " << i;
    }
    out.resize(length);
    return out;
}

TEST(BuildSetParametersMessage, T0DirectFromTa196) {
    const CardState card = ParsedCard({0x3B, 0x10, 0x96}, RYX_PROTOCOL_T0);
    EXPECT_EQ(Build(card, 1, 0x22),
              (Bytes{0x61, 0x05, 0x00, 0x00, 0x00, 0x01, 0x22, 0x00, 0x00, 0x00, 0x96, 0x00, 0x00, 0x0A, 0x00}));
}

TEST(BuildSetParametersMessage, T0InverseWithGuardTimeAndWaitingInteger) {
    // TA1 0x18 on slot 0: Fi 1 / Di 8. TC1 = 3, TC2 = 0x20.
    const CardState card = ParsedCard({0x3F, 0xD0, 0x18, 0x03, 0x40, 0x20}, RYX_PROTOCOL_T0);
    EXPECT_EQ(Build(card, 2, 0xFF),
              (Bytes{0x61, 0x05, 0x00, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x18, 0x02, 0x03, 0x20, 0x00}));
}

TEST(BuildSetParametersMessage, T1InverseWithCrc) {
    // TD1 = T=1, TD2 = T=1 with TA3 (IFSC 0xFE), TB3 (BWI 4, CWI 5) and TC3 (CRC).
    const CardState card = ParsedCard(WithTck({0x3F, 0x80, 0x81, 0x71, 0xFE, 0x45, 0x01}), RYX_PROTOCOL_T1);
    EXPECT_EQ(Build(card, 0, 7), (Bytes{0x61, 0x07, 0x00, 0x00, 0x00, 0x00, 0x07, 0x01, 0x00, 0x00, 0x11, 0x13, 0x00,
                                        0x45, 0x00, 0xFE, 0x00}));
}

TEST(BuildSetParametersMessage, T1DirectLrcWithChosenSpeed) {
    // TA1 0x97 on slot 0 gives Fi 9 / Di 6; TC1 = 2; T=1 defaults (group 3 empty but for TC3 = 0).
    const CardState card = ParsedCard(WithTck({0x3B, 0xD0, 0x97, 0x02, 0x80, 0x41, 0x00}), RYX_PROTOCOL_T1);
    EXPECT_EQ(Build(card, 1, 0x80), (Bytes{0x61, 0x07, 0x00, 0x00, 0x00, 0x01, 0x80, 0x01, 0x00, 0x00, 0x96, 0x10, 0x02,
                                           0x4D, 0x00, 0x20, 0x00}));
}

TEST(BuildSetParametersMessage, InvalidIfscIsSentAs32) {
    struct {
        std::uint8_t ifsc;
        std::uint8_t sent;
    } cases[] = {{0x00, 32}, {0xFF, 32}, {0xFE, 0xFE}, {0x01, 0x01}, {0x20, 0x20}};
    for (const auto& k : cases) {
        CardState card;
        card.protocol = RYX_PROTOCOL_T1;
        card.ifsc = k.ifsc;
        const Bytes message = Build(card, 0, 0);
        ASSERT_EQ(message.size(), kSetParametersT1Size);
        EXPECT_EQ(message[15], k.sent) << int(k.ifsc);
    }
}

TEST(BuildSetParametersMessage, ConventionAndChecksumBits) {
    struct {
        std::uint32_t protocol, convention;
        std::uint8_t edcType, byte11;
    } cases[] = {{1, 0, 1, 0x00}, {1, 1, 1, 0x02}, {2, 0, 0, 0x10}, {2, 0, 1, 0x11}, {2, 1, 0, 0x12}, {2, 1, 1, 0x13}};
    for (const auto& k : cases) {
        CardState card;
        card.protocol = k.protocol;
        card.convention = k.convention;
        card.edcType = k.edcType;
        const Bytes message = Build(card, 0, 0);
        ASSERT_GT(message.size(), 11u);
        EXPECT_EQ(message[11], k.byte11) << k.protocol << "/" << k.convention << "/" << int(k.edcType);
    }
}

TEST(BuildSetParametersMessage, OtherProtocolsBuildNothing) {
    for (std::uint32_t protocol : {0u, 3u, 4u, 0x80000001u}) {
        CardState card;
        card.protocol = protocol;
        std::uint8_t out[kSetParametersT1Size];
        std::fill(std::begin(out), std::end(out), 0xEE);
        EXPECT_EQ(BuildSetParametersMessage(card, 0, 0, out), 0u) << protocol;
        EXPECT_TRUE(std::all_of(std::begin(out), std::end(out), [](std::uint8_t b) { return b == 0xEE; }));
    }
}

}  // namespace
}  // namespace ryx
