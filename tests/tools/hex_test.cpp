// Hex digits and the per-token conversion of command lines.
#include "hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ryx_test {
namespace {

TEST(HexDigitValue, EveryCharacter) {
    for (int c = -128; c < 128; ++c) {
        const char ch = static_cast<char>(c);
        int expected = -1;
        if (ch >= '0' && ch <= '9') {
            expected = ch - '0';
        } else if (ch >= 'A' && ch <= 'F') {
            expected = ch - 'A' + 10;
        } else if (ch >= 'a' && ch <= 'f') {
            expected = ch - 'a' + 10;
        }
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
