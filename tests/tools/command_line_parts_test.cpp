// The pure parts of ryx_test's command-line mode: option parsing, the script check, the status-code texts and TAP.
#include "cli_options.h"
#include "script_check.h"
#include "status_codes.h"
#include "tap.h"

#include <gtest/gtest.h>

#include <ryx.h>

#include <string>
#include <vector>

namespace ryx_test {
namespace {

using Args = std::vector<std::string>;

TEST(ParseCommandLine, ModesAndConsoleCompatibility) {
    struct Case {
        Args args;
        RunMode mode;
        std::string port;
    };
    const Case cases[] = {
        {{}, RunMode::Console, ""},
        {{"/dev/ttyS0"}, RunMode::Console, "/dev/ttyS0"},
        {{"/dev/ttyS0", "ignored", "too"}, RunMode::Console, "/dev/ttyS0"},  // further arguments ignored as before
        {{""}, RunMode::Console, ""},                                        // an empty name is still a port
        {{"-h"}, RunMode::Help, ""},
        {{"/dev/ttyS0", "--help"}, RunMode::Help, ""},
        {{"--version"}, RunMode::Version, ""},
        {{"--list"}, RunMode::List, ""},
        {{"--probe"}, RunMode::Probe, ""},
        {{"/dev/ttyS0", "--power-on"}, RunMode::Scripted, "/dev/ttyS0"},
        {{"--tap", "--status", "P"}, RunMode::Scripted, "P"},
        {{"--diagnose", "P"}, RunMode::Diagnose, "P"},
        {{"P", "--json", "--diagnose"}, RunMode::Diagnose, "P"},
    };
    for (const Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.args);
        EXPECT_EQ(line.mode, c.mode) << testing::PrintToString(c.args) << ": " << line.error;
        EXPECT_EQ(line.port, c.port) << testing::PrintToString(c.args);
    }
    EXPECT_EQ(ParseCommandLine({"--probe", "a", "b"}).probePorts, (Args{"a", "b"}));
    EXPECT_FALSE(ParseCommandLine({}).hasPort);
    EXPECT_TRUE(ParseCommandLine({""}).hasPort);
}

TEST(ParseCommandLine, ActionsInOrderWithTheirArguments) {
    const CommandLine line = ParseCommandLine({"P", "--slot", "2", "--protocol", "any,default-speed", "--apdu",
                                               "00 a4 0400", "--escape=E0", "--script", "s.txt", "--baud", "115200",
                                               "--timeouts", "1,2,3,4", "--lenient", "--power-off"});
    ASSERT_EQ(line.mode, RunMode::Scripted) << line.error;
    EXPECT_EQ(line.slot, 2u);
    EXPECT_TRUE(line.lenient);
    ASSERT_EQ(line.actions.size(), 7u);
    EXPECT_EQ(line.actions[0].value, RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1 | RYX_PROTOCOL_DEFAULT_SPEED);
    EXPECT_EQ(line.actions[1].bytes, (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00}));
    EXPECT_EQ(line.actions[1].written, "--apdu 00 a4 0400");
    EXPECT_EQ(line.actions[2].bytes, (std::vector<uint8_t>{0xE0}));
    EXPECT_EQ(line.actions[3].file, "s.txt");
    EXPECT_EQ(line.actions[4].value, 115200u);
    EXPECT_EQ(line.actions[5].timeouts, (std::array<uint32_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(line.actions[6].kind, ActionKind::PowerOff);
    EXPECT_EQ(ParseCommandLine({"P", "--protocol", "t1"}).actions[0].value, RYX_PROTOCOL_T1);
}

TEST(ParseCommandLine, BadCommandLines) {
    struct Case {
        Args args;
        std::string error;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--power-on"}, "no port given"},
        {{"P", "--slot", "1"}, "no action given for P"},
        {{"P", "Q", "--status"}, "one port only, not \"P\" and \"Q\""},
        {{"P", "--slot", "-1", "--status"}, "--slot needs a slot number, not \"-1\""},
        {{"P", "--apdu", "0A4"}, "--apdu needs hex bytes, an even number of digits, not \"0A4\""},
        {{"P", "--apdu", "00G0"}, "--apdu needs hex bytes, an even number of digits, not \"00G0\""},
        {{"P", "--apdu"}, "--apdu needs hex bytes, an even number of digits"},
        {{"P", "--protocol", "t2"},
         "--protocol needs t0, t1 or any, optionally followed by ,default-speed, not \"t2\""},
        {{"P", "--baud", "4294967296"}, "--baud needs a line speed in bit/s, not \"4294967296\""},
        {{"P", "--timeouts", "1,2,3"}, "--timeouts needs four numbers separated by commas, not \"1,2,3\""},
        {{"P", "--timeouts", "1,2,3,4,5"}, "--timeouts needs four numbers separated by commas, not \"1,2,3,4,5\""},
        {{"P", "--power-on=1"}, "--power-on takes no value"},
        {{"--list", "P"}, "--list takes nothing else"},
        {{"--probe", "--status"}, "--probe takes no actions"},
        {{"--diagnose"}, "--diagnose takes one port and nothing else but --json"},
        {{"--diagnose", "P", "--status"}, "--diagnose takes one port and nothing else but --json"},
        {{"--diagnose", "P", "--tap"}, "--diagnose takes one port and nothing else but --json"},
        {{"P", "--json", "--status"}, "--json goes with --diagnose"},
    };
    for (const Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.args);
        EXPECT_EQ(line.mode, RunMode::BadCommandLine) << testing::PrintToString(c.args);
        EXPECT_EQ(line.error, c.error) << testing::PrintToString(c.args);
    }
}

TEST(CheckScript, RefusedLines) {
    struct Case {
        const char* script;
        std::vector<std::pair<int, std::string>> problems;
    };
    const std::string notHex =
        ", which is not a hex digit (write remarks on lines of their own starting with ';' or '#')";
    const std::string notExpected =
        ", which is neither a hex digit nor the wildcard X (write remarks on lines of their "
        "own starting with ';' or '#')";
    const Case cases[] = {
        {"; remark\n# remark\n\n00 A4 04 00\r\n90 00\n\t00B0000010 \nXX xx 90 00", {}},
        {"00 A4 ; select\n90 00\n", {{1, "the command holds ';'" + notHex}}},
        {"select the MF\n90 00\n", {{1, "the command holds 's'" + notHex}}},
        {"0A4\n90 00\n", {{1, "the command token \"0A4\" has an odd number of hex digits"}}},
        {"00 A4\n90 00 ok\n", {{2, "the expected response holds 'o'" + notExpected}}},
        {"00 A4\n90\x01\n", {{2, "the expected response holds byte 0x01" + notExpected}}},
        {"00 A4\n90 00\n; last\n00 B0\n\n", {{4, "the command has no expected response line after it"}}},
        {"zz\n9g\n00\n",
         {{1, "the command holds 'z'" + notHex},
          {2, "the expected response holds 'g'" + notExpected},
          {3, "the command has no expected response line after it"}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int, std::string>> got;
        for (const ScriptProblem& p : CheckScript(c.script)) {
            got.emplace_back(p.line, p.what);
        }
        EXPECT_EQ(got, c.problems) << c.script;
    }
}

TEST(DescribeStatus, NamesAndMeanings) {
    const std::pair<uint32_t, std::string> cases[] = {
        {RYX_W_REMOVED_CARD, "RYX_W_REMOVED_CARD (0xA0100069): there is no card in the slot"},
        {RYX_ERROR_FILE_NOT_FOUND, "RYX_ERROR_FILE_NOT_FOUND (0x00000002): there is no such serial port"},
        {RYX_ERROR_GEN_FAILURE, "RYX_ERROR_GEN_FAILURE (0x0000001F): no valid frame or reply from the reader"},
        {RYX_E_PROTO_MISMATCH, "RYX_E_PROTO_MISMATCH (0xA010000F): the card offers no protocol that was asked for"},
        {RYX_ERROR_SYSTEM_BIT | 2, "system error 2 (0x20000002): No such file or directory"},
        {0x12345678, "unknown code (0x12345678)"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(DescribeStatus(code), text);
    }
}

TEST(Tap, Lines) {
    EXPECT_EQ(TapTestPoint(3, true, "script.txt:12"), "ok 3 - script.txt:12\n");
    EXPECT_EQ(TapTestPoint(4, false, "--apdu 00#1"), "not ok 4 - --apdu 00\\#1\n");
    EXPECT_EQ(TapPlan(4), "1..4\n");
    EXPECT_EQ(TapDiagnostics("Command:\n00 A4\n\nx"), "# Command:\n# 00 A4\n#\n# x\n");
}

}  // namespace
}  // namespace ryx_test
