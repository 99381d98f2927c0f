// The Win32 line settings built from the open arguments: every parity, stop-bits and flow value, letters in either
// case, the order of the checks, and nothing written on a refusal. Pure: runs on any host.
#include <gtest/gtest.h>

#include <string>

#include <ryx.h>

#include "serial/comm_state_win32.h"

namespace ryx {
namespace {

// Each letter is taken in either case.
std::string BothCases(char upper) {
    return {upper, static_cast<char>(upper - 'A' + 'a')};
}

TEST(CommStateTest, SetsParityAndTurnsCheckingOnForAllButNone) {
    const struct {
        char letter;
        std::uint8_t parity;
        bool checked;
    } cases[] = {{'E', kEvenParity, true},
                 {'M', kMarkParity, true},
                 {'N', kNoParity, false},
                 {'O', kOddParity, true},
                 {'S', kSpaceParity, true}};
    for (const auto& c : cases) {
        for (char letter : BothCases(c.letter)) {
            CommStateFields f;
            ASSERT_EQ(BuildCommState(9600, 8, letter, 1, 'N', &f), RYX_SUCCESS) << letter;
            EXPECT_EQ(f.parity, c.parity) << letter;
            EXPECT_EQ(f.fParity, c.checked) << letter;
        }
    }
}

TEST(CommStateTest, StopBitCodes) {
    const struct {
        std::uint8_t code;
        std::uint8_t stopBits;
    } cases[] = {{1, kOneStopBit}, {2, kTwoStopBits}, {15, kOne5StopBits}};
    for (const auto& c : cases) {
        CommStateFields f;
        ASSERT_EQ(BuildCommState(9600, 8, 'N', c.code, 'N', &f), RYX_SUCCESS) << int(c.code);
        EXPECT_EQ(f.stopBits, c.stopBits) << int(c.code);
    }
}

TEST(CommStateTest, FlowRaisesDtrAlwaysAndWatchesDsrNever) {
    const struct {
        char letter;
        bool cts;
        std::uint8_t rts;
        bool xonXoff;
    } cases[] = {{'H', true, kRtsControlHandshake, false},
                 {'N', false, kRtsControlEnable, false},
                 {'S', false, kRtsControlEnable, true}};
    for (const auto& c : cases) {
        for (char letter : BothCases(c.letter)) {
            CommStateFields f;
            ASSERT_EQ(BuildCommState(9600, 8, 'N', 1, letter, &f), RYX_SUCCESS) << letter;
            EXPECT_EQ(f.fOutxCtsFlow, c.cts) << letter;
            EXPECT_FALSE(f.fOutxDsrFlow) << letter;
            EXPECT_EQ(f.fDtrControl, kDtrControlEnable) << letter;
            EXPECT_EQ(f.fRtsControl, c.rts) << letter;
            EXPECT_EQ(f.fOutX, c.xonXoff) << letter;
            EXPECT_EQ(f.fInX, c.xonXoff) << letter;
        }
    }
}

TEST(CommStateTest, TheLibrarysOwnSettingsInFull) {
    CommStateFields f;
    ASSERT_EQ(BuildCommState(9600, 8, 'N', 1, 'N', &f), RYX_SUCCESS);
    EXPECT_EQ(f.baudRate, 9600u);
    EXPECT_EQ(f.byteSize, 8);
    EXPECT_EQ(f.parity, kNoParity);
    EXPECT_EQ(f.stopBits, kOneStopBit);
    EXPECT_TRUE(f.fBinary);
    EXPECT_FALSE(f.fParity);
    EXPECT_FALSE(f.fOutxCtsFlow);
    EXPECT_EQ(f.fRtsControl, kRtsControlEnable);
    EXPECT_FALSE(f.fOutX);
    EXPECT_FALSE(f.fInX);
    EXPECT_EQ(f.xonChar, 0x11);
    EXPECT_EQ(f.xoffChar, 0x13);
    // Rate and data bits go to the driver unchanged: judging them is its business.
    ASSERT_EQ(BuildCommState(123457, 5, 'N', 1, 'N', &f), RYX_SUCCESS);
    EXPECT_EQ(f.baudRate, 123457u);
    EXPECT_EQ(f.byteSize, 5);
}

TEST(CommStateTest, RefusesUnknownValuesAndWritesNothing) {
    const struct {
        char parity;
        std::uint8_t stopBits;
        char flow;
    } cases[] = {{'X', 1, 'N'},  {'\0', 1, 'N'}, {'N', 0, 'N'}, {'N', 3, 'N'},
                 {'N', 14, 'N'}, {'N', 1, 'R'},  {'N', 1, 'x'}, {'X', 0, 'R'}};
    for (const auto& c : cases) {
        CommStateFields f;
        f.baudRate = 4242;
        f.byteSize = 42;
        EXPECT_EQ(BuildCommState(9600, 8, c.parity, c.stopBits, c.flow, &f), RYX_ERROR_INVALID_PARAMETER)
            << c.parity << int(c.stopBits) << c.flow;
        EXPECT_EQ(f.baudRate, 4242u);
        EXPECT_EQ(f.byteSize, 42);
    }
    EXPECT_EQ(BuildCommState(9600, 8, 'N', 1, 'N', nullptr), RYX_ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace ryx
