#include "serial/line_settings.h"

#include <termios.h>

#include <cstdint>

#include <gtest/gtest.h>
#include <ryx.h>

namespace ryx {
namespace {

struct LetterCase {
    char parity;
    std::uint8_t stopBits;
    char flow;
    tcflag_t control;  // besides CS8 | CREAD | CLOCAL
    tcflag_t input;
};

TEST(BuildLineSettings, SetsExactlyTheFlagsOfEachLetter) {
    const LetterCase cases[] = {
        {'N', 1, 'N', 0, 0},
        {'E', 1, 'N', PARENB, INPCK},
        {'O', 1, 'N', PARENB | PARODD, INPCK},
        {'M', 1, 'N', PARENB | CMSPAR | PARODD, INPCK},
        {'S', 1, 'N', PARENB | CMSPAR, INPCK},
        {'N', 2, 'N', CSTOPB, 0},
        {'N', 1, 'H', CRTSCTS, 0},
        {'N', 1, 'S', 0, IXON | IXOFF},
        // Lower case acts as upper case.
        {'e', 1, 'n', PARENB, INPCK},
        {'m', 2, 's', PARENB | CMSPAR | PARODD | CSTOPB, INPCK | IXON | IXOFF},
        {'o', 1, 'h', PARENB | PARODD | CRTSCTS, INPCK},
        {'s', 1, 'N', PARENB | CMSPAR, INPCK},
    };
    for (const LetterCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.parity << ' ' << int{c.stopBits} << ' ' << c.flow);
        LineSettings s;
        ASSERT_EQ(BuildLineSettings(115200, 8, c.parity, c.stopBits, c.flow, &s), RYX_SUCCESS);
        EXPECT_EQ(s.controlFlags, CS8 | CREAD | CLOCAL | c.control);
        EXPECT_EQ(s.inputFlags, c.input);
        EXPECT_EQ(s.outputFlags, 0u);
        EXPECT_EQ(s.localFlags, 0u);
        EXPECT_EQ(s.minChars, 0);
        EXPECT_EQ(s.readTenths, 0);
        EXPECT_EQ(s.startChar, 0x11);
        EXPECT_EQ(s.stopChar, 0x13);
        EXPECT_EQ(s.baudRate, 115200u);
    }
}

TEST(BuildLineSettings, MapsDataBitsToCharacterSize) {
    const struct {
        std::uint8_t bits;
        tcflag_t size;
    } cases[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    for (const auto& c : cases) {
        LineSettings s;
        ASSERT_EQ(BuildLineSettings(9600, c.bits, 'N', 1, 'N', &s), RYX_SUCCESS);
        EXPECT_EQ(s.controlFlags & CSIZE, c.size) << int{c.bits};
    }
}

TEST(BuildLineSettings, RefusesUnknownValuesLeavingTheResultUntouched) {
    const struct {
        std::uint32_t baud;
        std::uint8_t bits;
        char parity;
        std::uint8_t stopBits;
        char flow;
    } cases[] = {
        {9600, 8, 'X', 1, 'N'},  {9600, 8, 'n', 0, 'N'}, {9600, 8, 'N', 3, 'N'},
        {9600, 8, 'N', 15, 'N'}, {9600, 8, 'N', 1, 'R'}, {9600, 8, 0, 1, 'N'},
        {9600, 4, 'N', 1, 'N'},  {9600, 9, 'N', 1, 'N'}, {0, 8, 'N', 1, 'N'},
    };
    for (const auto& c : cases) {
        LineSettings s;
        s.controlFlags = 0xDEADBEEF;
        EXPECT_EQ(BuildLineSettings(c.baud, c.bits, c.parity, c.stopBits, c.flow, &s), RYX_ERROR_INVALID_PARAMETER)
            << c.baud << ' ' << int{c.bits} << ' ' << int{c.parity} << ' ' << int{c.stopBits} << ' ' << c.flow;
        EXPECT_EQ(s.controlFlags, 0xDEADBEEFu);
    }
}

// Each letter code names one typed value; the defaults of PortSettings are the line the library opens, 9600 8N1.
TEST(DecodeLineCodes, EachCodeNamesOneTypedValue) {
    const struct {
        char parity;
        std::uint8_t stopBits;
        char flow;
        PortSettings expected;
    } cases[] = {
        {'N', 1, 'N', {}},
        {'o', 2, 'h', {9600, 8, Parity::kOdd, StopBits::kTwo, FlowControl::kHardware}},
        {'E', 15, 'S', {9600, 8, Parity::kEven, StopBits::kOneAndAHalf, FlowControl::kSoftware}},
        {'m', 1, 'n', {9600, 8, Parity::kMark, StopBits::kOne, FlowControl::kNone}},
        {'S', 1, 'N', {9600, 8, Parity::kSpace, StopBits::kOne, FlowControl::kNone}},
    };
    for (const auto& c : cases) {
        PortSettings got{1, 5, Parity::kSpace, StopBits::kTwo, FlowControl::kSoftware};
        ASSERT_TRUE(DecodeLineCodes(9600, 8, c.parity, c.stopBits, c.flow, &got)) << c.parity;
        EXPECT_EQ(got.baudRate, 9600u);
        EXPECT_EQ(got.dataBits, 8);
        EXPECT_EQ(got.parity, c.expected.parity) << c.parity;
        EXPECT_EQ(got.stopBits, c.expected.stopBits) << c.parity;
        EXPECT_EQ(got.flow, c.expected.flow) << c.parity;
    }
    LineSettings typed;
    LineSettings letters;
    ASSERT_EQ(BuildLineSettings(PortSettings{}, &typed), RYX_SUCCESS);
    ASSERT_EQ(BuildLineSettings(9600, 8, 'N', 1, 'N', &letters), RYX_SUCCESS);
    EXPECT_EQ(typed.controlFlags, letters.controlFlags);
    EXPECT_EQ(typed.inputFlags, letters.inputFlags);
    EXPECT_EQ(typed.baudRate, letters.baudRate);
}

}  // namespace
}  // namespace ryx
