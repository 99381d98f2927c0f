// Hex digits and the per-token conversion of command lines.
#include "hex.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace ryx_test {
namespace {

TEST(HexDigitValue, EveryCharacter) {
    // A digit's value is its place in either row.
    const std::string_view upper = "0123456789ABCDEF", lower = "0123456789abcdef";
    for (int c = -128; c < 128; ++c) {
        const char ch = static_cast<char>(c);
        std::size_t place = upper.find(ch);
        if (place == std::string_view::npos) place = lower.find(ch);
        const int expected = place == std::string_view::npos ? -1 : static_cast<int>(place);
        EXPECT_EQ(HexDigitValue(ch), expected) << "character " << c;
    }
}

TEST(ParseHexToken, PairsDigitsWithinOneToken) {
    struct Case {
        std::string token;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"00A4", {0x00, 0xA4}},
        {"0400", {0x04, 0x00}},
        {"0A4", {0x0A}},  // the unpaired last digit is dropped
        {"0", {}},        // a single digit adds nothing
        {"A4", {0xA4}},
        {"ff", {0xFF}},
        {"aB", {0xAB}},
        {"0x9000", {0x09, 0x00}},  // 'x' is no digit here: 0 9 0 0 0 pair as 09 00, the last 0 is dropped
        {"9G0-0;", {0x90}},        // other characters are skipped and pairing goes on across them
        {";remark", {0xEA}},       // the e and a of a trailing remark are digits
        {"hello", {}},             // a lone digit among letters adds nothing
        {"xyz", {}},               // no hex digit converts to nothing
        {"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseHexToken(c.token), c.bytes) << "token \"" << c.token << "\"";
    }
}

TEST(ParseHexToken, LongToken) {
    const std::string token(100000, 'a');
    const std::vector<uint8_t> bytes = ParseHexToken(token);
    ASSERT_EQ(bytes.size(), 50000u);
    for (uint8_t b : bytes) {
        ASSERT_EQ(b, 0xAA);
    }
}

}  // namespace
}  // namespace ryx_test
