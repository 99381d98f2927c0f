// Checking a response against the expected text of a script pair.
#pragma once

#include <cstdint>
#include <string_view>

namespace ryx_test {

/** True for the characters of an expected text that stand for a nibble: hex digits, 'X' and 'x'. */
constexpr bool IsNibbleCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == 'X' || c == 'x';
}

/**
 * Compares a response with an expected text. The text's nibble characters, taken in order regardless of token
 * boundaries, stand for the response's nibbles (high nibble of byte 0 first); 'X' and 'x' match any nibble and
 * every other character is ignored. The response matches only when every nibble matches and the text holds
 * exactly two nibble characters per response byte. Pure.
 * @param expected       the expected text; a null data pointer counts as missing.
 * @param response       the response bytes; null counts as missing.
 * @param responseLength number of response bytes; 0 never matches.
 * @param mismatchIndex  optional out, always written when given: the 0-based response byte whose high nibble
 *                       was compared last (the differing byte; the last byte when the text runs past the end;
 *                       the last byte compared when the text ends early), or -1 when no byte was compared.
 * @return 0 on a match, -1 otherwise.
 */
int CompareResponse(std::string_view expected, const uint8_t* response, uint32_t responseLength,
                    int32_t* mismatchIndex);

}  // namespace ryx_test
