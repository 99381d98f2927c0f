// RunScript with a fake sender and script files on disk: what is sent, and the exact text of every way a run ends.
#include "script_runner.h"

#include "tools_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace ryx_test {
namespace {

using Bytes = std::vector<uint8_t>;

// Stands in for the reader: records each command and answers from a queue of replies.
struct FakeReader {
    struct Reply {
        uint32_t status;
        Bytes response;
    };
    std::deque<Reply> replies;
    std::vector<Bytes> commands;
    std::vector<uint32_t> slots;
    std::vector<uint32_t> capacities;
    std::vector<uint32_t> lengthsOnEntry;

    ScriptSender Sender() {
        return [this](RYX_HANDLE, uint32_t slot, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out) -> uint32_t {
            commands.emplace_back(command, command + commandLength);
            slots.push_back(slot);
            capacities.push_back(responseCapacity);
            lengthsOnEntry.push_back(*responseLength);
            if (replies.empty()) {
                ADD_FAILURE() << "a command was sent that the test did not expect";
                return 31;
            }
            const Reply reply = replies.front();
            replies.pop_front();
            if (reply.status != 0) {
                std::fprintf(out, "Error: RYX_ExchangeApdu failed with error 0x%08X\n", reply.status);
                return reply.status;
            }
            if (!reply.response.empty()) {
                std::memcpy(response, reply.response.data(), reply.response.size());
            }
            *responseLength = static_cast<uint32_t>(reply.response.size());
            return 0;
        };
    }
};

// Runs `script` from a temporary file; gives the output with the file's path replaced by "SCRIPT".
std::string RunFromFile(std::string_view script, FakeReader& reader, uint32_t slot = 1) {
    const test::TempFile file(script);
    test::TempStream out;
    RunScript(nullptr, slot, file.path().c_str(), reader.Sender(), out.get());
    std::string text = out.Text();
    for (size_t at; (at = text.find(file.path())) != std::string::npos;) {
        text.replace(at, file.path().size(), "SCRIPT");
    }
    return text;
}

TEST(RunScript, FileThatCannotBeOpened) {
    FakeReader reader;
    test::TempStream out;
    RunScript(nullptr, 0, "/nonexistent/dir/script.txt", reader.Sender(), out.get());
    EXPECT_EQ(out.Text(),
              "Opening /nonexistent/dir/script.txt...\n"
              "Error: Cannot open /nonexistent/dir/script.txt\n");
    EXPECT_TRUE(reader.commands.empty());
}

TEST(RunScript, PairThatMatches) {
    FakeReader reader;
    reader.replies.push_back({0, {0x12, 0x34, 0x90, 0x00}});
    EXPECT_EQ(RunFromFile("; read two bytes\n00 B0 00 00 02\nXX XX 90 00\n", reader, 1),
              "Opening SCRIPT...\n"
              "Command:\n"
              "00 B0 00 00 02\n"
              "Response:\n"
              "12 34 90 00\n"
              "Expected:\n"
              "XX XX 90 00 \n"
              "Compare OK\n");
    ASSERT_EQ(reader.commands.size(), 1u);
    EXPECT_EQ(reader.commands[0], (Bytes{0x00, 0xB0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(reader.slots[0], 1u);
    EXPECT_EQ(reader.capacities[0], 65538u);
    EXPECT_EQ(reader.lengthsOnEntry[0], 65538u);
}

TEST(RunScript, Transcripts) {
    const struct {
        const char* what;
        const char* script;
        std::vector<FakeReader::Reply> replies;
        const char* transcript;
        std::size_t sent;
    } cases[] = {
        {"every pair matches, with nothing between pairs",
         "00 A4 04 00\n90 00\n\n00 B0 00 00 02\n01 02 90 00\n",
         {{0, {0x90, 0x00}}, {0, {0x01, 0x02, 0x90, 0x00}}},
         "Opening SCRIPT...\n"
         "Command:\n00 A4 04 00\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n"
         "Command:\n00 B0 00 00 02\nResponse:\n01 02 90 00\nExpected:\n01 02 90 00 \nCompare OK\n",
         2},
        {"an empty response never matches",
         "80 CA 00 00\nXX\n",
         {{0, {}}},
         "Opening SCRIPT...\nCommand:\n80 CA 00 00\nResponse:\nExpected:\nXX \nError: Unexpected response\n",
         1},
        {"a sender error ends the run after the command",
         "00 A4 04 00\n90 00\n00 B0 00 00 02\n90 00\n",
         {{0xA0100069, {}}},
         "Opening SCRIPT...\nCommand:\n00 A4 04 00\nError: RYX_ExchangeApdu failed with error 0xA0100069\n",
         1},
        {"a lone command after a pair is not sent",
         "00 A4 04 00\n90 00\n00 B0 00 00 02\n",
         {{0, {0x90, 0x00}}},
         "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n",
         1},
    };
    for (const auto& c : cases) {
        FakeReader reader;
        reader.replies.assign(c.replies.begin(), c.replies.end());
        EXPECT_EQ(RunFromFile(c.script, reader), c.transcript) << c.what;
        EXPECT_EQ(reader.commands.size(), c.sent) << c.what;
    }
}

TEST(RunScript, MismatchStopsTheRun) {
    struct Case {
        const char* expected;
        Bytes response;
        const char* tail;
    };
    const Case cases[] = {
        {"90 00", {0x90, 0x01}, "Expected:\n90 00 \nError: Unexpected response at byte 1\n"},
        {"90 00", {0x91, 0x00}, "Expected:\n90 00 \nError: Unexpected response at byte 0\n"},
        {"90", {0x90, 0x00}, "Expected:\n90 \nError: Unexpected response at byte 0\n"},
        {"90 00 00", {0x90, 0x00}, "Expected:\n90 00 00 \nError: Unexpected response at byte 1\n"},
        {"zzz", {0x90, 0x00}, "Expected:\nError: Unexpected response\n"},
    };
    for (const Case& c : cases) {
        FakeReader reader;
        reader.replies.push_back({0, c.response});
        std::string dump;
        for (size_t i = 0; i < c.response.size(); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", c.response[i]);
            dump += hex;
        }
        // The second pair must not be sent after the mismatch.
        EXPECT_EQ(RunFromFile(std::string("00 A4 04 00\n") + c.expected + "\n00 B0 00 00 02\n90 00\n", reader),
                  "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n" + dump + "\n" + c.tail)
            << c.expected;
        EXPECT_EQ(reader.commands.size(), 1u) << c.expected;
    }
}

TEST(RunScript, RunsThatEndQuietly) {
    const char* scripts[] = {
        "",
        "\n\n; only comments\n   \n",
        "00 A4 04 00\n",  // a lone command is not sent
        "00 A4 04 00\n\n; more\n",
        "zz yy\n",  // a line without bytes is no command
    };
    for (const char* script : scripts) {
        FakeReader reader;
        EXPECT_EQ(RunFromFile(script, reader), "Opening SCRIPT...\n") << script;
        EXPECT_TRUE(reader.commands.empty()) << script;
    }
}

TEST(RunScript, CommandBytesArePairedPerToken) {
    struct Case {
        const char* line;
        Bytes command;
    };
    const Case cases[] = {
        {"00A4 0400", {0x00, 0xA4, 0x04, 0x00}},
        {"0A4", {0x0A}},
        {"0 A4", {0xA4}},
        {"00 A4 04 00 ; select", {0x00, 0xA4, 0x04, 0x00, 0xEE}},  // s(e)l(e)(c)t: EE, c unpaired
        {"00,A4,04,00", {0x00, 0xA4, 0x04, 0x00}},
        {"\t00\tB0  00 00\t02  ", {0x00, 0xB0, 0x00, 0x00, 0x02}},
    };
    for (const Case& c : cases) {
        FakeReader reader;
        reader.replies.push_back({0, {0x90, 0x00}});
        RunFromFile(std::string(c.line) + "\n90 00\n", reader);
        ASSERT_EQ(reader.commands.size(), 1u) << c.line;
        EXPECT_EQ(reader.commands[0], c.command) << c.line;
    }
}

TEST(RunScript, LineWithoutBytesLetsTheNextLineBeTheCommand) {
    FakeReader reader;
    reader.replies.push_back({0, {0x90, 0x00}});
    EXPECT_EQ(RunFromFile("zz 0 q\n00 A4 04 00\n90 00\n", reader),
              "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n");
}

TEST(RunScript, BlankAndCommentLinesBetweenCommandAndExpected) {
    FakeReader reader;
    reader.replies.push_back({0, {0x95, 0x0A}});
    EXPECT_EQ(RunFromFile("\n;first\n00 A4 04 00\n\n   \n; 12 34 is not the expected line\n\t;\n9 x0 X\n", reader),
              "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n95 0A\nExpected:\n9x 0X \nCompare OK\n");
}

TEST(RunScript, LastLineWithoutNewlineIsTheExpectedLine) {
    FakeReader reader;
    reader.replies.push_back({0, {0x90, 0x01}});
    EXPECT_EQ(RunFromFile("00 A4 04 00\n90 00", reader),
              "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n90 01\nExpected:\n90 00 \n"
              "Error: Unexpected response at byte 1\n");
}

TEST(RunScript, CrLfLinesWorkLikeLf) {
    FakeReader reader;
    reader.replies.push_back({0, {0x90, 0x00}});
    reader.replies.push_back({0, {0x6A, 0x82}});
    EXPECT_EQ(RunFromFile("; crlf\r\n00 A4 04 00\r\n\r\n90 00\r\n00 B0 00 00 02\r\n6A 82\r\n", reader),
              "Opening SCRIPT...\n"
              "Command:\n00 A4 04 00\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n"
              "Command:\n00 B0 00 00 02\nResponse:\n6A 82\nExpected:\n6A 82 \nCompare OK\n");
}

TEST(RunScript, TwentyByteResponseAndTwentyPairExpectedText) {
    Bytes response;
    std::string expected;
    for (uint8_t i = 0; i < 20; ++i) {
        response.push_back(static_cast<uint8_t>(0xA0 + i));
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", response.back());
        expected += (i == 0 ? "" : " ") + std::string(pair);
    }
    FakeReader reader;
    reader.replies.push_back({0, response});
    EXPECT_EQ(RunFromFile("00 B0 00 00 14\n" + expected + "\n", reader),
              "Opening SCRIPT...\nCommand:\n00 B0 00 00 14\n"
              "Response:\nA0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\nB0 B1 B2 B3\n"
              "Expected:\nA0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \nB0 B1 B2 B3 \nCompare OK\n");
}

// The command-line mode's variations: '#' remarks, no mismatch line, and every pair reported with its line.
TEST(RunScriptFile, PairsReportedForTheCommandLineMode) {
    struct Case {
        std::vector<FakeReader::Reply> replies;
        ScriptEnd end;
        std::vector<std::string> pairs;  // "line status matched index"
    };
    const Case cases[] = {
        {{{0, {0x90, 0x00}}, {0, {0x90, 0x00}}}, ScriptEnd::EndOfFile, {"2 0 1 -1", "5 0 1 -1"}},
        {{{0, {0x90, 0x00}}, {0, {0x90, 0x01}}}, ScriptEnd::Mismatch, {"2 0 1 -1", "5 0 0 1"}},
        {{{0x69, {}}}, ScriptEnd::SenderFailed, {"2 105 0 -1"}},
    };
    for (const Case& c : cases) {
        FakeReader reader;
        reader.replies.assign(c.replies.begin(), c.replies.end());
        const test::TempStream script("# EE\n00 A4\n90 00\n\n00 B0\n90 00\n");
        test::TempStream out;
        std::vector<std::string> pairs;
        ScriptRunOptions options;
        options.hashComments = true;
        options.printMismatch = false;
        options.pairDone = [&](const ScriptPairResult& p) {
            pairs.push_back(std::to_string(p.commandLine) + " " + std::to_string(p.status) + " " +
                            std::to_string(p.matched) + " " + std::to_string(p.mismatchIndex));
        };
        EXPECT_EQ(RunScriptFile(nullptr, 0, script.get(), reader.Sender(), out.get(), options), c.end);
        EXPECT_EQ(pairs, c.pairs);
        EXPECT_EQ(reader.commands.front(), (Bytes{0x00, 0xA4}));  // "# EE" was a remark
        EXPECT_EQ(out.Text().find("Unexpected"), std::string::npos);
    }
}

TEST(RunScript, LinesLongerThanTheBuffers) {
    // 3000 command bytes on one line of 9000 characters, and an expected line of the same length.
    Bytes command(3000);
    std::string commandLine;
    std::string expectedLine;
    for (size_t i = 0; i < command.size(); ++i) {
        command[i] = static_cast<uint8_t>(i * 7);
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", command[i]);
        commandLine += pair;
        expectedLine += i % 2 == 0 ? "XX " : pair;
    }
    FakeReader reader;
    reader.replies.push_back({0, command});  // an echo
    const std::string output = RunFromFile(commandLine + "\n" + expectedLine + "\n", reader);
    ASSERT_EQ(reader.commands.size(), 1u);
    EXPECT_EQ(reader.commands[0], command);
    EXPECT_EQ(output.substr(output.size() - 11), "Compare OK\n");
}

TEST(RunScript, TenMegabyteCommentLineIsSkipped) {
    FakeReader reader;
    reader.replies.push_back({0, {0x90, 0x00}});
    const std::string comment = ";" + std::string(10 * 1024 * 1024, 'A') + "\n";
    EXPECT_EQ(RunFromFile(comment + "00 A4 04 00\n" + comment + "90 00\n", reader),
              "Opening SCRIPT...\nCommand:\n00 A4 04 00\nResponse:\n90 00\nExpected:\n90 00 \nCompare OK\n");
}

TEST(RunScript, OverlongResponseLengthFromASenderIsCut) {
    // A sender that claims more than the buffer holds must not make the dump read past it.
    const test::TempFile file("00 A4\nXX\n");
    test::TempStream out;
    RunScript(
        nullptr, 0, file.path().c_str(),
        [](RYX_HANDLE, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t capacity, uint32_t* responseLength,
           std::FILE*) -> uint32_t {
            *responseLength = capacity + 100;
            return 0;
        },
        out.get());
    const std::string text = out.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 + 1 + 4097 + 2 + 1);
    EXPECT_NE(text.find("Error: Unexpected response at byte 0\n"), std::string::npos);
}

}  // namespace
}  // namespace ryx_test
