#include "script_line.h"

#include <new>

namespace ryx_test {

std::optional<std::string> ReadScriptLine(std::FILE* file, std::FILE* out) {
    try {
        std::string line;
        line.reserve(1024);
        int c;
        while ((c = std::getc(file)) != EOF) {
            line.push_back(static_cast<char>(c));
            if (c == '\n') {
                return line;
            }
        }
        // End of file or a read error: what was read so far is the last line.
        if (line.empty()) {
            return std::nullopt;
        }
        return line;
    } catch (const std::bad_alloc&) {
        std::fputs("Error: Not enough memory\n", out);
        return std::nullopt;
    }
}

std::vector<std::string_view> SplitScriptTokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsTokenSeparator(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !IsTokenSeparator(line[i])) {
            ++i;
        }
        if (i > start) {
            tokens.push_back(line.substr(start, i - start));
        }
    }
    return tokens;
}

}  // namespace ryx_test
