#include "hex_dump.h"

#include "compare.h"

#include <string>

namespace ryx_test {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kExpectedLineWidth = 48;  // 16 pairs, each followed by a space

void PrintLine(std::FILE* out, const std::string& line) {
    if (!line.empty()) {
        std::fprintf(out, "%s\n", line.c_str());
    }
}

}  // namespace

void PrintHexDump(std::FILE* out, const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line;
    for (size_t i = 0; i < count; ++i) {
        if (i % kBytesPerLine == 0) {
            PrintLine(out, line);
            line.clear();
        } else {
            line.push_back(' ');
        }
        line.push_back(kDigits[bytes[i] >> 4]);
        line.push_back(kDigits[bytes[i] & 0x0F]);
    }
    PrintLine(out, line);
}

void PrintExpected(std::FILE* out, std::string_view expected) {
    std::string line;
    size_t nibbles = 0;
    for (char c : expected) {
        if (!IsNibbleCharacter(c)) {
            continue;
        }
        line.push_back(c);
        if (++nibbles % 2 == 0) {
            line.push_back(' ');
        }
        if (line.size() == kExpectedLineWidth) {
            PrintLine(out, line);
            line.clear();
        }
    }
    PrintLine(out, line);
}

}  // namespace ryx_test
