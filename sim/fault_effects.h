// What a fault does to the reader's handling of a frame it applies to. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/fault.h"

namespace ryx::sim {

// The bytes sent in place of the status by a fault that leaves the command frame untaken: empty for kNoStatus
// (nothing is sent); nullopt for a fault that does not.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> UntakenStatus(const Fault& fault);

// Faults that leave a command frame untaken, or the reader gone: such a frame is neither executed nor answered.
[[nodiscard]] bool IsStatusFault(const std::optional<Fault>& fault);

// Faults that make the reader build a reply of a kind it would not send otherwise.
[[nodiscard]] bool ChangesTheReply(const std::optional<Fault>& fault) noexcept;

}  // namespace ryx::sim
