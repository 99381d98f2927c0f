#include "sim/hex_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace ryx::sim {

std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static const char* const kDigits = "0123456789ABCDEF";
    std::string t;
    t.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        t += kDigits[b >> 4];
        t += kDigits[b & 0x0F];
    }
    return t;
}

bool ParseHexDigits(std::string_view digits, std::vector<std::uint8_t>* out) {
    if (digits.size() % 2 != 0) return false;
    out->clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        std::uint8_t b = 0;
        auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, b, 16);
        if (ec != std::errc() || end != digits.data() + i + 2) return false;
        out->push_back(b);
    }
    return true;
}

bool ParseHexBytes(std::string text, std::vector<std::uint8_t>* out) {
    std::erase_if(text, [](char c) { return c == ' ' || c == ':' || c == '-'; });
    return !text.empty() && ParseHexDigits(text, out);
}

bool LooksLikeHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ' ' || c == ':' || c == '-';
    });
}

}  // namespace ryx::sim
