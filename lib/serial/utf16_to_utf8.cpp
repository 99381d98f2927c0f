#include "serial/utf16_to_utf8.h"

#include <cerrno>

#include <ryx.h>

#include "serial/last_error.h"

namespace ryx {

namespace {

constexpr bool IsHighSurrogate(char32_t u) noexcept {
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char32_t u) noexcept {
    return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

std::uint32_t Utf16ToUtf8(const char16_t* in, char* out, std::size_t outSize) noexcept {
    if (in == nullptr || out == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    std::size_t used = 0;
    for (std::size_t i = 0; in[i] != 0; ++i) {
        char32_t cp = in[i];
        if (IsHighSurrogate(cp)) {
            const char32_t low = in[i + 1];  // the terminating NUL at worst
            if (!IsLowSurrogate(low)) {
                return RYX_ERROR_INVALID_NAME;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (IsLowSurrogate(cp)) {
            return RYX_ERROR_INVALID_NAME;
        }
        unsigned char bytes[4];
        std::size_t count = 0;
        if (cp < 0x80) {
            bytes[count++] = static_cast<unsigned char>(cp);
        } else if (cp < 0x800) {
            bytes[count++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[count++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            bytes[count++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[count++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[count++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else {
            bytes[count++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[count++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[count++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[count++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        }
        if (outSize - used <= count) {  // keep one byte for the NUL
            return ErrnoToStatus(ENAMETOOLONG);
        }
        for (std::size_t k = 0; k < count; ++k) {
            out[used++] = static_cast<char>(bytes[k]);
        }
    }
    if (used >= outSize) {
        return ErrnoToStatus(ENAMETOOLONG);
    }
    out[used] = '\0';
    return RYX_SUCCESS;
}

}  // namespace ryx
