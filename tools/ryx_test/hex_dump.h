// Printing bytes and expected texts as lines of up to 16 hex pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace ryx_test {

/**
 * Prints `count` bytes as upper-case two-digit hex separated by single spaces, 16 to a line, each line ended
 * by a newline; no offset column, no trailing space, nothing at all for 0 bytes.
 * @param out where to print (the program passes stdout).
 */
void PrintHexDump(std::FILE* out, const uint8_t* bytes, size_t count);

/**
 * Prints the nibble characters of an expected text (hex digits, 'X', 'x', case kept) with a space after every
 * second one, 16 pairs (48 characters) to a line; so "90 00" prints "90 00 \n". Other characters are left out,
 * and nothing is printed for a text without nibble characters.
 */
void PrintExpected(std::FILE* out, std::string_view expected);

}  // namespace ryx_test
