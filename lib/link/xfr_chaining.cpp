#include "link/xfr_chaining.h"

namespace ryx {

XfrBlock FirstXfrBlock(std::uint32_t length, std::uint32_t maxBlockSize) noexcept {
    if (length > maxBlockSize) {
        return {0, maxBlockSize, kLevelBegins};
    }
    return {0, length, kLevelBeginsAndEnds};
}

XfrChainStep NextXfrStep(std::uint32_t length, std::uint32_t sent, std::uint32_t maxBlockSize,
                         std::uint8_t chainParameter) noexcept {
    switch (chainParameter) {
        case kChainBeginsAndEnds:
        case kChainEnds:
            return {XfrChainAction::kDone, {}};
        case kChainBegins:
        case kChainContinues:
        case kChainMoreCommand:
            break;
        default:
            return {XfrChainAction::kFail, {}};
    }
    if (sent >= length) {
        return {XfrChainAction::kSendNext, {length, 0, kLevelEmpty}};
    }
    const std::uint32_t left = length - sent;
    if (left > maxBlockSize) {
        return {XfrChainAction::kSendNext, {sent, maxBlockSize, kLevelContinues}};
    }
    return {XfrChainAction::kSendNext, {sent, left, kLevelEnds}};
}

}  // namespace ryx
