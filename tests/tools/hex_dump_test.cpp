// The 16-per-line layouts of the hex dump and of the expected text.
#include "hex_dump.h"

#include "tools_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace ryx_test {
namespace {

std::string Dump(const std::vector<uint8_t>& bytes) {
    test::TempStream out;
    PrintHexDump(out.get(), bytes.data(), bytes.size());
    return out.Text();
}

std::string Expected(std::string_view text) {
    test::TempStream out;
    PrintExpected(out.get(), text);
    return out.Text();
}

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

TEST(PrintHexDump, Layouts) {
    EXPECT_EQ(Dump({}), "");
    EXPECT_EQ(Dump({0x3B}), "3B\n");
    EXPECT_EQ(Dump({0x90, 0x00}), "90 00\n");
    EXPECT_EQ(Dump({0xab, 0x0c}), "AB 0C\n");  // upper case, two digits
    EXPECT_EQ(Dump(Counting(16)), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n");
    EXPECT_EQ(Dump(Counting(17)), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n10\n");
    // A 20-byte response: one line of 16 and one of 4.
    EXPECT_EQ(Dump(Counting(20)), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n10 11 12 13\n");
    EXPECT_EQ(Dump(Counting(32)),
              "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
              "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n");
}

TEST(PrintHexDump, LargeResponseLineCount) {
    const std::string text = Dump(Counting(65538));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4097);  // 4096 full lines and one of 2
    EXPECT_EQ(text.substr(text.size() - 6), "00 01\n");
}

TEST(PrintExpected, Layouts) {
    EXPECT_EQ(Expected(""), "");
    EXPECT_EQ(Expected("Good"), "d\n");  // only the nibble characters are printed
    EXPECT_EQ(Expected("qwerty"), "e\n");
    EXPECT_EQ(Expected("zzz"), "");             // nothing for a text without nibble characters
    EXPECT_EQ(Expected("90 00"), "90 00 \n");   // every pair is followed by a space
    EXPECT_EQ(Expected("9000"), "90 00 \n");    // token boundaries do not count
    EXPECT_EQ(Expected("9 x0 X"), "9x 0X \n");  // case kept, pairs formed over the whole text
    EXPECT_EQ(Expected("90 0"), "90 0\n");      // an odd count ends in a single character
    EXPECT_EQ(Expected("XX xx ab CD"), "XX xx ab CD \n");
    EXPECT_EQ(Expected("90-00 (ok)"), "90 00 \n");
}

TEST(PrintExpected, SixteenPairsToALine) {
    std::string twenty;
    for (int i = 0; i < 20; ++i) {
        twenty += (i == 0 ? "" : " ") + std::string(1, "0123456789ABCDEF"[i % 16]) + "X";
    }
    EXPECT_EQ(Expected(twenty), "0X 1X 2X 3X 4X 5X 6X 7X 8X 9X AX BX CX DX EX FX \n0X 1X 2X 3X \n");

    std::string sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen += "90";
    }
    EXPECT_EQ(Expected(sixteen), "90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 \n");
    EXPECT_EQ(Expected(sixteen + "1"), "90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 90 \n1\n");
}

}  // namespace
}  // namespace ryx_test
