#include "compare.h"

#include "hex.h"

namespace ryx_test {

namespace {

int Compare(std::string_view expected, const uint8_t* response, uint32_t n, int32_t& index) {
    if (expected.data() == nullptr || response == nullptr || n == 0) {
        return -1;
    }
    uint32_t i = 0;
    uint64_t seen = 0;
    bool high = true;
    for (char c : expected) {
        if (!IsNibbleCharacter(c)) {
            continue;
        }
        ++seen;
        if (i >= n) {
            return -1;  // the text is longer than the response
        }
        int nibble;
        if (high) {
            nibble = response[i] >> 4;
            index = static_cast<int32_t>(i);
        } else {
            nibble = response[i] & 0x0F;
            ++i;
        }
        high = !high;
        if (c != 'X' && c != 'x' && nibble != HexDigitValue(c)) {
            return -1;
        }
    }
    return seen == 2 * uint64_t{n} ? 0 : -1;
}

}  // namespace

int CompareResponse(std::string_view expected, const uint8_t* response, uint32_t responseLength,
                    int32_t* mismatchIndex) {
    int32_t index = -1;
    const int result = Compare(expected, response, responseLength, index);
    if (mismatchIndex != nullptr) {
        *mismatchIndex = index;
    }
    return result;
}

}  // namespace ryx_test
