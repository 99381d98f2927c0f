// Faults of the simulated reader that many tests queue, built in one expression.
#pragma once

#include <cstdint>

#include "sim/fault.h"

namespace ryx::test {

inline sim::Fault FaultOf(sim::FaultKind kind) {
    sim::Fault fault;
    fault.kind = kind;
    return fault;
}

// The command fails with these status and error bytes: 0x41/0xFE is a mute card, 0x42/0xFE no card.
inline sim::Fault StatusFault(std::uint8_t bStatus, std::uint8_t bError = 0xFE) {
    sim::Fault fault = FaultOf(sim::FaultKind::kStatusError);
    fault.bStatus = bStatus;
    fault.bError = bError;
    return fault;
}

}  // namespace ryx::test
