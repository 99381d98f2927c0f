#include "sim/fault.h"

#include <array>
#include <charconv>
#include <utility>

#include "sim/hex_text.h"

namespace ryx::sim {
namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, kFaultKindCount> kNames = {{
    {FaultKind::kPass, "pass"},
    {FaultKind::kRefuseStatus, "refuse-status"},
    {FaultKind::kNoStatus, "no-status"},
    {FaultKind::kBadStatusStart, "bad-status-start"},
    {FaultKind::kBadStatusEnd, "bad-status-end"},
    {FaultKind::kBadStatusCheck, "bad-status-check"},
    {FaultKind::kGarbage, "garbage"},
    {FaultKind::kDelayStatus, "delay-status"},
    {FaultKind::kDelayResponse, "delay-response"},
    {FaultKind::kDamageResponse, "damage-response"},
    {FaultKind::kTruncateResponse, "truncate-response"},
    {FaultKind::kChunkResponse, "chunk-response"},
    {FaultKind::kWrongType, "wrong-type"},
    {FaultKind::kWrongSlot, "wrong-slot"},
    {FaultKind::kWrongSequence, "wrong-seq"},
    {FaultKind::kStatusError, "status-error"},
    {FaultKind::kRefuseSetParameters, "refuse-set-parameters"},
    {FaultKind::kVanish, "vanish"},
}};

bool Fail(std::string* error, std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
}

template <typename T>
bool ParseNumber(std::string_view text, T* out, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseHex(std::string_view text, std::vector<std::uint8_t>* out) {
    return !text.empty() && ParseHexDigits(text, out);
}

bool ParseArgument(std::string_view arg, Fault* fault, std::string* error) {
    const std::string bad =
        "bad argument '" + std::string(arg) + "' for fault " + std::string(FaultKindName(fault->kind));
    switch (fault->kind) {
        case FaultKind::kDelayStatus:
        case FaultKind::kDelayResponse: {
            unsigned ms = 0;
            if (!ParseNumber(arg, &ms)) return Fail(error, bad);
            fault->delay = std::chrono::milliseconds(ms);
            return true;
        }
        case FaultKind::kDamageResponse:
            return ParseNumber(arg, &fault->offset) || Fail(error, bad);
        case FaultKind::kTruncateResponse:
            return ParseNumber(arg, &fault->length) || Fail(error, bad);
        case FaultKind::kChunkResponse: {
            std::string_view sizes = arg;
            if (auto slash = arg.find('/'); slash != std::string_view::npos) {
                unsigned gap = 0;
                if (!ParseNumber(arg.substr(slash + 1), &gap)) return Fail(error, bad);
                fault->gap = std::chrono::milliseconds(gap);
                sizes = arg.substr(0, slash);
            }
            fault->chunks.clear();
            for (;;) {
                const auto comma = sizes.find(',');
                std::size_t size = 0;
                if (!ParseNumber(sizes.substr(0, comma), &size) || size == 0) return Fail(error, bad);
                fault->chunks.push_back(size);
                if (comma == std::string_view::npos) return true;
                sizes = sizes.substr(comma + 1);
            }
        }
        case FaultKind::kStatusError: {
            std::vector<std::uint8_t> bytes;
            if (!ParseHex(arg, &bytes) || bytes.size() != 2) return Fail(error, bad);
            fault->bStatus = bytes[0];
            fault->bError = bytes[1];
            return true;
        }
        case FaultKind::kGarbage:
            return ParseHex(arg, &fault->garbage) || Fail(error, bad);
        default:
            return Fail(error, "fault " + std::string(FaultKindName(fault->kind)) + " takes no argument");
    }
}

}  // namespace

std::string_view FaultKindName(FaultKind kind) noexcept {
    for (const auto& [k, name] : kNames) {
        if (k == kind) return name;
    }
    return "?";
}

std::optional<FaultKind> FaultKindFromName(std::string_view name) noexcept {
    for (const auto& [k, n] : kNames) {
        if (n == name) return k;
    }
    return std::nullopt;
}

std::optional<Fault> ParseFault(std::string_view text, std::string* error) {
    auto colon = text.find(':');
    auto kind = FaultKindFromName(text.substr(0, colon));
    if (!kind) {
        Fail(error, "unknown fault kind '" + std::string(text.substr(0, colon)) + "'");
        return std::nullopt;
    }
    Fault fault;
    fault.kind = *kind;
    if (colon == std::string_view::npos) return fault;
    std::string_view rest = text.substr(colon + 1);
    auto colon2 = rest.find(':');
    if (!ParseNumber(rest.substr(0, colon2), &fault.count) || fault.count == 0) {
        Fail(error, "bad count '" + std::string(rest.substr(0, colon2)) + "' in fault " + std::string(text));
        return std::nullopt;
    }
    if (colon2 == std::string_view::npos) return fault;
    if (!ParseArgument(rest.substr(colon2 + 1), &fault, error)) return std::nullopt;
    return fault;
}

}  // namespace ryx::sim
