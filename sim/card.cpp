#include "sim/card.h"

#include <algorithm>
#include <cstring>

#include "sim/apdu.h"

namespace ryx::sim {
namespace {

std::vector<std::uint8_t> Sw(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

std::vector<std::uint8_t> WithSw(std::vector<std::uint8_t> data, std::uint16_t sw) {
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw));
    return data;
}

}  // namespace

BuiltInCard::BuiltInCard() {
    const char* label = "RYX SIM CARD 1.0";
    files_.push_back({0x0101, false, std::vector<std::uint8_t>(label, label + std::strlen(label))});
    std::vector<std::uint8_t> counting(512);
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    files_.push_back({0x0102, false, std::move(counting)});
    files_.push_back({0x0103, true, std::vector<std::uint8_t>(64, 0x00)});
}

void BuiltInCard::Reset() noexcept {
    current_ = kNone;
}

std::vector<std::uint8_t> BuiltInCard::Process(std::span<const std::uint8_t> command) {
    if (command.size() < 4) return Sw(0x6700);
    const std::uint8_t cla = command[0];
    const std::uint8_t ins = command[1];
    if (cla != 0x00 && cla != 0x80) return Sw(0x6E00);
    const bool known = cla == 0x00 ? (ins == 0xA4 || ins == 0xB0 || ins == 0xD6) : (ins == 0x10 || ins == 0x12);
    if (!known) return Sw(0x6D00);
    const auto parsed = ParseApdu(command);
    if (!parsed) return Sw(0x6700);
    const Apdu& a = *parsed;

    if (cla == 0x80 && ins == 0x10) {
        return WithSw(std::vector<std::uint8_t>(a.data.begin(), a.data.end()), 0x9000);
    }
    if (cla == 0x80 && ins == 0x12) {
        if (!a.hasLe) return Sw(0x6700);
        std::vector<std::uint8_t> out(a.ne);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i);
        return WithSw(std::move(out), 0x9000);
    }
    if (ins == 0xA4) return Select(a);
    return ReadOrUpdateBinary(a, ins);
}

std::vector<std::uint8_t> BuiltInCard::Select(const Apdu& a) {
    if (a.p2 != 0x00 && a.p2 != 0x0C) return Sw(0x6A86);
    if (a.p1 == 0x00) {
        if (a.data.size() != 2) return Sw(0x6700);
        const std::uint16_t fid = static_cast<std::uint16_t>(a.data[0] << 8 | a.data[1]);
        if (fid == 0x3F00) {
            current_ = kNone;
            return Sw(0x9000);
        }
        auto it = std::find_if(files_.begin(), files_.end(), [fid](const File& f) { return f.fid == fid; });
        if (it == files_.end()) return Sw(0x6A82);
        current_ = static_cast<std::size_t>(it - files_.begin());
        return Sw(0x9000);
    }
    if (a.p1 == 0x04) {
        if (a.data.empty() || a.data.size() > 16) return Sw(0x6700);
        // A right-truncated name selects the application too, from 5 bytes (the registered provider part) on.
        const bool match = a.data.size() >= 5 && a.data.size() <= sizeof kCardAid &&
                           std::equal(a.data.begin(), a.data.end(), kCardAid);
        if (!match) return Sw(0x6A82);
        current_ = kNone;
        return Sw(0x9000);
    }
    return Sw(0x6A86);
}

std::vector<std::uint8_t> BuiltInCard::ReadOrUpdateBinary(const Apdu& a, std::uint8_t ins) {
    if (a.p1 & 0x80) return Sw(0x6A81);  // short EF identifiers are not supported
    if (current_ == kNone) return Sw(0x6986);
    const std::size_t offset = static_cast<std::size_t>(a.p1) << 8 | a.p2;
    File& file = files_[current_];
    auto& data = file.data;
    if (ins == 0xB0) {
        if (!a.data.empty() || !a.hasLe) return Sw(0x6700);
        if (offset > data.size()) return Sw(0x6B00);
        const std::size_t n = std::min(a.ne, data.size() - offset);
        std::vector<std::uint8_t> out(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                      data.begin() + static_cast<std::ptrdiff_t>(offset + n));
        return WithSw(std::move(out), n < a.ne ? 0x6282 : 0x9000);
    }
    if (a.data.empty()) return Sw(0x6700);
    if (!file.writable) return Sw(0x6982);
    if (offset > data.size()) return Sw(0x6B00);
    if (a.data.size() > data.size() - offset) return Sw(0x6A84);
    std::copy(a.data.begin(), a.data.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
    return Sw(0x9000);
}

}  // namespace ryx::sim
