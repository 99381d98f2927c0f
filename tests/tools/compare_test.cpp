// Response comparison: wildcards, token boundaries, and which byte a mismatch is reported at.
#include "compare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ryx_test {
namespace {

struct CompareCase {
    const char* expected;
    std::vector<uint8_t> response;
    int result;
    int32_t index;
};

TEST(CompareResponse, ResultAndMismatchIndex) {
    const CompareCase cases[] = {
        {"90 00", {0x90, 0x00}, 0, 1},
        {"90 00", {0x90, 0x01}, -1, 1},  // low nibble of byte 1 differs
        {"90 00", {0x91, 0x00}, -1, 0},  // low nibble of byte 0 differs
        {"90 00", {0xA0, 0x00}, -1, 0},  // high nibble of byte 0 differs
        {"90", {0x90, 0x00}, -1, 0},     // the text ends early: byte 0 was compared last
        {"9", {0x90, 0x00}, -1, 0},
        {"90 00 00", {0x90, 0x00}, -1, 1},  // the text runs past the end: the last byte
        {"90 0", {0x90}, -1, 0},
        {"quirky", {0x90, 0x00}, -1, -1},  // no nibble character at all
        {"", {0x90, 0x00}, -1, -1},
        {"XX XX 90 00", {0x12, 0x34, 0x90, 0x00}, 0, 3},
        {"XX XX 90 00", {0x12, 0x34, 0x90, 0x01}, -1, 3},
        {"9x0X", {0x95, 0x0A}, 0, 1},  // both wildcard letters; token boundaries do not count
        {"9 x0 X", {0x95, 0x0A}, 0, 1},
        {"ab CD", {0xAB, 0xCD}, 0, 1},  // a to f match like A to F
        {"AB cd", {0xAB, 0xCD}, 0, 1},
        {"90-00 (ok)", {0x90, 0x00}, 0, 1},  // other characters are ignored
        {"; 90 00", {0x90, 0x00}, 0, 1},
        {"90 00 ;done", {0x90, 0x00}, -1, 1},  // the d and e of the remark are two more nibbles
    };
    for (const CompareCase& c : cases) {
        int32_t index = 12345;
        EXPECT_EQ(CompareResponse(c.expected, c.response.data(), static_cast<uint32_t>(c.response.size()), &index),
                  c.result)
            << "expected \"" << c.expected << "\"";
        EXPECT_EQ(index, c.index) << "expected \"" << c.expected << "\"";
    }
}

TEST(CompareResponse, MissingOrEmptyInputNeverMatches) {
    const uint8_t response[] = {0x90, 0x00};
    int32_t index = 7;
    EXPECT_EQ(CompareResponse("", response, 0, &index), -1);
    EXPECT_EQ(index, -1);
    index = 7;
    EXPECT_EQ(CompareResponse("90 00", response, 0, &index), -1);  // an empty response
    EXPECT_EQ(index, -1);
    index = 7;
    EXPECT_EQ(CompareResponse("90 00", nullptr, 2, &index), -1);
    EXPECT_EQ(index, -1);
    index = 7;
    EXPECT_EQ(CompareResponse(std::string_view(), response, 2, &index), -1);
    EXPECT_EQ(index, -1);
    // The index is optional.
    EXPECT_EQ(CompareResponse("90 00", response, 2, nullptr), 0);
    EXPECT_EQ(CompareResponse("90 01", response, 2, nullptr), -1);
}

TEST(CompareResponse, LongResponseWithWildcards) {
    std::vector<uint8_t> response(65538);
    for (size_t i = 0; i < response.size(); ++i) {
        response[i] = static_cast<uint8_t>(i);
    }
    std::string expected;
    for (size_t i = 0; i + 2 < response.size(); ++i) {
        expected += "XX ";
    }
    expected += "00 01";
    int32_t index = -1;
    EXPECT_EQ(CompareResponse(expected, response.data(), static_cast<uint32_t>(response.size()), &index), 0);
    EXPECT_EQ(index, 65537);
    response[65536] = 0xFE;
    EXPECT_EQ(CompareResponse(expected, response.data(), static_cast<uint32_t>(response.size()), &index), -1);
    EXPECT_EQ(index, 65536);
}

}  // namespace
}  // namespace ryx_test
