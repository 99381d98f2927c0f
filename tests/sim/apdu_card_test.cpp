// The built-in card and the APDU layout it reads.
#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim/apdu.h"
#include "sim/card.h"

namespace ryx::sim {
namespace {

using simtest::Bytes;
using simtest::Hex;

TEST(ParseApdu, AllCasesShortAndExtended) {
    struct Case {
        const char* hex;
        bool ok;
        std::size_t nc;
        std::size_t ne;
        bool extended;
    };
    const Case cases[] = {
        {"00 A4 04 00", true, 0, 0, false},                       // case 1
        {"00 B0 00 00 10", true, 0, 16, false},                   // case 2
        {"00 B0 00 00 00", true, 0, 256, false},                  // Le 00 = 256
        {"00 D6 00 00 02 AA BB", true, 2, 0, false},              // case 3
        {"00 A4 00 00 02 3F 00 00", true, 2, 256, false},         // case 4
        {"80 12 00 00 00 01 00", true, 0, 256, true},             // case 2 extended
        {"80 12 00 00 00 00 00", true, 0, 65536, true},           // extended Le 0000 = 65536
        {"80 10 00 00 00 00 02 AA BB", true, 2, 0, true},         // case 3 extended
        {"80 10 00 00 00 00 01 AA 00 00", true, 1, 65536, true},  // case 4 extended
        {"00 A4 00", false, 0, 0, false},                         // too short
        {"00 D6 00 00 03 AA BB", false, 0, 0, false},             // Lc larger than the data
        {"00 D6 00 00 01 AA BB CC", false, 0, 0, false},          // Lc smaller than the data
        {"80 10 00 00 00 00 00 AA", false, 0, 0, false},          // extended Lc 0
        {"80 10 00 00 00 01", false, 0, 0, false},                // truncated extended field
    };
    for (const auto& c : cases) {
        const Bytes b = Hex(c.hex);
        const auto a = ParseApdu(b);
        ASSERT_EQ(a.has_value(), c.ok) << c.hex;
        if (!a) continue;
        EXPECT_EQ(a->data.size(), c.nc) << c.hex;
        EXPECT_EQ(a->ne, c.ne) << c.hex;
        EXPECT_EQ(a->hasLe, c.ne != 0) << c.hex;
        EXPECT_EQ(a->extended, c.extended) << c.hex;
    }
}

Bytes Send(BuiltInCard& card, const std::string& hex) {
    return card.Process(Hex(hex));
}

TEST(BuiltInCard, CommandSetAndStatusWords) {
    // Each row runs on a fresh card after the commands of its `before` column.
    struct Case {
        const char* before;
        const char* command;
        const char* response;
    };
    const Case cases[] = {
        {"", "00 A4 00 00 02 3F 00", "90 00"},
        {"", "00 A4 00 00 02 01 01", "90 00"},
        {"", "00 A4 00 00 02 01 01 00", "90 00"},
        {"", "00 A4 00 00 02 0F 0F", "6A 82"},
        {"", "00 A4 00 00 01 01", "67 00"},
        {"", "00 A4 04 00 08 A0 00 00 05 52 59 58 01", "90 00"},
        {"", "00 A4 04 00 05 A0 00 00 05 52", "90 00"},
        {"", "00 A4 04 00 04 A0 00 00 05", "6A 82"},
        {"", "00 A4 04 00 08 A0 00 00 05 52 59 58 02", "6A 82"},
        {"", "00 A4 02 00 02 01 01", "6A 86"},
        {"", "00 A4 00 05 02 01 01", "6A 86"},
        {"", "00 B0 00 00 04", "69 86"},
        {"00 A4 00 00 02 01 01", "00 B0 00 00 00", "52 59 58 20 53 49 4D 20 43 41 52 44 20 31 2E 30 62 82"},
        {"00 A4 00 00 02 01 01", "00 B0 00 00 10", "52 59 58 20 53 49 4D 20 43 41 52 44 20 31 2E 30 90 00"},
        {"00 A4 00 00 02 01 01", "00 B0 00 0C 04", "20 31 2E 30 90 00"},
        {"00 A4 00 00 02 01 02", "00 B0 01 FE 02", "FE FF 90 00"},
        {"00 A4 00 00 02 01 02", "00 B0 02 01 01", "6B 00"},
        {"00 A4 00 00 02 01 01", "00 B0 00 00", "67 00"},
        {"00 A4 00 00 02 01 01", "00 B0 80 00 01", "6A 81"},
        {"00 A4 00 00 02 01 01", "00 D6 00 00 01 AA", "69 82"},
        {"00 A4 00 00 02 01 03", "00 D6 00 3F 02 AA BB", "6A 84"},
        {"00 A4 00 00 02 01 03", "00 D6 00 41 01 AA", "6B 00"},
        {"00 A4 00 00 02 01 03;00 D6 00 3E 02 AA BB", "00 B0 00 3C 04", "00 00 AA BB 90 00"},
        {"00 A4 00 00 02 01 01;00 A4 00 00 02 3F 00", "00 B0 00 00 01", "69 86"},
        {"", "80 10 00 00 03 01 02 03", "01 02 03 90 00"},
        {"", "80 10 00 00", "90 00"},
        {"", "80 12 00 00 03", "00 01 02 90 00"},
        {"", "80 12 00 00", "67 00"},
        {"", "00 12 00 00 03", "6D 00"},
        {"", "00 C0 00 00 00", "6D 00"},
        {"", "80 A4 00 00 02 01 01", "6D 00"},
        {"", "A0 A4 00 00 02 01 01", "6E 00"},
        {"", "FF 10 00 00", "6E 00"},
        {"", "00 A4", "67 00"},
        {"", "00 A4 00 00 03 01 01", "67 00"},
    };
    for (const auto& c : cases) {
        BuiltInCard card;
        std::string before = c.before;
        while (!before.empty()) {
            const auto semi = before.find(';');
            const Bytes r = Send(card, before.substr(0, semi));
            ASSERT_EQ(Bytes(r.end() - 2, r.end()), Hex("90 00")) << before;
            before = semi == std::string::npos ? "" : before.substr(semi + 1);
        }
        EXPECT_EQ(Send(card, c.command), Hex(c.response)) << c.before << " | " << c.command;
    }
}

TEST(BuiltInCard, PatternUpToExtendedLe) {
    BuiltInCard card;
    const Bytes r = Send(card, "80 12 00 00 00 00 00");
    ASSERT_EQ(r.size(), 65538u);
    for (std::size_t i = 0; i < 65536; ++i) ASSERT_EQ(r[i], static_cast<std::uint8_t>(i)) << i;
    EXPECT_EQ(r[65536], 0x90);
    EXPECT_EQ(r[65537], 0x00);
    // Command data with the pattern command is taken and ignored.
    EXPECT_EQ(Send(card, "80 12 00 00 02 AA BB 02"), Hex("00 01 90 00"));
}

TEST(BuiltInCard, WritesSurviveResetButNotAFreshCard) {
    BuiltInCard card;
    Send(card, "00 A4 00 00 02 01 03");
    ASSERT_EQ(Send(card, "00 D6 00 00 02 12 34"), Hex("90 00"));
    card.Reset();
    EXPECT_EQ(Send(card, "00 B0 00 00 02"), Hex("69 86"));  // reset deselects
    Send(card, "00 A4 00 00 02 01 03");
    EXPECT_EQ(Send(card, "00 B0 00 00 02"), Hex("12 34 90 00"));
    BuiltInCard fresh;
    Send(fresh, "00 A4 00 00 02 01 03");
    EXPECT_EQ(Send(fresh, "00 B0 00 00 02"), Hex("00 00 90 00"));
}

}  // namespace
}  // namespace ryx::sim
