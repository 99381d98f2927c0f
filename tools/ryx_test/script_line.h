// Reading a script file line by line, and splitting a line into its tokens.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryx_test {

/**
 * Reads the next whole line of `file`, of any length, keeping its newline. A last line that ends without a
 * newline is delivered like any other (without one), so a script's final expected line is never lost.
 * @param file the open script; the caller keeps it.
 * @param out  receives "Error: Not enough memory\n" when the line cannot be stored.
 * @return the line, or nothing at the end of the file, on a read error before the first character of a line, or
 *         when memory runs out (the runner takes all three as the end of the file).
 */
std::optional<std::string> ReadScriptLine(std::FILE* file, std::FILE* out);

/** True for the characters that separate tokens: space, tab, carriage return and line feed. */
constexpr bool IsTokenSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/**
 * Splits a line at every run of separators. Tokens are never empty; a blank line gives none.
 * The views point into `line`, which must outlive them.
 */
std::vector<std::string_view> SplitScriptTokens(std::string_view line);

}  // namespace ryx_test
