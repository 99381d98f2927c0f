// Hexadecimal digits and the conversion of one command token to bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ryx_test {

/** 0 to 9 for '0' to '9', 10 to 15 for 'A' to 'F' and 'a' to 'f', otherwise -1. */
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

/**
 * Converts one token of a command line: its hex digits, in order, are paired into bytes (first digit high
 * nibble); every other character is skipped and an unpaired last digit is dropped. "0A4" gives 0A; a token
 * without two hex digits gives no byte. Pure.
 * @return the bytes, possibly none. Throws std::bad_alloc when they cannot be stored.
 */
std::vector<uint8_t> ParseHexToken(std::string_view token);

}  // namespace ryx_test
