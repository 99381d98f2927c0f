// Reading script lines of any length, and splitting them into tokens.
#include "script_line.h"

#include "tools_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ryx_test {
namespace {

std::vector<std::string> ReadAll(std::string_view content) {
    test::TempStream in(content);
    test::TempStream out;
    std::vector<std::string> lines;
    while (std::optional<std::string> line = ReadScriptLine(in.get(), out.get())) {
        lines.push_back(*line);
    }
    EXPECT_EQ(out.Text(), "");
    return lines;
}

TEST(ReadScriptLine, LinesKeepTheirNewline) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(ReadAll(""), Lines{});
    EXPECT_EQ(ReadAll("\n"), Lines{"\n"});
    EXPECT_EQ(ReadAll("00 A4\n90 00\n"), (Lines{"00 A4\n", "90 00\n"}));
    EXPECT_EQ(ReadAll("00 A4\r\n90 00\r\n"), (Lines{"00 A4\r\n", "90 00\r\n"}));
    EXPECT_EQ(ReadAll("\n\n; c\n"), (Lines{"\n", "\n", "; c\n"}));
}

TEST(ReadScriptLine, LastLineWithoutNewlineIsDelivered) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(ReadAll("00 A4\n90 00"), (Lines{"00 A4\n", "90 00"}));
    EXPECT_EQ(ReadAll("x"), Lines{"x"});
}

TEST(ReadScriptLine, LinesLongerThanOneChunk) {
    for (size_t length : {1022u, 1023u, 1024u, 1025u, 2047u, 2048u, 5000u}) {
        const std::string body(length, 'A');
        const std::vector<std::string> lines = ReadAll(body + "\n" + body);
        ASSERT_EQ(lines.size(), 2u) << length;
        EXPECT_EQ(lines[0], body + "\n") << length;
        EXPECT_EQ(lines[1], body) << length;
    }
}

TEST(ReadScriptLine, TenMegabyteLine) {
    std::string body(10 * 1024 * 1024, '0');
    body[0] = 'F';
    body[body.size() - 1] = 'E';
    const std::vector<std::string> lines = ReadAll(body + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), body.size() + 1);
    EXPECT_EQ(lines[0].front(), 'F');
    EXPECT_EQ(lines[0][body.size() - 1], 'E');
    EXPECT_EQ(lines[1], "next\n");
}

TEST(ReadScriptLine, NulBytesStayInTheLine) {
    const std::string content("00\0B0\n90 00\n", 12);
    const std::vector<std::string> lines = ReadAll(content);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string("00\0B0\n", 6));
}

TEST(SplitScriptTokens, SeparatorsAreSpaceTabCrLf) {
    using Tokens = std::vector<std::string_view>;
    EXPECT_EQ(SplitScriptTokens(""), Tokens{});
    EXPECT_EQ(SplitScriptTokens(" \t\r\n"), Tokens{});
    EXPECT_EQ(SplitScriptTokens("00 A4\n"), (Tokens{"00", "A4"}));
    EXPECT_EQ(SplitScriptTokens("  00\t\tA4 \r\n"), (Tokens{"00", "A4"}));
    EXPECT_EQ(SplitScriptTokens("90\r00"), (Tokens{"90", "00"}));
    EXPECT_EQ(SplitScriptTokens("; a;b"), (Tokens{";", "a;b"}));
    // Other white space is part of a token.
    EXPECT_EQ(SplitScriptTokens("90\v00\f"), (Tokens{"90\v00\f"}));
}

}  // namespace
}  // namespace ryx_test
