#include "hex.h"

namespace ryx_test {

std::vector<uint8_t> ParseHexToken(std::string_view token) {
    size_t digits = 0;
    for (char c : token) {
        if (HexDigitValue(c) >= 0) {
            ++digits;
        }
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(digits / 2);
    bool high = true;
    uint8_t current = 0;
    for (char c : token) {
        const int value = HexDigitValue(c);
        if (value < 0) {
            continue;
        }
        if (high) {
            current = static_cast<uint8_t>(value << 4);
        } else {
            bytes.push_back(static_cast<uint8_t>(current | value));
        }
        high = !high;
    }
    return bytes;
}

}  // namespace ryx_test
