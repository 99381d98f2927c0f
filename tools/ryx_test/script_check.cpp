#include "script_check.h"

#include "hex.h"
#include "script_line.h"

namespace ryx_test {

namespace {

std::string Quoted(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
        static const char kHex[] = "0123456789ABCDEF";
        return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
    return std::string("'") + c + "'";
}

// What is wrong with a command line, or nothing.
std::string CheckCommandLine(const std::vector<std::string_view>& tokens) {
    for (std::string_view token : tokens) {
        for (char c : token) {
            if (HexDigitValue(c) < 0) {
                return "the command holds " + Quoted(c) +
                       ", which is not a hex digit (write remarks on lines of "
                       "their own starting with ';' or '#')";
            }
        }
        if (token.size() % 2 != 0) {
            return "the command token \"" + std::string(token) + "\" has an odd number of hex digits";
        }
    }
    return {};
}

// What is wrong with an expected line, or nothing.
std::string CheckExpectedLine(const std::vector<std::string_view>& tokens) {
    for (std::string_view token : tokens) {
        for (char c : token) {
            if (HexDigitValue(c) < 0 && c != 'X' && c != 'x') {
                return "the expected response holds " + Quoted(c) +
                       ", which is neither a hex digit nor the wildcard X (write remarks on lines of their own "
                       "starting with ';' or '#')";
            }
        }
    }
    return {};
}

}  // namespace

std::vector<ScriptProblem> CheckScript(std::string_view text) {
    std::vector<ScriptProblem> problems;
    int lineNumber = 0;
    int pendingCommand = 0;  // line of a command still waiting for its expected line
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(line.size());
        ++lineNumber;
        const std::vector<std::string_view> tokens = SplitScriptTokens(line);
        if (tokens.empty() || tokens.front().front() == ';' || tokens.front().front() == '#') {
            continue;
        }
        std::string what;
        if (pendingCommand == 0) {
            what = CheckCommandLine(tokens);
            pendingCommand = lineNumber;
        } else {
            what = CheckExpectedLine(tokens);
            pendingCommand = 0;
        }
        if (!what.empty()) {
            problems.push_back({lineNumber, what});
        }
    }
    if (pendingCommand != 0) {
        problems.push_back({pendingCommand, "the command has no expected response line after it"});
    }
    return problems;
}

}  // namespace ryx_test
