#include "sim/fault_effects.h"

#include "sim/frame.h"

namespace ryx::sim {

std::optional<std::vector<std::uint8_t>> UntakenStatus(const Fault& fault) {
    switch (fault.kind) {
        case FaultKind::kRefuseStatus: {
            const auto refused = StatusFrame(0x01);
            return std::vector<std::uint8_t>(refused.begin(), refused.end());
        }
        case FaultKind::kNoStatus:
            return std::vector<std::uint8_t>();
        case FaultKind::kBadStatusStart:
            return std::vector<std::uint8_t>{0x05, 0x00, 0x00, kEndByte};
        case FaultKind::kBadStatusEnd:
            return std::vector<std::uint8_t>{kStartByte, 0x00, 0x00, 0x05};
        case FaultKind::kBadStatusCheck:
            return std::vector<std::uint8_t>{kStartByte, 0x00, 0x01, kEndByte};
        case FaultKind::kGarbage:
            return fault.garbage;
        default:
            return std::nullopt;
    }
}

bool IsStatusFault(const std::optional<Fault>& fault) {
    return fault && (fault->kind == FaultKind::kVanish || UntakenStatus(*fault).has_value());
}

bool ChangesTheReply(const std::optional<Fault>& fault) noexcept {
    if (!fault) return false;
    switch (fault->kind) {
        case FaultKind::kWrongType:
        case FaultKind::kWrongSlot:
        case FaultKind::kWrongSequence:
        case FaultKind::kStatusError:
        case FaultKind::kRefuseSetParameters:
            return true;
        default:
            return false;
    }
}

}  // namespace ryx::sim
