#include "sim/fault_plan.h"

#include <algorithm>

namespace ryx::sim {

bool FaultFits(FaultKind kind, const FrameTraits& frame) noexcept {
    switch (kind) {
        case FaultKind::kPass:
        case FaultKind::kVanish:
            return true;
        case FaultKind::kRefuseStatus:
        case FaultKind::kNoStatus:
        case FaultKind::kBadStatusStart:
        case FaultKind::kBadStatusEnd:
        case FaultKind::kBadStatusCheck:
        case FaultKind::kGarbage:
        case FaultKind::kDelayStatus:
            return !frame.repeatRequest;
        case FaultKind::kDelayResponse:
        case FaultKind::kDamageResponse:
        case FaultKind::kTruncateResponse:
        case FaultKind::kChunkResponse:
            return frame.answered;
        case FaultKind::kWrongType:
        case FaultKind::kWrongSlot:
        case FaultKind::kWrongSequence:
        case FaultKind::kStatusError:
            return !frame.repeatRequest && frame.answered;
        case FaultKind::kRefuseSetParameters:
            return frame.setParameters;
    }
    return false;
}

void FaultPlan::Queue(const Fault& fault) {
    Fault f = fault;
    f.count = std::max(f.count, 1u);
    queue_.push_back(std::move(f));
}

void FaultPlan::SetChaos(double rate, std::uint64_t seed, std::vector<FaultKind> kinds) {
    chaosRate_ = std::clamp(rate, 0.0, 1.0);
    random_.seed(seed);
    if (kinds.empty()) {
        kinds = {FaultKind::kRefuseStatus,       FaultKind::kNoStatus,       FaultKind::kBadStatusStart,
                 FaultKind::kBadStatusEnd,       FaultKind::kBadStatusCheck, FaultKind::kGarbage,
                 FaultKind::kDelayStatus,        FaultKind::kDelayResponse,  FaultKind::kDamageResponse,
                 FaultKind::kTruncateResponse,   FaultKind::kChunkResponse,  FaultKind::kWrongType,
                 FaultKind::kWrongSlot,          FaultKind::kWrongSequence,  FaultKind::kStatusError,
                 FaultKind::kRefuseSetParameters};
    }
    std::erase_if(kinds, [](FaultKind k) { return k == FaultKind::kPass || k == FaultKind::kVanish; });
    chaosKinds_ = std::move(kinds);
}

Fault FaultPlan::RandomFault(FaultKind kind) {
    Fault f;
    f.kind = kind;
    auto pick = [this](std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(random_);
    };
    // Delays stay far below any sensible time-out, so that the fault shows as latency and not as a failure.
    f.delay = std::chrono::milliseconds(pick(1, 20));
    // From bSlot on: a damaged length field would make the host wait for bytes that never come.
    f.offset = pick(6, 16);
    f.length = 0;
    f.chunks = {pick(1, 16), pick(1, 16)};
    f.gap = std::chrono::milliseconds(1);
    static constexpr std::uint8_t kStatus[][2] = {{0x41, 0xFE}, {0x42, 0xFE}, {0x40, 0x00}, {0x40, 0xFE}, {0x80, 0x00}};
    const auto& s = kStatus[pick(0, std::size(kStatus) - 1)];
    f.bStatus = s[0];
    f.bError = s[1];
    f.garbage.resize(pick(1, 8));
    for (auto& b : f.garbage) b = static_cast<std::uint8_t>(pick(0, 255));
    return f;
}

std::optional<Fault> FaultPlan::Take(const FrameTraits& frame) {
    std::optional<Fault> fault;
    if (!queue_.empty() && FaultFits(queue_.front().kind, frame)) {
        fault = queue_.front();
        fault->count = 1;
        if (--queue_.front().count == 0) queue_.pop_front();
    } else if (chaosRate_ > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < chaosRate_) {
        std::vector<FaultKind> fitting;
        for (FaultKind k : chaosKinds_) {
            if (FaultFits(k, frame)) fitting.push_back(k);
        }
        if (!fitting.empty()) {
            fault = RandomFault(fitting[std::uniform_int_distribution<std::size_t>(0, fitting.size() - 1)(random_)]);
        }
    }
    if (fault && fault->kind == FaultKind::kPass) return std::nullopt;
    if (fault) {
        ++counters_.byKind[static_cast<std::size_t>(fault->kind)];
        ++counters_.total;
    }
    return fault;
}

}  // namespace ryx::sim
