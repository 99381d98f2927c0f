// Malformed script files and malformed console lines, through the real ryx_test program on a simulated reader:
// NUL bytes, lines of 10 MB, CR LF and CR endings, binary garbage, a last line without its newline. Each case
// writes out exactly what the program prints for it.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <cstdint>
#include <string>
#include <vector>

#include "console_run.h"
#include "sim/simulator.h"
#include "support/param_name.h"

namespace ryx::test {
namespace {

using namespace std::string_literals;

constexpr auto kBound = std::chrono::seconds(60);
constexpr std::size_t kTenMegabytes = 10 * 1024 * 1024;

const std::string kPressEnter = "Press [Enter] key to continue...";

// Bytes of every value but the hex digits and X/x, so that no line of them yields a command byte or an expected
// nibble; `newlines` decides whether line feeds are among them, `semicolons` whether ';' is.
std::string Garbage(std::size_t size, bool newlines, bool semicolons) {
    std::string out;
    for (std::size_t i = 0; out.size() < size; ++i) {
        const char c = static_cast<char>((i * 37 + 11) & 0xFF);
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (hex || c == 'X' || c == 'x' || (!newlines && c == '\n') || (!semicolons && c == ';')) continue;
        out += c;
    }
    return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// One console run on a fresh simulator; checks that it ended well and returns its output.
std::string RunOnFreshReader(const std::string& input, const std::string& workDir, const std::string& what,
                             std::string* port) {
    sim::Simulator sim;
    EXPECT_TRUE(sim.Start());
    const ConsoleRun run = RunConsole(sim.SlavePath(), input, workDir, kBound);
    EXPECT_FALSE(run.timedOut) << what;
    EXPECT_EQ(run.status, 0) << what << "\n" << run.err;
    EXPECT_EQ(run.err, "") << what;
    const std::string closing = "Closing the reader (" + sim.SlavePath() + ")...\nRYX_Close: OK\n";
    EXPECT_TRUE(run.out.ends_with(closing)) << what;
    *port = sim.SlavePath();
    return run.out;
}

enum class Menu { kCard, kPeripheral };

struct ScriptCase {
    const char* name;
    std::string content;
    Menu menu;
    std::string expected;  // what the runner prints after "Opening SCRIPT...\n"
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kEchoPair = "80 10 00 00 01 5A\n5A 90 00\n";
const std::string kEchoOk = "Command:\n80 10 00 00 01 5A\nResponse:\n5A 90 00\nExpected:\n5A 90 00 \nCompare OK\n";

std::vector<ScriptCase> ScriptCases() {
    const std::string abcdOk =
        "Command:\n80 10 00 00 02 AB CD\nResponse:\nAB CD 90 00\nExpected:\nAB CD 90 00 \nCompare OK\n";
    std::string tenMegabyteBlanks;
    tenMegabyteBlanks.reserve(kTenMegabytes);
    while (tenMegabyteBlanks.size() < kTenMegabytes) tenMegabyteBlanks += " \t";
    return {
        // NUL bytes are characters like any other: not separators, not hex digits, not nibbles.
        {"NulInsideTokensIsSkipped", "; a comment\0 with a NUL\n80 10 00 00 02 A\0B CD\nAB CD 90\0 00\n"s, Menu::kCard,
         abcdOk},
        {"NulLineYieldsNoCommand", "\0\0\0\n"s + kEchoPair, Menu::kCard, kEchoOk},
        {"NulLineAsExpectedHasNoNibble", "80 10 00 00 01 5A\n\0\n"s, Menu::kCard,
         "Command:\n80 10 00 00 01 5A\nResponse:\n5A 90 00\nExpected:\nError: Unexpected response\n"},
        {"OnlyNulBytes", "\0\0\0\0"s, Menu::kCard, ""},
        // Lines of any length.
        {"TenMegabyteComment", "; " + std::string(kTenMegabytes, 'x') + "\n" + kEchoPair, Menu::kCard, kEchoOk},
        {"TenMegabyteCommandLine", "80 10 00 00 02 AB" + tenMegabyteBlanks + "CD\nAB CD 90 00\n", Menu::kCard, abcdOk},
        {"TenMegabyteExpectedLine", "80 10 00 00 02 AB CD\nAB CD " + std::string(kTenMegabytes, 'z') + " 90 00\n",
         Menu::kCard, abcdOk},
        // Carriage returns separate tokens; only a line feed ends a line.
        {"CrLfEndings",
         "; comment\r\n80 10 00 00 02 AB CD\r\n\r\nAB CD 90 00\r\n00 A4 04 00 08 A0 00 00 05 52 59 58 01\r\n90 00\r\n",
         Menu::kCard,
         abcdOk +
             "Command:\n00 A4 04 00 08 A0 00 00 05 52 59 58 01\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n"},
        {"CrOnlyEndingsMakeOneCommandLine", "80 10 00 00 01 5A\r5A 90 00\r", Menu::kCard, ""},
        // Binary garbage.
        {"GarbageLinesYieldNoCommand", Garbage(4096, true, true) + "\n" + kEchoPair, Menu::kCard, kEchoOk},
        {"GarbageAsExpectedHasNoNibble", "80 10 00 00 01 5A\n" + Garbage(4096, false, false) + "\n", Menu::kCard,
         "Command:\n80 10 00 00 01 5A\nResponse:\n5A 90 00\nExpected:\nError: Unexpected response\n"},
        {"HighBytesAroundHexDigits",
         "\xFF\xFE"
         "80\x80"
         "10 \xC3"
         "00 00\x00 01\x7F 5A\xAB\n\x80\x9F"
         "5A\xEE 90 00\xF0\n"s,
         Menu::kCard, kEchoOk},
        // The last line without its newline is still read.
        {"ExpectedLineWithoutNewline", "80 10 00 00 01 5A\n5A 90 00", Menu::kCard, kEchoOk},
        {"MismatchOnALineWithoutNewline", "80 10 00 00 01 5A\n5A 90 01", Menu::kCard,
         "Command:\n80 10 00 00 01 5A\nResponse:\n5A 90 00\nExpected:\n5A 90 01 \nError: Unexpected response at byte "
         "2\n"},
        {"LoneCommandWithoutNewlineIsNotSent", kEchoPair + "80 10 00 00 01 5B", Menu::kCard, kEchoOk},
        {"EmptyFile", "", Menu::kCard, ""},
        // Escape commands through the Peripheral menu.
        {"EscapeWithNulAndCrLf", "01\0 02 03\r\n01 02 03\r\n"s, Menu::kPeripheral,
         "Command:\n01 02 03\nResponse:\n01 02 03\nExpected:\n01 02 03 \nCompare OK\n"},
        {"EscapeReservedFirstByte", "44 04\n90 04\n", Menu::kPeripheral,
         "Command:\n44 04\nError: RYX_Control failed with error 0x00000057\n"},
    };
}

class Script : public testing::TestWithParam<ScriptCase> {};

TEST_P(Script, RunsAsTheFileSays) {
    const ScriptCase& c = GetParam();
    const TempDir dir;
    const std::string path = dir.Write("script.txt", c.content);
    // Card menu: slot 0, power on, exchange; Peripheral menu: slot 0, control. Then back out and end.
    const std::string input =
        c.menu == Menu::kCard ? "2\n0\n1\n\n5\n" + path + "\n\n0\n0\n" : "3\n0\n1\n" + path + "\n\n0\n0\n";
    std::string port;
    const std::string out = RunOnFreshReader(input, dir.path(), c.name, &port);
    const std::string announce = c.menu == Menu::kCard
                                     ? "Enter a script filename: Slot 0: Exchanging the APDU...\n"
                                     : "Enter a script filename: Slot 0: Sending the escape command...\n";
    const std::size_t from = out.find(announce);
    ASSERT_NE(from, std::string::npos) << out;
    const std::size_t to = out.find(kPressEnter, from);
    ASSERT_NE(to, std::string::npos) << out;
    EXPECT_EQ(Replace(out.substr(from + announce.size(), to - from - announce.size()), path, "SCRIPT"),
              "Opening SCRIPT...\n" + c.expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(Files, Script, testing::ValuesIn(ScriptCases()), NameOfCase());

// The startup text up to the first menu prompt, for a reader on `port` (the default simulated reader).
std::string Startup(const std::string& port) {
    return "RYX API Test Utility Version 1.0.1\nCopyright (c) 2026 the ryx authors\n\nOpening the reader (" + port +
           ")...\nRYX_Open: OK\n\nGetting the number of slots...\nSlots: 2\n\nGetting the baud rate...\nBaud Rate: "
           "9600 bps\n\nGetting the firmware version...\nFirmware Version: KT4470RS 1.07\n\n";
}

const std::string kModulesMenu = "Modules\n-------\n\n1. Reader\n2. Card\n3. Peripheral\n0. Exit\n\nSelect an option: ";
const std::string kCardMenu =
    "Card\n----\n\nSlot 0:\n\n1. Power On ICC\n2. Power Off ICC\n3. Set Protocol\n4. Get ICC Status\n5. Exchange "
    "APDU\n0. Exit\n\nSelect an option: ";

std::string Closing(const std::string& port) {
    return "Closing the reader (" + port + ")...\nRYX_Close: OK\n";
}

// A line that is not a number is dropped whole, however long, and only the prompt is shown again.
TEST(ConsoleLine, TenMegabyteLineAtAMenuPromptIsDroppedWhole) {
    const TempDir dir;
    for (const char filler : {'x', '\0', '7'}) {
        // A line of 10 MB of digits is a number too large to be one.
        const std::string input = std::string(kTenMegabytes, filler) + "\n0\n";
        std::string port;
        const std::string out =
            RunOnFreshReader(input, dir.path(), std::string("filler ") + std::to_string(int{filler}), &port);
        EXPECT_EQ(out, Startup(port) + kModulesMenu + "\n" + "Select an option: \n" + Closing(port))
            << "filler " << int{filler};
    }
}

// Input that ends before any answer, or holds nothing but a sign, NULs or blanks: the program closes the reader
// at once. A line that is not a number first costs one more prompt.
TEST(ConsoleLine, InputThatEndsAtTheFirstPromptClosesTheReader) {
    const TempDir dir;
    struct EndCase {
        const char* what;
        std::string input;
        int extraPrompts;
    };
    const EndCase cases[] = {
        {"no input at all", "", 0},
        {"blanks only", " \t\r\n\n\t ", 0},
        {"a NUL byte", "\0"s, 0},
        {"a sign", "-", 0},
        {"a sign and a newline", "+\n", 1},
        {"a NUL line", "\0\0\n"s, 1},
        {"letters without a newline", "abc", 0},
        {"a line of letters", "abc\n", 1},
    };
    for (const EndCase& c : cases) {
        std::string port;
        const std::string out = RunOnFreshReader(c.input, dir.path(), c.what, &port);
        std::string prompts;
        for (int i = 0; i < c.extraPrompts; ++i) prompts += "Select an option: \n";
        EXPECT_EQ(out, Startup(port) + kModulesMenu + "\n" + prompts + Closing(port)) << c.what;
    }
}

// The port name is printed as given, never used as a format, and passed to the library unchanged.
TEST(CommandLine, OddPortNamesAreReportedAsTheyAre) {
    const TempDir dir;
    struct PortCase {
        std::string port;
        std::string code;
    };
    const PortCase cases[] = {
        {"%s%n%x%s", "0x00000002"},
        {"", "0x00000002"},
        {"/dev/null", "0x00000057"},
        {"/" + std::string(300, 'p'), "0x20000024"},  // ENAMETOOLONG, with the system bit
    };
    for (const PortCase& c : cases) {
        const ConsoleRun run = RunConsole(c.port, "0\n", dir.path(), kBound);
        EXPECT_EQ(run.status, 0) << c.port;
        EXPECT_EQ(run.err, "") << c.port;
        EXPECT_EQ(run.out,
                  "RYX API Test Utility Version 1.0.1\nCopyright (c) 2026 the ryx authors\n\nOpening the reader (" +
                      c.port + ")...\nError: RYX_Open failed with error " + c.code + "\n")
            << c.port;
    }
}

// A script file name line longer than the name buffer: the name is its first 511 characters and the rest of the
// line is dropped, NUL bytes or not; a NUL ends the name.
TEST(ConsoleLine, ScriptNameLineOfTenMegabytesIsCutAndTheRestDropped) {
    const TempDir dir;
    struct NameCase {
        const char* what;
        std::string line;
        std::string name;  // as the program names the file it tries
    };
    const NameCase cases[] = {
        {"10 MB of letters", std::string(kTenMegabytes, 'y'), std::string(511, 'y')},
        {"a NUL after 3 letters, then 10 MB", "abc"s + '\0' + std::string(kTenMegabytes, 'y') + "x0", "abc"},
        {"a NUL after 3 letters, then 600 letters", "abc"s + '\0' + std::string(600, 'y') + "x0", "abc"},
    };
    for (const NameCase& c : cases) {
        // Card menu, slot 0, exchange with the long name, the pause, then 4 (ICC status) to show which menu took the
        // next answer, the pause, and out.
        const std::string input = "2\n0\n5\n" + c.line + "\n\n4\n\n0\n0\n";
        std::string port;
        const std::string out = RunOnFreshReader(input, dir.path(), c.what, &port);
        const std::string expected = Startup(port) + kModulesMenu +
                                     "\nGetting the number of slots...\nSlots: 2\n\nEnter a slot number [0 - 1]: \n" +
                                     kCardMenu + "\nEnter a script filename: Slot 0: Exchanging the APDU...\nOpening " +
                                     c.name + "...\nError: Cannot open " + c.name + "\n\n" + kPressEnter + "\n" +
                                     kCardMenu + "\nSlot 0: Getting the ICC status...\nICC Status: Present\n\n" +
                                     kPressEnter + "\n" + kCardMenu + "\n" + kModulesMenu + "\n" + Closing(port);
        EXPECT_EQ(out, expected) << c.what;
    }
}

}  // namespace
}  // namespace ryx::test
